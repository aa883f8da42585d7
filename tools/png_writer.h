#pragma once

#include <QByteArray>
#include <QImage>
#include <cstdint>
#include <vector>

struct libdeflate_compressor;

// Writes images as 8-bit RGB PNG files (colour type 2, no interlacing, one
// IDAT chunk), compressed with libdeflate. Map tiles are mostly flat colour,
// which compresses best and fastest unfiltered; the adaptive filter (per row,
// the one of the five whose bytes have the least sum of magnitudes) suits
// photographs. A writer keeps its buffers between images; use one per thread.
class CPngWriter {
public:
    enum class Filter { None, Adaptive };

    // level: libdeflate's compression level, 1 (fastest) to 12 (smallest).
    explicit CPngWriter(int level);
    ~CPngWriter();
    CPngWriter(const CPngWriter&) = delete;
    CPngWriter& operator=(const CPngWriter&) = delete;

    // The PNG file of image (alpha is ignored: premultiplied pixels are
    // written as they are); empty for an empty image or when memory runs out.
    QByteArray Write(const QImage& image, Filter filter);

private:
    libdeflate_compressor* m_compressor = nullptr;
    std::vector<uint8_t> m_rows;       // the filtered rows, each led by its filter byte
    std::vector<uint8_t> m_line[2];    // this row's and the previous row's RGB bytes
    std::vector<uint8_t> m_trial;      // a row under a trial filter
};
