#include "platform/image_codec.h"

#include <QIODevice>
#include <QImageReader>

namespace {

// Tiles are 500 x 500; anything wider or taller than this is refused before
// its pixels are allocated.
constexpr int kMaxImageSide = 10000;

bool AcceptableSize(const QSize& size) {
    return size.width() > 0 && size.height() > 0 && size.width() <= kMaxImageSide &&
           size.height() <= kMaxImageSide;
}

} // namespace

bool DecodeImageToDisplay(QIODevice* device, QImage& out) {
    if (!device || !device->isReadable())
        return false;
    QImageReader reader(device);
    reader.setDecideFormatFromContent(true);
    // The header's size, where the format states one, is checked before any
    // pixels are decoded; Qt's allocation limit guards the formats that do not.
    const QSize announced = reader.size();
    if (announced.isValid() && !AcceptableSize(announced))
        return false;
    QImage image;
    if (!reader.read(&image) || image.isNull() || !AcceptableSize(image.size()))
        return false;
    QImage converted = image.convertToFormat(kDisplayFormat);
    if (converted.isNull())
        return false;
    out = std::move(converted);
    return true;
}
