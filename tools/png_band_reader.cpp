#include "png_band_reader.h"

#include "map_packager.h"

#include <QIODevice>

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

// libpng reports errors by longjmp to the setjmp of png_jmpbuf. Every libpng
// call that can fail runs inside Trap, whose frame and the step it calls hold
// nothing that needs destroying, so a jump skips no destructor and ends there.

struct CPngBandReader::State {
    png_structp png = nullptr;
    png_infop info = nullptr;
    char message[160] = {};
    int width = 0, height = 0, rowsRead = 0;
    QImage::Format format = QImage::Format_Invalid;
    int paletteSize = 0; // indices at or beyond it read as 0; 0: not a palette picture
    QImage chunk;        // rows as decoded, before they are made opaque
    std::vector<png_bytep> rowPointers;
    bool failed = false;

    ~State() {
        if (png)
            png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
};

namespace {

using State = CPngBandReader::State;

// The rows of the picture come from the device; a short read is a damaged
// file.
void ReadData(png_structp png, png_bytep data, size_t length) {
    auto* device = static_cast<QIODevice*>(png_get_io_ptr(png));
    if (device->read(reinterpret_cast<char*>(data), qint64(length)) != qint64(length))
        png_error(png, "the file ends early");
}

void OnError(png_structp png, png_const_charp message) {
    auto* buffer = static_cast<char*>(png_get_error_ptr(png));
    std::snprintf(buffer, 160, "%s", message);
    png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// Runs step(state) under libpng's error trap: false when libpng failed.
bool Trap(State* state, void (*step)(State*)) {
    if (setjmp(png_jmpbuf(state->png)))
        return false;
    step(state);
    return true;
}

void ReadInfo(State* s) {
    png_read_info(s->png, s->info);
}

// Asks libpng for rows laid out as QImageReader's chosen format for this
// kind of PNG (format is set by the caller from the header).
void SetTransforms(State* s) {
    png_structp png = s->png;
    const int depth = png_get_bit_depth(png, s->info);
    const int type = png_get_color_type(png, s->info);
    switch (s->format) {
    case QImage::Format_Indexed8:
        if (depth < 8)
            png_set_packing(png);
        break;
    case QImage::Format_Grayscale16:
        png_set_swap(png);
        break;
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
        if (s->format == QImage::Format_RGBX64)
            png_set_filler(png, 0xffff, PNG_FILLER_AFTER);
        if (!(type & PNG_COLOR_MASK_COLOR))
            png_set_gray_to_rgb(png);
        png_set_swap(png);
        break;
    case QImage::Format_RGB888: // plain 8-bit RGB, read as it is stored
        break;
    case QImage::Format_ARGB32:
        png_set_expand(png);
        if (!(type & PNG_COLOR_MASK_COLOR))
            png_set_gray_to_rgb(png);
        png_set_bgr(png); // QImage's 32-bit pixels are B, G, R, A in memory
        break;
    default:
        break;
    }
    png_read_update_info(png, s->info);
}

void ReadChunkRows(State* s) {
    png_read_rows(s->png, s->rowPointers.data(), nullptr, png_uint_32(s->rowPointers.size()));
}

// The format QImageReader gives a PNG of this depth and colour type, or
// Invalid for those left to it. Plain 8-bit RGB, which QImageReader makes
// Format_RGB32 with the same values, is read as Format_RGB888 straight into
// the band.
QImage::Format FormatOf(int depth, int type, bool transparent) {
    switch (type) {
    case PNG_COLOR_TYPE_GRAY:
        if (depth == 16)
            return transparent ? QImage::Format_Invalid : QImage::Format_Grayscale16;
        return depth == 8 && !transparent ? QImage::Format_Grayscale8 : QImage::Format_Indexed8;
    case PNG_COLOR_TYPE_PALETTE:
        return depth == 1 ? QImage::Format_Invalid : QImage::Format_Indexed8;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        return depth == 16 ? QImage::Format_RGBA64 : QImage::Format_ARGB32;
    case PNG_COLOR_TYPE_RGB:
        if (depth == 16)
            return transparent ? QImage::Format_Invalid : QImage::Format_RGBX64;
        return transparent ? QImage::Format_ARGB32 : QImage::Format_RGB888;
    case PNG_COLOR_TYPE_RGB_ALPHA:
        return depth == 16 ? QImage::Format_RGBA64 : QImage::Format_ARGB32;
    default:
        return QImage::Format_Invalid;
    }
}

// Walks the chunks of the PNG on device from its start and checks each
// critical one (its type's first letter upper case) against its CRC, as
// libpng does, up to IEND; device is put back at its start. An empty string
// when they are whole, else what is wrong: a damaged or cut file is refused
// before any tile is made, without decompressing anything.
QString CheckChunks(QIODevice* device) {
    QString problem;
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    if (!device->seek(8))
        problem = QStringLiteral("the file ends early");
    while (problem.isEmpty()) {
        uchar head[8];
        if (device->read(reinterpret_cast<char*>(head), 8) != 8) {
            problem = QStringLiteral("the file ends early");
            break;
        }
        const quint32 length =
            quint32(head[0]) << 24 | quint32(head[1]) << 16 | quint32(head[2]) << 8 | head[3];
        if (length > 0x7fffffffu) {
            problem = QStringLiteral("a chunk is longer than a PNG allows");
            break;
        }
        uLong crc = crc32(0L, head + 4, 4);
        for (quint32 left = length; left > 0 && problem.isEmpty();) {
            const qint64 n = device->read(buffer.data(), std::min<qint64>(left, buffer.size()));
            if (n <= 0)
                problem = QStringLiteral("the file ends early");
            else
                crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer.constData()), uInt(n));
            left -= quint32(std::max<qint64>(n, 0));
        }
        uchar stored[4];
        if (problem.isEmpty() && device->read(reinterpret_cast<char*>(stored), 4) != 4)
            problem = QStringLiteral("the file ends early");
        if (!problem.isEmpty())
            break;
        const bool critical = (head[4] & 0x20) == 0;
        if (critical && crc != (uLong(stored[0]) << 24 | uLong(stored[1]) << 16 |
                                uLong(stored[2]) << 8 | stored[3]))
            problem = QStringLiteral("the %1 chunk is damaged (its CRC does not match)")
                          .arg(QLatin1StringView(reinterpret_cast<const char*>(head + 4), 4));
        else if (std::memcmp(head + 4, "IEND", 4) == 0)
            break;
    }
    device->seek(0);
    return problem;
}

// Rows decoded at a time before they are made opaque: few enough to stay
// small for the widest picture.
constexpr int kChunkRows = 16;

} // namespace

CPngBandReader::CPngBandReader() = default;
CPngBandReader::~CPngBandReader() = default;

QSize CPngBandReader::Size() const {
    return m_state ? QSize(m_state->width, m_state->height) : QSize();
}

CPngBandReader::Opened CPngBandReader::Open(QIODevice* device, QString& error) {
    m_state.reset();
    char signature[8];
    if (device->peek(signature, 8) != 8 ||
        png_sig_cmp(reinterpret_cast<png_const_bytep>(signature), 0, 8) != 0)
        return Opened::Other;
    if (device->isSequential())
        return Opened::Other;
    if (const QString problem = CheckChunks(device); !problem.isEmpty()) {
        error = problem;
        return Opened::Failed;
    }
    auto state = std::make_unique<State>();
    state->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, state->message, OnError, OnWarning);
    if (state->png)
        state->info = png_create_info_struct(state->png);
    if (!state->png || !state->info) {
        error = QStringLiteral("out of memory");
        return Opened::Failed;
    }
    png_set_read_fn(state->png, device, ReadData);
    // libpng's own limits stand (a million pixels a side), as they do for
    // QImageReader; the packager checks the tile count.
    if (!Trap(state.get(), ReadInfo)) {
        error = QString::fromLatin1(state->message);
        return Opened::Failed;
    }
    png_uint_32 width = 0, height = 0;
    int depth = 0, type = 0, interlace = 0;
    png_get_IHDR(state->png, state->info, &width, &height, &depth, &type, &interlace, nullptr,
                 nullptr);
    const bool transparent = png_get_valid(state->png, state->info, PNG_INFO_tRNS) != 0;
    png_bytep exif = nullptr;
    png_uint_32 exifSize = 0;
    const bool oriented = png_get_eXIf_1(state->png, state->info, &exifSize, &exif) != 0;
    state->format = FormatOf(depth, type, transparent);
    if (interlace != PNG_INTERLACE_NONE || oriented || state->format == QImage::Format_Invalid ||
        width > 0x7fffffffu / 8 || height > 0x7fffffffu)
        return Opened::Other;
    state->width = int(width);
    state->height = int(height);

    QList<QRgb> colours;
    png_bytep alphas = nullptr;
    int alphaCount = 0;
    png_color_16p transparentColour = nullptr;
    png_get_tRNS(state->png, state->info, &alphas, &alphaCount, &transparentColour);
    if (type == PNG_COLOR_TYPE_PALETTE) {
        png_colorp palette = nullptr;
        int count = 0;
        if (!png_get_PLTE(state->png, state->info, &palette, &count) || count < 1 || count > 256)
            return Opened::Other;
        for (int i = 0; i < count; ++i)
            colours << qRgba(palette[i].red, palette[i].green, palette[i].blue,
                             alphas && i < alphaCount ? alphas[i] : 0xff);
        state->paletteSize = count;
    } else if (state->format == QImage::Format_Indexed8) { // grey in a table
        const int count = depth < 8 ? 1 << depth : 256;
        for (int i = 0; i < count; ++i) {
            const int grey = i * 255 / (count - 1);
            colours << qRgb(grey, grey, grey);
        }
        if (transparentColour && transparentColour->gray < count)
            colours[transparentColour->gray] = 0;
    }
    if (!Trap(state.get(), SetTransforms)) {
        error = QString::fromLatin1(state->message);
        return Opened::Failed;
    }
    if (state->format != QImage::Format_RGB888) {
        state->chunk = QImage(state->width, kChunkRows, state->format);
        if (state->chunk.isNull()) {
            error = QStringLiteral("out of memory");
            return Opened::Failed;
        }
        state->chunk.setColorTable(colours);
    }
    m_state = std::move(state);
    return Opened::Banded;
}

bool CPngBandReader::ReadRows(int rows, QImage& band, QString& error) {
    State* s = m_state.get();
    if (!s || s->failed) {
        error = QStringLiteral("the picture could not be read");
        return false;
    }
    rows = std::clamp(rows, 0, s->height - s->rowsRead);
    if (band.size() != QSize(s->width, rows) || band.format() != QImage::Format_RGB888)
        band = QImage(s->width, rows, QImage::Format_RGB888);
    if (band.isNull() && rows > 0) {
        error =
            QStringLiteral("out of memory for a band of %1 x %2 pixels").arg(s->width).arg(rows);
        return false;
    }
    for (int done = 0; done < rows;) {
        const int n = std::min(kChunkRows, rows - done);
        // Plain RGB comes as it is stored; the rest through a small chunk in
        // its own format, made opaque as the whole picture would be.
        const bool direct = s->format == QImage::Format_RGB888;
        QImage& target = direct ? band : s->chunk;
        const int first = direct ? done : 0;
        s->rowPointers.resize(size_t(n));
        for (int i = 0; i < n; ++i)
            s->rowPointers[size_t(i)] = target.scanLine(first + i);
        if (!Trap(s, ReadChunkRows)) {
            s->failed = true;
            error = QString::fromLatin1(s->message);
            return false;
        }
        if (!direct) {
            if (s->paletteSize > 0 && s->paletteSize < 256)
                for (int i = 0; i < n; ++i) {
                    uchar* p = s->chunk.scanLine(i);
                    for (int x = 0; x < s->width; ++x)
                        if (p[x] >= s->paletteSize)
                            p[x] = 0;
                }
            const QImage opaque =
                OpaqueOnWhite(n == kChunkRows ? s->chunk : s->chunk.copy(0, 0, s->width, n));
            for (int i = 0; i < n; ++i) {
                const auto* from = reinterpret_cast<const QRgb*>(opaque.constScanLine(i));
                uchar* to = band.scanLine(done + i);
                for (int x = 0; x < s->width; ++x, to += 3) {
                    to[0] = uchar(qRed(from[x]));
                    to[1] = uchar(qGreen(from[x]));
                    to[2] = uchar(qBlue(from[x]));
                }
            }
        }
        done += n;
        s->rowsRead += n;
    }
    return true;
}
