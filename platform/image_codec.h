#pragma once

#include <QByteArray>
#include <QImage>

class QIODevice;

// The display's pixel format: 16-bit RGB565, rows top-down, no padding for
// even widths (a 500-pixel row is 1000 bytes).
inline constexpr QImage::Format kDisplayFormat = QImage::Format_RGB16;

// Decodes an image file (PNG, GIF, JPEG, BMP) read from device into a new
// bitmap of the display format. False when no image results.
bool DecodeImageToDisplay(QIODevice* device, QImage& out);
