// The direction and distance read-outs of the overlay pass, and the two
// commands that switch them.

#include "view/readouts.h"

#include <QPainter>
#include <QPen>
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
constexpr int kArrowPenWidth = 4;
constexpr int kShadowOffset = 2;

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

void DrawArrow(QPainter& painter, const CPoint& c, const CArrow& arrow, const CPoint& origin) {
    const auto client = [&](const CPoint& p, int shift) {
        return QPoint(p.x - origin.x + shift, p.y - origin.y + shift);
    };
    const auto draw = [&](const QColor& colour, int shift) {
        const QPoint line[] = {client(c, shift), client(arrow.tip, shift),
                               client(arrow.head1, shift), client(arrow.tip, shift),
                               client(arrow.head2, shift)};
        painter.setPen(QPen(colour, kArrowPenWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPolyline(line, 5);
    };
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    draw(QColor(0, 0, 0), kShadowOffset);
    draw(QColor(0, 255, 255), 0);
    painter.restore();
}

void CMapViewCore::OnShowDirection() {
    m_bShowDirection = !m_bShowDirection;
    RedrawMap(true);
}

void CMapViewCore::OnShowDistance() {
    m_bShowDistance = !m_bShowDistance;
    RedrawMap(true);
}

void CMapViewCore::UpdateDistanceReadout(const CPoint& c, const CPoint& f) {
    SetReadout(true, DistanceReadoutText(c, f, m_calibration.nScale, m_dZoom));
}

void CMapViewCore::DrawReadouts(QPainter& painter) {
    const CPoint c{m_ptScreenOrigin.x + m_nClientWidth / 2,
                   m_ptScreenOrigin.y + m_nClientHeight / 2};
    const CPoint& f = m_ptFlag;
    const bool flagPresent = f.x > 0 && f.y > 0;
    if (m_bShowDirection && flagPresent) {
        const CArrow arrow = ComputeArrow(c, f);
        if (!arrow.bTooClose)
            DrawArrow(painter, c, arrow, m_ptScreenOrigin);
    }
    if (m_bShowDistance && flagPresent)
        UpdateDistanceReadout(c, f);
    else
        SetReadout(false, QString());
}

void CMapViewCore::SetReadout(bool visible, const QString& text) {
    m_bReadoutVisible = visible;
    if (visible)
        m_strReadout = text;
}
