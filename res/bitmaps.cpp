#include "res/bitmaps.h"

#include "res/resource.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <array>

namespace {

// Pixel art of the toolbar images, 16 rows of 16 characters each. Characters
// index Palette16(): K black, g green, D dark grey, . light grey (the
// background), R red, G bright green, Y yellow, W white.
using ToolImage = std::array<const char*, kToolbarImageSize>;

constexpr ToolImage kZoomIn = {
    "................", "....KKKKK.......", "...KWWWWWK......", "..KWWWKWWWK.....",
    "..KWWWKWWWK.....", "..KWKKKKKWK.....", "..KWWWKWWWK.....", "..KWWWKWWWK.....",
    "...KWWWWWK......", "....KKKKKDK.....", ".........KDK....", "..........KDK...",
    "...........KDK..", "............KDK.", ".............KK.", "................"};
constexpr ToolImage kZoomOut = {
    "................", "....KKKKK.......", "...KWWWWWK......", "..KWWWWWWWK.....",
    "..KWWWWWWWK.....", "..KWKKKKKWK.....", "..KWWWWWWWK.....", "..KWWWWWWWK.....",
    "...KWWWWWK......", "....KKKKKDK.....", ".........KDK....", "..........KDK...",
    "...........KDK..", "............KDK.", ".............KK.", "................"};
constexpr ToolImage kMarkMe = {
    "................", "......KKK.......", ".....KYYYK......", ".....KYYYK......",
    ".....KYYYK......", "......KKK.......", ".......K........", "....KKKKKKK.....",
    ".......K........", ".......K........", ".......K........", "......K.K.......",
    ".....K...K......", "....K.....K.....", "...KK.....KK....", "................"};
constexpr ToolImage kGotoMe = {
    "................", ".........KKK....", "........KYYYK...", "........KYYYK...",
    "........KYYYK...", ".........KKK....", "....R.....K.....", "....RR.KKKKKKK..",
    "RRRRRRR...K.....", "....RR....K.....", "....R.....K.....", ".........K.K....",
    "........K...K...", ".......K.....K..", "......KK.....KK.", "................"};
constexpr ToolImage kMarkFlag = {
    "................", "...KKKKKKK......", "...KGGGGGGKKKK..", "...KGGGGGGKgGK..",
    "...KGGGGGGKgGK..", "...KGGGGGGKgGK..", "...KKKKKKKKgGK..", "...K......KKKK..",
    "...K............", "...K............", "...K............", "...K............",
    "...K............", "..KKK...........", ".KKKKK..........", "................"};
constexpr ToolImage kGotoFlag = {
    "................", ".......KKKKKK...", ".......KGGGGKKKK", ".......KGGGGKgGK",
    ".......KGGGGKgGK", ".......KKKKKKgGK", ".......K....KKKK", ".......K........",
    "....R..K........", "....RR.K........", "RRRRRRRK........", "....RR.K........",
    "....R..K........", "......KKK.......", ".....KKKKK......", "................"};
constexpr ToolImage kBlank = {
    "................", "................", "................", "................",
    "................", "................", "................", "................",
    "................", "................", "................", "................",
    "................", "................", "................", "................"};

// Beyond the strip: "Follow My Position", a target with the position in red.
constexpr ToolImage kFollowPosition = {
    "................", ".......K........", ".......K........", ".....KKKKK......",
    "....K.....K.....", "...K...R...K....", "...K..RRR..K....", "KKKK.RRRRR.KKKK.",
    "...K..RRR..K....", "...K...R...K....", "....K.....K.....", ".....KKKKK......",
    ".......K........", ".......K........", "................", "................"};

constexpr std::array<const ToolImage*, kToolbarImageCount> kToolImages = {
    &kZoomIn, &kZoomOut, &kMarkMe, &kGotoMe, &kMarkFlag, &kGotoFlag, &kBlank};

// Palette index of a pixel-art character.
int PaletteIndex(char c) {
    switch (c) {
    case 'K':
        return 0; // black
    case 'g':
        return 2; // green
    case 'D':
        return 8; // dark grey
    case 'R':
        return 9; // red
    case 'G':
        return 10; // bright green
    case 'Y':
        return 11; // yellow
    case 'W':
        return 15; // white
    default:
        return 7; // light grey: the background
    }
}

// A QFont of the dialog family (Liberation Sans has Arial's metrics) at a
// pixel size, so pictures come out the same whatever the screen's density.
QFont PictureFont(int pixelSize, bool bold) {
    QFont font(QStringLiteral("Liberation Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

// A folded paper map with streets and a red pin, filling rect.
void DrawFoldedMap(QPainter& p, const QRectF& rect) {
    const qreal w = rect.width();
    const qreal h = rect.height();
    const qreal x = rect.left();
    const qreal y = rect.top();
    // Three panels, alternately lighter and darker, slightly zig-zagged.
    const QColor panels[3] = {QColor(250, 240, 200), QColor(225, 215, 170), QColor(250, 240, 200)};
    for (int i = 0; i < 3; ++i) {
        const qreal x0 = x + w * i / 3.0;
        const qreal x1 = x + w * (i + 1) / 3.0;
        const qreal lift = (i % 2 == 0) ? 0.0 : h * 0.08;
        QPolygonF panel;
        panel << QPointF(x0, y + (i % 2 == 0 ? h * 0.08 : 0)) << QPointF(x1, y + lift)
              << QPointF(x1, y + h - lift) << QPointF(x0, y + h - (i % 2 == 0 ? h * 0.08 : 0));
        p.setPen(QPen(QColor(90, 80, 60), qMax<qreal>(1.0, w / 32.0)));
        p.setBrush(panels[i]);
        p.drawPolygon(panel);
    }
    // Streets and a river.
    p.setPen(QPen(QColor(70, 130, 200), qMax<qreal>(1.0, w / 16.0), Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(x + w * 0.05, y + h * 0.75), QPointF(x + w * 0.95, y + h * 0.55));
    p.setPen(QPen(QColor(200, 60, 40), qMax<qreal>(1.0, w / 24.0)));
    p.drawLine(QPointF(x + w * 0.30, y + h * 0.15), QPointF(x + w * 0.30, y + h * 0.90));
    p.drawLine(QPointF(x + w * 0.08, y + h * 0.40), QPointF(x + w * 0.92, y + h * 0.35));
    // The pin.
    const qreal r = w * 0.13;
    const QPointF head(x + w * 0.68, y + h * 0.30);
    QPainterPath pin;
    pin.moveTo(head.x() - r, head.y());
    pin.lineTo(head.x(), head.y() + r * 2.6);
    pin.lineTo(head.x() + r, head.y());
    pin.addEllipse(head, r, r);
    p.setPen(QPen(QColor(100, 0, 0), qMax<qreal>(1.0, w / 40.0)));
    p.setBrush(QColor(230, 30, 30));
    p.drawPath(pin.simplified());
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(head, r * 0.35, r * 0.35);
}

// A street-map excerpt: blocks, a park, a river, a main road and side streets.
void DrawStreetExcerpt(QPainter& p, const QRect& rect) {
    p.save();
    p.setClipRect(rect);
    p.translate(rect.topLeft());
    const int w = rect.width();
    const int h = rect.height();
    p.fillRect(0, 0, w, h, QColor(240, 234, 218));
    // Park.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(172, 212, 150));
    p.drawPolygon(QPolygon({QPoint(8, 10), QPoint(52, 6), QPoint(58, 40), QPoint(14, 46)}));
    // Built-up blocks.
    p.setBrush(QColor(214, 200, 180));
    const QRect blocks[] = {QRect(70, 8, 22, 18),  QRect(98, 8, 26, 18),  QRect(70, 34, 22, 20),
                            QRect(98, 34, 26, 20), QRect(8, 60, 30, 20),  QRect(44, 60, 24, 20),
                            QRect(8, 88, 30, 24),  QRect(98, 88, 26, 22), QRect(44, 88, 24, 12)};
    for (const QRect& block : blocks)
        p.drawRect(block);
    // River.
    QPainterPath river;
    river.moveTo(-4, h * 0.62);
    river.cubicTo(w * 0.3, h * 0.50, w * 0.55, h * 0.85, w + 4, h * 0.70);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(150, 190, 232), 9, Qt::SolidLine, Qt::FlatCap));
    p.drawPath(river);
    // Side streets: grey casing, white fill.
    const QLine streets[] = {QLine(64, 0, 64, h), QLine(94, 0, 94, h), QLine(0, 30, w, 30),
                             QLine(0, 84, w, 84), QLine(40, 56, 40, h)};
    p.setPen(QPen(QColor(150, 150, 150), 6, Qt::SolidLine, Qt::FlatCap));
    for (const QLine& line : streets)
        p.drawLine(line);
    p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::FlatCap));
    for (const QLine& line : streets)
        p.drawLine(line);
    // Main road.
    p.setPen(QPen(QColor(170, 110, 40), 8, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(0, h - 8, w, 50);
    p.setPen(QPen(QColor(250, 200, 110), 6, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(0, h - 8, w, 50);
    // A red dot on a street corner.
    p.setPen(QPen(QColor(100, 0, 0), 1));
    p.setBrush(QColor(230, 30, 30));
    p.drawEllipse(QPointF(94, 30), 4, 4);
    p.restore();
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(rect.adjusted(0, 0, -1, -1));
}

} // namespace

QList<QRgb> Palette16() {
    return {qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
            qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
            qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
            qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
}

QImage ToolbarStrip() {
    QImage strip(kToolbarImageSize * kToolbarImageCount, kToolbarImageSize,
                 QImage::Format_Indexed8);
    strip.setColorTable(Palette16());
    strip.fill(7);
    for (int i = 0; i < kToolbarImageCount; ++i) {
        const ToolImage& image = *kToolImages[static_cast<size_t>(i)];
        for (int y = 0; y < kToolbarImageSize; ++y) {
            const char* row = image[static_cast<size_t>(y)];
            uchar* line = strip.scanLine(y) + i * kToolbarImageSize;
            // A short row leaves the rest of the line as background.
            for (int x = 0; x < kToolbarImageSize && row[x] != '\0'; ++x)
                line[x] = static_cast<uchar>(PaletteIndex(row[x]));
        }
    }
    return strip;
}

namespace {

// A toolbar image as an icon, its background transparent.
QIcon TransparentIcon(QImage image) {
    image = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (line[x] == kToolbarBackground)
                line[x] = qRgba(0, 0, 0, 0);
    }
    return QIcon(QPixmap::fromImage(image));
}

} // namespace

QIcon ToolbarIcon(int index) {
    if (index < 0 || index >= kToolbarImageCount)
        return QIcon();
    return TransparentIcon(
        ToolbarStrip().copy(index * kToolbarImageSize, 0, kToolbarImageSize, kToolbarImageSize));
}

QIcon FollowPositionIcon() {
    QImage image(kToolbarImageSize, kToolbarImageSize, QImage::Format_Indexed8);
    image.setColorTable(Palette16());
    for (int y = 0; y < kToolbarImageSize; ++y)
        for (int x = 0; x < kToolbarImageSize; ++x)
            image.scanLine(y)[x] =
                static_cast<uchar>(PaletteIndex(kFollowPosition[size_t(y)][size_t(x)]));
    return TransparentIcon(image);
}

QImage AppIconImage(int size) {
    QImage canvas(size, size, QImage::Format_ARGB32);
    canvas.fill(Qt::transparent);
    {
        QPainter p(&canvas);
        p.setRenderHint(QPainter::Antialiasing, size > 16);
        DrawFoldedMap(p, QRectF(0.5, size * 0.12, size - 1.0, size * 0.80));
    }
    // Down to the 16 colours; transparent pixels become index 7 and keep no alpha.
    QImage icon(size, size, QImage::Format_ARGB32);
    icon.fill(Qt::transparent);
    const QImage indexed = canvas.convertToFormat(QImage::Format_Indexed8, Palette16(),
                                                  Qt::ThresholdDither | Qt::AvoidDither);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            if (qAlpha(canvas.pixel(x, y)) >= 128)
                icon.setPixel(x, y, indexed.pixel(x, y));
    return icon;
}

QIcon AppIcon() {
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(AppIconImage(32)));
    icon.addPixmap(QPixmap::fromImage(AppIconImage(16)));
    return icon;
}

QImage SplashBitmap() {
    QImage image(144, 184, QImage::Format_RGB888);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient band(0, 0, 0, 184);
    band.setColorAt(0.0, QColor(20, 50, 110));
    band.setColorAt(1.0, QColor(40, 100, 160));
    p.fillRect(image.rect(), band);
    p.setPen(Qt::white);
    p.setFont(PictureFont(19, true));
    p.drawText(QRect(0, 6, 144, 26), Qt::AlignCenter, QString::fromLatin1(kAppTitle));
    p.setPen(QColor(200, 220, 245));
    p.setFont(PictureFont(11, false));
    p.drawText(QRect(0, 32, 144, 14), Qt::AlignCenter, QString::fromLatin1(kVersionLine));
    DrawStreetExcerpt(p, QRect(8, 54, 128, 122));
    return image;
}

QImage AboutTitleBitmap() {
    QImage image(144, 60, QImage::Format_RGB888);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    DrawFoldedMap(p, QRectF(4, 12, 34, 32));
    p.setPen(QColor(20, 50, 110));
    p.setFont(PictureFont(14, true));
    p.drawText(QRect(40, 10, 104, 24), Qt::AlignCenter, QString::fromLatin1(kAppTitle));
    p.setPen(QColor(80, 80, 80));
    p.setFont(PictureFont(11, false));
    p.drawText(QRect(40, 34, 104, 16), Qt::AlignCenter, QString::fromLatin1(kVersionLine));
    p.setPen(QPen(QColor(40, 100, 160), 2));
    p.drawLine(4, 56, 140, 56);
    return image;
}

QImage MakerLogoBitmap() {
    QImage image(59, 40, QImage::Format_RGB888);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // A teal rounded badge with a ring and a spark.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 120, 128));
    p.drawRoundedRect(QRectF(2, 2, 36, 36), 7, 7);
    p.setPen(QPen(Qt::white, 4));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(20, 19), 10, 10);
    p.drawLine(QPointF(25, 25), QPointF(33, 33));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 210, 40));
    p.drawPolygon(QPolygonF({QPointF(48, 4), QPointF(51, 13), QPointF(58, 16), QPointF(51, 19),
                             QPointF(48, 28), QPointF(45, 19), QPointF(40, 16), QPointF(45, 13)}));
    p.setPen(QColor(0, 90, 96));
    p.setFont(PictureFont(9, true));
    p.drawText(QRect(38, 28, 21, 12), Qt::AlignCenter, QStringLiteral("TS"));
    return image;
}

QImage MapsLogoBitmap() {
    QImage image(42, 37, QImage::Format_RGB888);
    image.fill(QColor(255, 255, 255));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    DrawFoldedMap(p, QRectF(1, 2, 40, 33));
    return image;
}
