#include "platform/image_codec.h"

#include <QBuffer>
#include <QColor>
#include <QPainter>
#include <QtEndian>
#include <QtTest>

#include <cstdlib>

namespace {

// A 500 x 500 picture of four flat quarters in colours that RGB565 holds exactly.
QImage Quarters() {
    QImage image(500, 500, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.fillRect(0, 0, 250, 250, QColor(255, 0, 0));
    painter.fillRect(250, 0, 250, 250, QColor(0, 255, 0));
    painter.fillRect(0, 250, 250, 250, QColor(0, 0, 255));
    painter.fillRect(250, 250, 250, 250, QColor(255, 255, 255));
    return image;
}

QByteArray Encode(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

bool Decode(QByteArray bytes, QImage& out) {
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return DecodeImageToDisplay(&buffer, out);
}

// A 24-bit BMP of width x height: its header, then grey pixels when withPixels.
QByteArray Bmp(int32_t width, int32_t height, bool withPixels) {
    const qsizetype rowBytes = (qsizetype(width) * 3 + 3) / 4 * 4;
    const qsizetype pixelBytes = withPixels ? rowBytes * height : 0;
    QByteArray bytes(54 + pixelBytes, '\x80');
    std::fill(bytes.begin(), bytes.begin() + 54, '\0');
    auto put32 = [&](int at, uint32_t v) { qToLittleEndian(v, bytes.data() + at); };
    auto put16 = [&](int at, uint16_t v) { qToLittleEndian(v, bytes.data() + at); };
    bytes[0] = 'B';
    bytes[1] = 'M';
    put32(2, uint32_t(54 + pixelBytes));
    put32(10, 54);
    put32(14, 40);
    put32(18, uint32_t(width));
    put32(22, uint32_t(height));
    put16(26, 1);
    put16(28, 24);
    put32(34, uint32_t(pixelBytes));
    return bytes;
}

} // namespace

class TestImageCodec : public QObject {
    Q_OBJECT

private slots:
    void decodesToRgb565_data();
    void decodesToRgb565();
    void gif();
    void noImage_data();
    void noImage();
    void hugeImageIsRefused();
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
    const QByteArray bytes = Encode(Quarters(), format.constData());
    QVERIFY(!bytes.isEmpty());
    QImage out;
    QVERIFY(Decode(bytes, out));
    QCOMPARE(out.format(), QImage::Format_RGB16);
    QCOMPARE(out.size(), QSize(500, 500));
    QCOMPARE(out.bytesPerLine(), qsizetype(1000));
    QCOMPARE(out.sizeInBytes(), qsizetype(500000));

    const struct {
        QPoint at;
        QColor colour;
        quint16 rgb565;
    } probes[] = {{{60, 60}, QColor(255, 0, 0), 0xf800},
                  {{440, 60}, QColor(0, 255, 0), 0x07e0},
                  {{60, 440}, QColor(0, 0, 255), 0x001f},
                  {{440, 440}, QColor(255, 255, 255), 0xffff}};
    for (const auto& probe : probes) {
        const quint16 raw =
            reinterpret_cast<const quint16*>(out.constScanLine(probe.at.y()))[probe.at.x()];
        if (tolerance == 0) {
            QCOMPARE(raw, probe.rgb565);
        } else {
            const QColor got = out.pixelColor(probe.at);
            QVERIFY2(std::abs(got.red() - probe.colour.red()) <= tolerance &&
                         std::abs(got.green() - probe.colour.green()) <= tolerance &&
                         std::abs(got.blue() - probe.colour.blue()) <= tolerance,
                     qPrintable(got.name()));
        }
    }
}

void TestImageCodec::gif() {
    // A 1 x 1 GIF whose one pixel is palette entry 0, red.
    const QByteArray gif = QByteArray::fromHex("474946383961"
                                               "01000100"
                                               "800000"
                                               "ff0000"
                                               "000000"
                                               "2c"
                                               "0000"
                                               "0000"
                                               "0100"
                                               "0100"
                                               "00"
                                               "02"
                                               "02"
                                               "4401"
                                               "00"
                                               "3b");
    QImage out;
    QVERIFY(Decode(gif, out));
    QCOMPARE(out.format(), QImage::Format_RGB16);
    QCOMPARE(out.size(), QSize(1, 1));
    QCOMPARE(reinterpret_cast<const quint16*>(out.constScanLine(0))[0], quint16(0xf800));
}

void TestImageCodec::noImage_data() {
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray png = Encode(Quarters(), "PNG");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("text") << QByteArray("this is not a picture at all\n");
    QTest::newRow("PNG signature only") << png.left(8);
    QTest::newRow("truncated PNG header") << png.left(30);
    QTest::newRow("BMP header without pixels") << Bmp(500, 500, false);
    QTest::newRow("zero-width BMP") << Bmp(0, 500, true);
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

void TestImageCodec::hugeImageIsRefused() {
    QImage out;
    // Complete images just past the limit of 10000 pixels a side, and the
    // largest accepted, to show that the limit and not the data decides.
    QVERIFY(!Decode(Bmp(10001, 1, true), out));
    QVERIFY(!Decode(Bmp(1, 10001, true), out));
    QVERIFY(out.isNull());
    QVERIFY(Decode(Bmp(10000, 1, true), out));
    QCOMPARE(out.size(), QSize(10000, 1));
    // Announced as huge: refused before any pixel is decoded.
    out = QImage();
    QVERIFY(!Decode(Bmp(20000, 20000, false), out));
    QVERIFY(!DecodeImageToDisplay(nullptr, out));
    QBuffer closed;
    QVERIFY(!DecodeImageToDisplay(&closed, out));
    QVERIFY(out.isNull());
}

QTEST_GUILESS_MAIN(TestImageCodec)
#include "tst_image_codec.moc"
