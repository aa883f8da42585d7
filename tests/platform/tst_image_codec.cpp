#include "platform/image_codec.h"

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

QByteArray Encode(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// A complete grey BMP picture of width x height.
QByteArray Bmp(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::gray);
    return Encode(image, "BMP");
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
    void decodesToRgb565_data();
    void decodesToRgb565();
    void noImage_data();
    void noImage();
    void sizeLimit();
};

void TestImageCodec::decodesToRgb565_data() {
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<int>("tolerance"); // per colour channel, 0..255
    QTest::newRow("PNG") << QByteArray("PNG") << 0;
    QTest::newRow("BMP") << QByteArray("BMP") << 0;
    QTest::newRow("JPEG") << QByteArray("JPEG") << 24;
}

void TestImageCodec::decodesToRgb565() {
    QFETCH(QByteArray, format);
    QFETCH(int, tolerance);
    const QImage source = Quarters();
    QImage out;
    QVERIFY(Decode(Encode(source, format.constData()), out));
    QCOMPARE(out.format(), QImage::Format_RGB16);
    QCOMPARE(out.size(), source.size());
    for (const QPoint at : {QPoint(60, 60), QPoint(440, 60), QPoint(60, 440), QPoint(440, 440)}) {
        const QColor want = source.pixelColor(at), got = out.pixelColor(at);
        QVERIFY2(std::abs(got.red() - want.red()) <= tolerance &&
                     std::abs(got.green() - want.green()) <= tolerance &&
                     std::abs(got.blue() - want.blue()) <= tolerance,
                 qPrintable(got.name()));
    }
}

void TestImageCodec::noImage_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("text") << QByteArray("this is not a picture at all\n");
    QTest::newRow("truncated PNG") << Encode(Quarters(), "PNG").left(30);
    QTest::newRow("BMP header without pixels") << Bmp(500, 500).left(54);
    QByteArray noise(4096, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 2654435761u) >> 13);
    QTest::newRow("noise") << noise;
}

void TestImageCodec::noImage() {
    QFETCH(QByteArray, bytes);
    QImage out;
    QVERIFY(!Decode(bytes, out));
    QVERIFY(out.isNull()); // left as it was
}

void TestImageCodec::sizeLimit() {
    // Complete images just past 10000 pixels a side, and the largest accepted.
    QImage out;
    QVERIFY(!Decode(Bmp(10001, 1), out));
    QVERIFY(!Decode(Bmp(1, 10001), out));
    QVERIFY(out.isNull());
    QVERIFY(Decode(Bmp(10000, 1), out));
    QCOMPARE(out.size(), QSize(10000, 1));
}

QTEST_GUILESS_MAIN(TestImageCodec)
#include "tst_image_codec.moc"
