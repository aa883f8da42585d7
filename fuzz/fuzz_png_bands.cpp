// Fuzz target: reading a PNG picture in bands of rows. The input's first byte
// chooses whether the chunks' CRCs are made right first (odd: so that damage
// reaches the decoder rather than the check of the chunks), the rest is the
// file. A picture read to its end must hold the pixels QImage decodes from the
// same bytes (made opaque on white), and whatever is read never goes past the
// picture's size.

#include "fuzz_support.h"

#include "map_packager.h"
#include "png_band_reader.h"

#include <QBuffer>
#include <QColorSpace>
#include <QPainter>

#include <cstring>
#include <zlib.h>

void SetUp(const QString&) {}

namespace {

// Makes each whole chunk's CRC right.
void FixChunkCrcs(QByteArray& bytes) {
    for (qsizetype at = 8; at + 12 <= bytes.size();) {
        auto* p = reinterpret_cast<uchar*>(bytes.data()) + at;
        const quint32 length =
            quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
        if (length > quint32(bytes.size() - at - 12))
            return;
        const uLong crc = crc32(0L, p + 4, uInt(length + 4));
        for (int i = 0; i < 4; ++i)
            p[8 + length + i] = uchar(crc >> (24 - 8 * i));
        at += 12 + qsizetype(length);
    }
}

} // namespace

// Small pictures of each kind QImage writes as PNG.
void MakeSeeds(const QString&, const QString& outDir) {
    QImage colours(23, 17, QImage::Format_ARGB32);
    for (int y = 0; y < colours.height(); ++y)
        for (int x = 0; x < colours.width(); ++x)
            colours.setPixel(x, y, qRgba(x * 11, y * 15, (x + y) * 7, (x * y) % 256));
    const QImage::Format formats[] = {QImage::Format_ARGB32,      QImage::Format_RGB32,
                                      QImage::Format_Indexed8,    QImage::Format_Grayscale8,
                                      QImage::Format_Grayscale16, QImage::Format_RGBA64,
                                      QImage::Format_Mono};
    int n = 0;
    for (const QImage::Format format : formats) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        colours.convertToFormat(format).save(&buffer, "png");
        bytes.prepend(char(1));
        WriteHost(outDir + QStringLiteral("/png%1").arg(n++), bytes.constData(),
                  size_t(bytes.size()));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    QByteArray bytes(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    if (data[0] % 2)
        FixChunkCrcs(bytes);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    CPngBandReader reader;
    QString error;
    if (reader.Open(&buffer, error) != CPngBandReader::Opened::Banded)
        return 0;
    const QSize picture = reader.Size();
    // A picture too large for a quick run is read only in part.
    const int rows =
        std::min(picture.height(), int((64 << 20) / (3 * qint64(picture.width()) + 1)));
    QImage read(picture.width(), rows, QImage::Format_RGB888);
    if (read.isNull())
        return 0;
    for (int y = 0; y < rows;) {
        QImage band;
        if (!reader.ReadRows(7, band, error))
            return 0;
        if (band.width() != picture.width() || band.height() != std::min(7, picture.height() - y) ||
            band.format() != QImage::Format_RGB888)
            Fail("a band of the wrong size or format");
        for (int i = 0; i < band.height() && y < rows; ++i, ++y)
            std::memcpy(read.scanLine(y), band.constScanLine(i), size_t(band.bytesPerLine()));
    }
    if (rows < picture.height())
        return 0;
    QImage whole = QImage::fromData(bytes, "png");
    if (whole.isNull())
        return 0; // QImage refuses what libpng read: a matter of its own limits
    whole.setColorSpace({});
    if (whole.size() != picture ||
        OpaqueOnWhite(whole) != read.convertToFormat(QImage::Format_RGB32))
        Fail("the picture read in bands differs from the whole picture");
    return 0;
}
