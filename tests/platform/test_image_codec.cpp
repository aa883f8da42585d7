#include "platform/image_codec.h"
#include "test_support.h"

#include <QBuffer>
#include <QPainter>
#include <QtTest>

#include <cstdlib>

namespace {

// A 500 x 500 picture of four flat quarters in colours that RGB565 holds exactly.
QImage Quarters() {
    QImage image(500, 500, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.fillRect(0, 0, 250, 250, Qt::red);
    painter.fillRect(250, 0, 250, 250, Qt::green);
    painter.fillRect(0, 250, 250, 250, Qt::blue);
    painter.fillRect(250, 250, 250, 250, Qt::white);
    return image;
}

// A complete grey BMP picture of width x height.
QByteArray Bmp(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::gray);
    return EncodeImage(image, "BMP");
}

bool Decode(QByteArray bytes, QImage& out) {
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return DecodeImageToDisplay(&buffer, out);
}

} // namespace

class TestImageCodec : public QObject {
    Q_OBJECT

private slots:
    // Pictures decode to RGB565 with their colours (JPEG within a tolerance);
    // anything else, and pictures over 10000 pixels a side, is refused.
    void decode_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("size");    // refused: 0 x 0, the size of a null image
        QTest::addColumn<int>("tolerance"); // per colour channel of Quarters(); -1: not Quarters()
        const QSize refused(0, 0), tile(500, 500);
        QTest::newRow("PNG") << EncodeImage(Quarters(), "PNG") << tile << 0;
        QTest::newRow("BMP") << EncodeImage(Quarters(), "BMP") << tile << 0;
        QTest::newRow("JPEG") << EncodeImage(Quarters(), "JPEG") << tile << 24;
        QTest::newRow("empty") << QByteArray() << refused << -1;
        QTest::newRow("text") << QByteArray("this is not a picture at all\n") << refused << -1;
        QTest::newRow("truncated PNG") << EncodeImage(Quarters(), "PNG").left(30) << refused << -1;
        QTest::newRow("BMP header without pixels") << Bmp(500, 500).left(54) << refused << -1;
        // Complete pictures just past 10000 pixels a side, and the largest accepted.
        QTest::newRow("too wide") << Bmp(10001, 1) << refused << -1;
        QTest::newRow("too high") << Bmp(1, 10001) << refused << -1;
        QTest::newRow("widest") << Bmp(10000, 1) << QSize(10000, 1) << -1;
    }

    void decode() {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, size);
        QFETCH(int, tolerance);
        QImage out;
        QCOMPARE(Decode(bytes, out), !size.isEmpty());
        QCOMPARE(out.size(), size); // left null when refused
        if (size.isEmpty())
            return;
        QCOMPARE(out.format(), QImage::Format_RGB16);
        const QImage source = Quarters();
        for (const QPoint at :
             {QPoint(60, 60), QPoint(440, 60), QPoint(60, 440), QPoint(440, 440)}) {
            if (tolerance < 0)
                break;
            const QColor want = source.pixelColor(at), got = out.pixelColor(at);
            QVERIFY2(std::abs(got.red() - want.red()) <= tolerance &&
                         std::abs(got.green() - want.green()) <= tolerance &&
                         std::abs(got.blue() - want.blue()) <= tolerance,
                     qPrintable(got.name()));
        }
    }
};

QTEST_GUILESS_MAIN(TestImageCodec)
#include "test_image_codec.moc"
