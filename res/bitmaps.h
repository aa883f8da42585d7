#pragma once

#include <QIcon>
#include <QImage>
#include <QList>
#include <QRgb>

// The program's pictures, drawn in code so that the project owns every pixel:
// the toolbar images, the application icon, the splash picture, the About
// box's pictures and the small picture of the map library and conversion
// dialogs. Each call draws the picture anew; they are small.

// Number of toolbar images and the edge of one, in pixels.
inline constexpr int kToolbarImageCount = 7;
inline constexpr int kToolbarImageSize = 16;

// The 16-colour palette of the toolbar strip and the icon.
QList<QRgb> Palette16();
// The colour that shows as transparent in the toolbar images (light grey).
inline constexpr QRgb kToolbarBackground = 0xFFC0C0C0;

// The toolbar images in one 112 x 16 strip of 16 colours, in button order:
// magnifier with a plus, magnifier with a minus, stick figure, stick figure
// with an arrow, flag, flag with an arrow, blank.
QImage ToolbarStrip();
// Image index (0..6) of the strip as an icon, its background transparent.
QIcon ToolbarIcon(int index);
// The button "Follow My Position", after the strip's: a target, 16 x 16.
QIcon FollowPositionIcon();

// The application icon, edge 32 or 16 pixels, 16 colours.
QImage AppIconImage(int size);
// Both sizes as one icon.
QIcon AppIcon();

// Splash picture, 144 x 184, 24-bit: the title, the version line and a
// street-map excerpt.
QImage SplashBitmap();
// About box title picture, 144 x 60, 24-bit: the title and the version line.
QImage AboutTitleBitmap();
// The software maker's logo, 59 x 40.
QImage MakerLogoBitmap();
// The picture of the map library and conversion dialogs: a folded map.
QImage MapsLogoBitmap();
