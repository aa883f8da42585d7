#include "png_writer.h"

#include <libdeflate.h>

#include <QtEndian>
#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// PNG's row filters, by their number in the file.
enum : uint8_t { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };

inline uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return uint8_t(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Filters the row cur (n bytes, 3 a pixel) against the row above, prev, into out.
void FilterRow(uint8_t type, const uint8_t* cur, const uint8_t* prev, size_t n, uint8_t* out) {
    for (size_t i = 0; i < n; ++i) {
        const int a = i >= 3 ? cur[i - 3] : 0, b = prev[i], c = i >= 3 ? prev[i - 3] : 0;
        int predicted = 0;
        switch (type) {
        case kSub:
            predicted = a;
            break;
        case kUp:
            predicted = b;
            break;
        case kAverage:
            predicted = (a + b) >> 1;
            break;
        case kPaeth:
            predicted = Paeth(a, b, c);
            break;
        default:
            break;
        }
        out[i] = uint8_t(cur[i] - predicted);
    }
}

// The sum of the filtered bytes read as signed magnitudes: smaller usually
// compresses better.
uint64_t Cost(const uint8_t* bytes, size_t n) {
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += uint64_t(std::abs(int(int8_t(bytes[i]))));
    return sum;
}

void AppendChunk(QByteArray& file, const char type[4], const uint8_t* data, size_t n) {
    uchar length[4];
    qToBigEndian(quint32(n), length);
    file.append(reinterpret_cast<const char*>(length), 4);
    const qsizetype start = file.size();
    file.append(type, 4);
    file.append(reinterpret_cast<const char*>(data), qsizetype(n));
    const uint32_t crc = libdeflate_crc32(
        0, reinterpret_cast<const uint8_t*>(file.constData()) + start, n + 4);
    uchar tail[4];
    qToBigEndian(quint32(crc), tail);
    file.append(reinterpret_cast<const char*>(tail), 4);
}

} // namespace

CPngWriter::CPngWriter(int level) : m_compressor(libdeflate_alloc_compressor(level)) {}

CPngWriter::~CPngWriter() {
    libdeflate_free_compressor(m_compressor);
}

QByteArray CPngWriter::Write(const QImage& source, Filter filter) {
    if (!m_compressor || source.isNull())
        return {};
    const QImage image =
        source.format() == QImage::Format_RGB32 || source.format() == QImage::Format_ARGB32 ||
                source.format() == QImage::Format_ARGB32_Premultiplied
            ? source
            : source.convertToFormat(QImage::Format_RGB32);
    const size_t width = size_t(image.width()), height = size_t(image.height());
    const size_t n = 3 * width, stride = n + 1;
    m_rows.resize(stride * height);
    for (auto& line : m_line)
        line.assign(n, 0);
    m_trial.resize(n);
    for (size_t y = 0; y < height; ++y) {
        std::vector<uint8_t>& cur = m_line[y & 1];
        const std::vector<uint8_t>& prev = m_line[(y & 1) ^ 1];
        const QRgb* pixels = reinterpret_cast<const QRgb*>(image.constScanLine(int(y)));
        uint8_t* out = m_rows.data() + stride * y;
        uint8_t* rgb = filter == Filter::None ? out + 1 : cur.data();
        for (size_t x = 0; x < width; ++x) {
            rgb[3 * x] = uint8_t(qRed(pixels[x]));
            rgb[3 * x + 1] = uint8_t(qGreen(pixels[x]));
            rgb[3 * x + 2] = uint8_t(qBlue(pixels[x]));
        }
        out[0] = kNone;
        if (filter == Filter::None)
            continue;
        std::memcpy(out + 1, rgb, n);
        uint64_t best = Cost(out + 1, n);
        for (uint8_t type : {kSub, kUp, kAverage, kPaeth}) {
            FilterRow(type, rgb, prev.data(), n, m_trial.data());
            const uint64_t cost = Cost(m_trial.data(), n);
            if (cost < best) {
                best = cost;
                out[0] = type;
                std::memcpy(out + 1, m_trial.data(), n);
            }
        }
    }

    const size_t bound = libdeflate_zlib_compress_bound(m_compressor, m_rows.size());
    QByteArray file;
    file.reserve(qsizetype(8 + 25 + 12 + bound + 12));
    file.append("\x89PNG\r\n\x1a\n", 8);
    uint8_t header[13] = {};
    qToBigEndian(quint32(width), header);
    qToBigEndian(quint32(height), header + 4);
    header[8] = 8; // bits a channel
    header[9] = 2; // RGB
    AppendChunk(file, "IHDR", header, sizeof header);
    // The compressed rows go straight into the file, after the IDAT chunk's
    // length and type, which are filled in once the length is known.
    const qsizetype start = file.size();
    file.resize(start + 8 + qsizetype(bound));
    uint8_t* chunk = reinterpret_cast<uint8_t*>(file.data()) + start;
    const size_t packed =
        libdeflate_zlib_compress(m_compressor, m_rows.data(), m_rows.size(), chunk + 8, bound);
    if (packed == 0)
        return {};
    qToBigEndian(quint32(packed), chunk);
    std::memcpy(chunk + 4, "IDAT", 4);
    uchar crc[4];
    qToBigEndian(quint32(libdeflate_crc32(0, chunk + 4, packed + 4)), crc);
    file.resize(start + 8 + qsizetype(packed));
    file.append(reinterpret_cast<const char*>(crc), 4);
    AppendChunk(file, "IEND", nullptr, 0);
    return file;
}
