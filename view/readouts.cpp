#include "view/readouts.h"

#include <cmath>

namespace {

constexpr double kArrowLength = 50.0;    // pixels from the middle to the tip
constexpr double kHeadLength = 34.0;     // pixels from the middle to a head end
constexpr double kHeadAngle = 0.5;       // radians either side of the arrow
constexpr double kNoArrowRadius2 = 2500; // squared pixels: a flag this close gets no arrow
constexpr double kScaleFactor = 0.0001;  // applied to the calibration scale
constexpr double kYardsPerMetre = 1.094;
constexpr double kMilesPerYard = 1.0 / 1760.0;
constexpr double kKilometresPerMetre = 0.001;
constexpr double kUnitSwitchMetres = 500.0;

CPoint PointAt(const CPoint& c, double length, double angle) {
    // Conversions to int truncate toward zero.
    return {int(length * std::cos(angle) + c.x), int(length * std::sin(angle) + c.y)};
}

} // namespace

CArrow ComputeArrow(const CPoint& c, const CPoint& f) {
    const double dx = double(f.x) - c.x;
    const double dy = double(f.y) - c.y;
    CArrow arrow;
    if (dx * dx + dy * dy <= kNoArrowRadius2) {
        arrow.tip = arrow.head1 = arrow.head2 = c;
        arrow.bTooClose = true;
        return arrow;
    }
    // Client y grows downwards, so the angle runs clockwise from the right.
    const double a = std::atan2(dy, dx);
    arrow.tip = PointAt(c, kArrowLength, a);
    arrow.head1 = PointAt(c, kHeadLength, a - kHeadAngle);
    arrow.head2 = PointAt(c, kHeadLength, a + kHeadAngle);
    return arrow;
}

QString DistanceReadoutText(const CPoint& c, const CPoint& f, int32_t scale, double zoom) {
    if (scale == 0 || !(zoom > 0.0))
        return QStringLiteral("n/a");
    const double dx = double(f.x) - c.x;
    const double dy = double(f.y) - c.y;
    const double d = std::sqrt(dy * dy + dx * dx); // zoomed pixels
    // The yard factor enters here already: this value is the one shown as metres.
    return FormatDistance(((d * (scale * kScaleFactor)) / zoom) * kYardsPerMetre);
}

QString FormatDistance(double metres) {
    if (metres > kUnitSwitchMetres)
        return QString::asprintf("%.1f Mls, %.1f Kms", (metres * kYardsPerMetre) * kMilesPerYard,
                                 metres * kKilometresPerMetre);
    return QString::asprintf("%.0f Yds, %.0f Ms", metres * kYardsPerMetre, metres);
}
