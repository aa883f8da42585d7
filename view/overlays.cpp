#include "view/overlays.h"

#include "view/readouts.h"

#include <QPainter>
#include <QPen>

namespace {

// Marker pixel patterns, top row first, leftmost pixel first.
// K black, G green, C cyan, L light cyan.
constexpr const char* kMeRows[COverlays::MARKER_SIZE] = {
    "LLLLKKKLLLLL", "LLLKLLLKLLLL", "LLLKLLLKLLLL", "LLLKLLLKLLLL", "LLLLKKKLLLLL", "LLLLLKLLLLLL",
    "LLLKKKKKLLLL", "LLLLLKLLLLLL", "LLLLLKLLLLLL", "LLLLLKLLLLLL", "LLLLKLKLLLLL", "LLLKLLLKLLLL",
};
constexpr const char* kFlagRows[COverlays::MARKER_SIZE] = {
    "CCKKKKKCCCCC", "CCKGGGKKKKCC", "CCKGGGKGGKCC", "CCKGGGKGGKCC", "CCKKKKKGGKCC", "CCKCCCKKKKCC",
    "CCKCCCCCCCCC", "CCKCCCCCCCCC", "CCKCCCCCCCCC", "CCKCCCCCCCCC", "CCKCCCCCCCCC", "CCKCCCCCCCCC",
};

QRgb PatternColour(char code) {
    switch (code) {
    case 'G':
        return qRgb(81, 200, 2);
    case 'C':
        return qRgb(0, 255, 255);
    case 'L':
        return qRgb(128, 255, 255);
    default:
        return qRgb(0, 0, 0);
    }
}

constexpr int kArrowPenWidth = 4;
constexpr int kShadowOffset = 2;

// Draws the arrow c -> tip -> head 1 -> tip -> head 2 as client points
// (zoomed positions less origin): a black shadow 2 pixels right and down,
// then the arrow in cyan, both with solid pens 4 pixels wide.
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

// The red cross of a search result, centred on client point (x, y).
void DrawTargetCross(QPainter& painter, int x, int y) {
    painter.save();
    QPen pen(QColor(255, 0, 0));
    pen.setWidth(3);
    pen.setStyle(Qt::SolidLine);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.drawLine(x - 7, y - 7, x + 7, y + 7);
    painter.drawLine(x - 7, y + 7, x + 7, y - 7);
    painter.restore();
}

} // namespace

QImage COverlays::MakeMarkerImage(int index) {
    if (index != MARKER_ME && index != MARKER_FLAG)
        return QImage();
    const char* const* rows = index == MARKER_ME ? kMeRows : kFlagRows;
    QImage image(MARKER_SIZE, MARKER_SIZE, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    for (int y = 0; y < MARKER_SIZE; ++y)
        for (int x = 0; x < MARKER_SIZE; ++x)
            image.setPixel(x, y, PatternColour(rows[y][x]));
    return image;
}

bool COverlays::CreateMarkerImages() {
    m_imgMarkers[MARKER_ME] = MakeMarkerImage(MARKER_ME);
    m_imgMarkers[MARKER_FLAG] = MakeMarkerImage(MARKER_FLAG);
    return !m_imgMarkers[MARKER_ME].isNull() && !m_imgMarkers[MARKER_FLAG].isNull();
}

void COverlays::Reset() {
    m_ptMe = kNoMarker;
    m_ptFlag = kNoMarker;
    SetMarkButton(MARKER_ME, false);
    m_bMePlaced = false;
    SetMarkButton(MARKER_FLAG, false);
    m_bFlagPlaced = false;
    m_bMarkMeArmed = false;
    m_bMarkFlagArmed = false;
    m_bShowDirection = false;
    m_bShowDistance = false;
    SetReadout(false, QString());
}

bool COverlays::ToggleMarker(int marker) {
    const bool me = marker == MARKER_ME;
    bool& placed = me ? m_bMePlaced : m_bFlagPlaced;
    bool& armed = me ? m_bMarkMeArmed : m_bMarkFlagArmed;
    if (placed) {
        SetMarkButton(marker, false);
        placed = false;
        (me ? m_ptMe : m_ptFlag) = kNoMarker;
        armed = false;
        return true;
    }
    // Arming again while armed changes nothing.
    SetMarkButton(marker, true);
    armed = true;
    return false;
}

bool COverlays::IsArming() const {
    return m_bMarkMeArmed || m_bMarkFlagArmed;
}

void COverlays::PlaceArmed(CPoint position) {
    if (m_bMarkMeArmed)
        m_ptMe = position;
    else
        m_ptFlag = position;
}

void COverlays::EndArming() {
    if (m_bMarkFlagArmed)
        m_bFlagPlaced = true;
    if (m_bMarkMeArmed)
        m_bMePlaced = true;
    m_bMarkMeArmed = false;
    m_bMarkFlagArmed = false;
}

void COverlays::PlaceMarker(int marker, CPoint position) {
    const bool me = marker == MARKER_ME;
    (me ? m_ptMe : m_ptFlag) = position;
    bool& placed = me ? m_bMePlaced : m_bFlagPlaced;
    if (!placed) {
        placed = true;
        SetMarkButton(marker, true);
    }
}

void COverlays::ScaleMarkers(double ratio) {
    m_ptMe.x = int(m_ptMe.x * ratio);
    m_ptMe.y = int(m_ptMe.y * ratio);
    m_ptFlag.x = int(m_ptFlag.x * ratio);
    m_ptFlag.y = int(m_ptFlag.y * ratio);
}

void COverlays::DrawOverlays(QPainter& painter, const CViewport& viewport, int32_t scale) {
    const CPoint origin = viewport.ScreenOrigin();
    const CArea screen{origin.x, origin.y, origin.x + viewport.ClientWidth(),
                       origin.y + viewport.ClientHeight()};
    const int half = MARKER_SIZE / 2;
    // A placed marker is drawn wherever its position lies on the screen,
    // edges included, with the image centred on it. The screen origin is
    // negative beside a map smaller than the client area, so the absent
    // marker's position may lie on the screen too.
    const auto drawMarker = [&](int marker) {
        const CPoint p = MarkerPosition(marker);
        const QImage& image = m_imgMarkers[size_t(marker)];
        if (image.isNull() || !IsPresent(p) || p.x < screen.x0 || p.x > screen.x1 ||
            p.y < screen.y0 || p.y > screen.y1)
            return;
        painter.drawImage(QPoint(p.x - origin.x - half, p.y - origin.y - half), image);
    };
    drawMarker(MARKER_ME);
    drawMarker(MARKER_FLAG);

    // The cross marks a searched position that the clamp kept from the middle
    // of the screen.
    const CPoint requested = viewport.Requested();
    if (m_bShowTargetCross && !(requested == viewport.Centre()))
        DrawTargetCross(painter, requested.x - origin.x, requested.y - origin.y);

    // The arrow is the last thing drawn; the read-out is shown or hidden with it.
    const CPoint c = viewport.PresentedMiddle();
    const bool flagPresent = IsPresent(m_ptFlag);
    if (m_bShowDirection && flagPresent) {
        const CArrow arrow = ComputeArrow(c, m_ptFlag);
        if (!arrow.bTooClose)
            DrawArrow(painter, c, arrow, origin);
    }
    if (m_bShowDistance && flagPresent)
        SetReadout(true, DistanceReadoutText(c, m_ptFlag, scale, viewport.Zoom()));
    else
        SetReadout(false, QString());
}

void COverlays::SetMarkButton(int marker, bool pressed) {
    if (m_onMarkButton)
        m_onMarkButton(marker, pressed);
}

void COverlays::SetReadout(bool visible, const QString& text) {
    m_bReadoutVisible = visible;
    if (visible)
        m_strReadout = text;
    if (m_onReadout)
        m_onReadout(visible, text);
}
