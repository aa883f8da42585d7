#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <memory>

class QIODevice;

// Reads a PNG picture from top to bottom a few rows at a time, so that a
// picture far larger than memory can be cut into tiles as it is decoded. The
// pixels come out exactly as QImageReader decodes them (gamma and colour
// profiles ignored, palette indices beyond the palette read as index 0), then
// made opaque on white (OpaqueOnWhite).
//
// PNG: an 8-byte signature, then chunks (4-byte big-endian length, 4-byte
// type, data, CRC). IHDR gives width, height, bit depth (1-16), colour type
// (grey, RGB, palette, grey + alpha, RGBA) and interlacing; PLTE the palette,
// tRNS a transparent colour or the palette's alpha values, the IDAT chunks
// the zlib-compressed rows, each with a filter byte. libpng reads it; its
// errors jump back into this reader only, never across other code.
//
// Pictures whose rows cannot be read in order cheaply (interlaced ones) and
// the few variants whose decoding by QImageReader has its own rules (1-bit
// palette, 16-bit with a transparent colour, an orientation mark) are left
// to the whole-picture reader: Open answers Other for them.
class CPngBandReader {
public:
    enum class Opened { Banded, Other, Failed };

    CPngBandReader();
    ~CPngBandReader();
    CPngBandReader(const CPngBandReader&) = delete;
    CPngBandReader& operator=(const CPngBandReader&) = delete;

    // Reads the header from device (which must stay open and unread by others
    // while rows are read). Failed, with error, when it is a damaged PNG;
    // Other when it is not a PNG or not one read in bands.
    Opened Open(QIODevice* device, QString& error);
    // The picture's size in pixels.
    QSize Size() const;
    // The next rows (at most the rows left) as a Format_RGB888 image of the
    // picture's width (opaque: 3 bytes a pixel keep a band small). False, with error, when the file
    // is damaged or ends early; the reader reads no further then.
    bool ReadRows(int rows, QImage& band, QString& error);

    struct State; // libpng's structures and the rows read so far

private:
    std::unique_ptr<State> m_state;
};
