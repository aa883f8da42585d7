#include "view/viewport.h"

#include <algorithm>

namespace {

// One axis of the back buffer's window: size pixels around centre, held
// inside a map of mapSize pixels; [start, end). start is never negative, so a
// map smaller than the buffer starts at 0.
void WindowAxis(int centre, int size, int mapSize, int& start, int& end) {
    start = centre - size / 2;
    if (start < 1)
        start = 0;
    end = start + std::min(size, mapSize);
    if (end > mapSize) {
        end = mapSize;
        start = mapSize - size;
        if (start < 1)
            start = 0;
    }
}

} // namespace

int CViewport::BufferEdgeFor(int clientEdge) {
    if (clientEdge <= BUFFER_SIZE)
        return BUFFER_SIZE;
    const int wanted = std::min(clientEdge, MAX_CLIENT_SIZE) + 2 * BUFFER_MARGIN;
    return (wanted + BUFFER_SIZE - 1) / BUFFER_SIZE * BUFFER_SIZE;
}

CSpan CViewport::ClipSpan(int delta, int sizeA, int sizeB) {
    CSpan span;
    if (delta < 0) {
        span.nDest = 0;
        span.nSource = -delta;
    } else {
        span.nDest = delta;
        span.nSource = 0;
    }
    span.nLength = std::min(sizeA - span.nSource, sizeB - span.nDest);
    return span;
}

void CViewport::Reset() {
    m_dZoom = 1.0;
    m_nTileWidth = m_nTileHeight = 0;
    m_nZoomedTileWidth = m_nZoomedTileHeight = 0;
    m_nMapWidth = m_nMapHeight = 0;
    m_nTileColumns = m_nTileRows = 0;
    m_ptCentre = {};
    m_ptRequested = {};
    m_ptPending = {};
    m_ptBufferOrigin = {};
    m_ptScreenOrigin = {};
}

void CViewport::SetTileGrid(int columns, int rows, int tileEdge) {
    m_nTileColumns = columns;
    m_nTileRows = rows;
    m_nTileWidth = m_nTileHeight = tileEdge;
}

void CViewport::SetBufferSize(int width, int height) {
    m_nBufferWidth = width;
    m_nBufferHeight = height;
}

void CViewport::SetInitialCentre() {
    if (m_ptPending.x != 0 || m_ptPending.y != 0 || m_ptCentre.x != 0 || m_ptCentre.y != 0)
        return;
    m_ptCentre.x = int(double(m_nTileColumns) * m_nTileWidth * m_dZoom * 0.5);
    m_ptCentre.y = int(double(m_nTileRows) * m_nTileHeight * m_dZoom * 0.5);
}

void CViewport::SetPending(CPoint mapPosition) {
    m_ptPending = mapPosition;
}

std::optional<double> CViewport::ZoomTo(int clientWidth, int clientHeight, double newZoom,
                                        CPoint about) {
    if (!(newZoom > 0.0) || !(m_dZoom > 0.0))
        return std::nullopt;
    if (m_ptPending.x != 0 && m_ptPending.y != 0) {
        m_ptCentre = {int(m_ptPending.x * m_dZoom), int(m_ptPending.y * m_dZoom)};
        m_ptPending = {};
    }
    // The client area never exceeds the back buffer.
    m_nClientWidth = std::clamp(clientWidth, 0, m_nBufferWidth);
    m_nClientHeight = std::clamp(clientHeight, 0, m_nBufferHeight);

    const double ratio = newZoom / m_dZoom;
    // The zoomed position at about from the middle scales with the map and
    // stays at about.
    const CPoint centre{int((m_ptCentre.x + about.x) * ratio) - about.x,
                        int((m_ptCentre.y + about.y) * ratio) - about.y};
    m_dZoom = newZoom;
    m_nZoomedTileWidth = int(m_nTileWidth * newZoom);
    m_nZoomedTileHeight = int(m_nTileHeight * newZoom);
    m_nMapWidth = m_nTileColumns * m_nZoomedTileWidth;
    m_nMapHeight = m_nTileRows * m_nZoomedTileHeight;
    SetCentre(centre.x, centre.y);
    return ratio;
}

CPoint CViewport::Clamped(CPoint p) const {
    // Lower bounds first; where the map is smaller than the client area the
    // upper bound wins, which holds a handheld-sized view's map against its
    // right and bottom edges. A larger window centres such a map instead.
    const bool large = m_nClientWidth > BUFFER_SIZE || m_nClientHeight > BUFFER_SIZE;
    const auto axis = [large](int c, int client, int map) {
        if (large && map < client)
            return map / 2;
        return std::min(std::max(c, client / 2), map - client / 2);
    };
    return {axis(p.x, m_nClientWidth, m_nMapWidth), axis(p.y, m_nClientHeight, m_nMapHeight)};
}

void CViewport::SetCentre(int x, int y) {
    m_ptRequested = {x, y};
    m_ptCentre = Clamped({x, y});
}

bool CViewport::CanZoom(bool in) const {
    return in ? m_dZoom < MAX_ZOOM : m_dZoom > MIN_ZOOM;
}

CPoint CViewport::DraggedCentre(CPoint start, int x, int y) const {
    return Clamped({m_ptCentre.x - x + start.x, m_ptCentre.y - y + start.y});
}

std::optional<CPoint> CViewport::PositionAt(int x, int y) const {
    if (x < 0 || x >= m_nClientWidth || y < 0 || y >= m_nClientHeight)
        return std::nullopt;
    const CPoint p{x - m_nClientWidth / 2 + m_ptCentre.x, y - m_nClientHeight / 2 + m_ptCentre.y};
    // The white beside a map smaller than the client area is no map position.
    if (p.x < 0 || p.x >= m_nMapWidth || p.y < 0 || p.y >= m_nMapHeight)
        return std::nullopt;
    return p;
}

CPoint CViewport::MapPositionAtMiddle() const {
    const double toMap = 1.0 / m_dZoom;
    return {int(m_ptCentre.x * toMap), int(m_ptCentre.y * toMap)};
}

CPoint CViewport::PresentedMiddle() const {
    return {m_ptScreenOrigin.x + m_nClientWidth / 2, m_ptScreenOrigin.y + m_nClientHeight / 2};
}

CArea CViewport::BufferWindow() const {
    CArea area;
    WindowAxis(m_ptCentre.x, m_nBufferWidth, m_nMapWidth, area.x0, area.x1);
    WindowAxis(m_ptCentre.y, m_nBufferHeight, m_nMapHeight, area.y0, area.y1);
    return area;
}

std::pair<CSpan, CSpan> CViewport::PresentAt(int x, int y) {
    // Only the part of the buffer that holds map is shown: a map smaller than
    // the buffer leaves stale pixels beyond its edge.
    const int w = std::min(m_nBufferWidth, m_nMapWidth - m_ptBufferOrigin.x);
    const int h = std::min(m_nBufferHeight, m_nMapHeight - m_ptBufferOrigin.y);
    const CSpan sx = ClipSpan(m_nClientWidth / 2 - x + m_ptBufferOrigin.x, w, m_nClientWidth);
    const CSpan sy = ClipSpan(m_nClientHeight / 2 - y + m_ptBufferOrigin.y, h, m_nClientHeight);
    m_ptScreenOrigin = {m_ptBufferOrigin.x + sx.nSource - sx.nDest,
                        m_ptBufferOrigin.y + sy.nSource - sy.nDest};
    return {sx, sy};
}
