#include "view/map_view_core.h"

#include "store/map_folder.h"

#include "places/place_files.h"
#include "platform/device_root.h"
#include "platform/file_system.h"
#include "platform/image_codec.h"

#include <QLatin1StringView>
#include <QPainter>
#include <QPen>
#include <algorithm>
#include <cstring>

namespace {

// Marker pixel patterns, top row first, leftmost pixel first.
// K black, G green, C cyan, L light cyan.
constexpr const char* kMeRows[CMapViewCore::MARKER_SIZE] = {
    "LLLLKKKLLLLL", "LLLKLLLKLLLL", "LLLKLLLKLLLL", "LLLKLLLKLLLL", "LLLLKKKLLLLL", "LLLLLKLLLLLL",
    "LLLKKKKKLLLL", "LLLLLKLLLLLL", "LLLLLKLLLLLL", "LLLLLKLLLLLL", "LLLLKLKLLLLL", "LLLKLLLKLLLL",
};
constexpr const char* kFlagRows[CMapViewCore::MARKER_SIZE] = {
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

// One axis of the back buffer's window, in zoomed positions: size pixels
// around centre, [start, end), held inside a map of mapSize pixels; start is
// never negative, so a map smaller than the buffer starts at 0.
void BufferWindow(int centre, int size, int mapSize, int& start, int& end) {
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

CMapViewCore::CMapViewCore() {
    m_strTileName.reserve(32);
    ResetViewState();
}

CMapViewCore::~CMapViewCore() = default;

QImage CMapViewCore::MakeMarkerImage(int index) {
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

bool CMapViewCore::CreateDrawingSurfaces() {
    if (m_nBufferWidth <= 0 || m_nBufferHeight <= 0)
        return false;
    m_hbmBuffer = QImage(m_nBufferWidth, m_nBufferHeight, kDisplayFormat);
    m_hbmCompose = QImage(m_nBufferWidth, m_nBufferHeight, kDisplayFormat);
    if (m_hbmBuffer.isNull() || m_hbmCompose.isNull())
        return false;
    m_hbmBuffer.fill(Qt::white);
    m_hbmCompose.fill(Qt::white);
    m_hMarkerImages[MARKER_ME] = MakeMarkerImage(MARKER_ME);
    m_hMarkerImages[MARKER_FLAG] = MakeMarkerImage(MARKER_FLAG);
    return !m_hMarkerImages[MARKER_ME].isNull() && !m_hMarkerImages[MARKER_FLAG].isNull();
}

int CMapViewCore::BufferEdgeFor(int clientEdge) {
    if (clientEdge <= BUFFER_SIZE)
        return BUFFER_SIZE;
    const int wanted = std::min(clientEdge, MAX_CLIENT_SIZE) + 2 * BUFFER_MARGIN;
    return (wanted + BUFFER_SIZE - 1) / BUFFER_SIZE * BUFFER_SIZE;
}

bool CMapViewCore::ResizeBackBuffer(int clientWidth, int clientHeight) {
    const int w = BufferEdgeFor(clientWidth);
    const int h = BufferEdgeFor(clientHeight);
    if (w == m_nBufferWidth && h == m_nBufferHeight && m_hbmBuffer.size() == QSize(w, h))
        return true;
    QImage buffer(w, h, kDisplayFormat);
    QImage compose(w, h, kDisplayFormat);
    if (buffer.isNull() || compose.isNull())
        return false;
    buffer.fill(Qt::white);
    compose.fill(Qt::white);
    m_hbmBuffer.swap(buffer);
    m_hbmCompose.swap(compose);
    m_nBufferWidth = w;
    m_nBufferHeight = h;
    return true;
}

bool CMapViewCore::ResetViewState() {
    m_ptMe = kNoMarker;
    m_ptFlag = kNoMarker;
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

    CheckMarkMeButton(false);
    m_bMePlaced = false;
    CheckMarkFlagButton(false);
    m_bFlagPlaced = false;

    m_bMarkMeArmed = false;
    m_bMarkFlagArmed = false;
    m_bShowDirection = false;
    m_bShowDistance = false;
    m_bMapOpen = false;
    SetReadout(false, QString());

    MeasureTileGrid();
    return true;
}

void CMapViewCore::MeasureTileGrid() {
    if (m_szTilePrefix.isEmpty())
        return;
    const int total = CountFiles(m_szMapFolder, QStringLiteral("*.cbm"));
    const int firstRow = CountFiles(m_szMapFolder, m_szTilePrefix + QStringLiteral("1_*.cbm"));
    // Without a converted tile in row 1 the grid is empty: nothing is drawn.
    m_nTileColumns = firstRow;
    m_nTileRows = firstRow > 0 ? total / firstRow : 0;
    m_nTileWidth = TILE_SIZE;
    m_nTileHeight = TILE_SIZE;
}

bool CMapViewCore::TileFileExists(int row, int column) const {
    QString name;
    AppendTileName(name, m_szTilePrefix, row, column);
    for (const char* extension : {".cbm", ".map"}) {
        CFileHandle file =
            OpenFileForRead(JoinDevicePath(m_szMapFolder, name + QLatin1StringView(extension)));
        if (file.IsValid())
            return true;
    }
    return false;
}

void CMapViewCore::SetInitialCentre() {
    if (m_ptPending.x != 0 || m_ptPending.y != 0 || m_ptCentre.x != 0 || m_ptCentre.y != 0)
        return;
    m_ptCentre.x = int(double(m_nTileColumns) * m_nTileWidth * m_dZoom * 0.5);
    m_ptCentre.y = int(double(m_nTileRows) * m_nTileHeight * m_dZoom * 0.5);
}

void CMapViewCore::ApplyZoom(int clientWidth, int clientHeight, double newZoom) {
    ApplyZoomAround(clientWidth, clientHeight, newZoom, 0, 0);
}

void CMapViewCore::ApplyZoomAround(int clientWidth, int clientHeight, double newZoom, int dx,
                                   int dy) {
    if (!(newZoom > 0.0) || !(m_dZoom > 0.0))
        return;
    if (m_ptPending.x != 0 && m_ptPending.y != 0) {
        m_ptCentre = {int(m_ptPending.x * m_dZoom), int(m_ptPending.y * m_dZoom)};
        m_ptPending = {};
    }
    // The client area never exceeds the back buffer.
    m_nClientWidth = std::clamp(clientWidth, 0, m_nBufferWidth);
    m_nClientHeight = std::clamp(clientHeight, 0, m_nBufferHeight);

    const double ratio = newZoom / m_dZoom;
    m_ptMe.x = int(m_ptMe.x * ratio);
    m_ptMe.y = int(m_ptMe.y * ratio);
    m_ptFlag.x = int(m_ptFlag.x * ratio);
    m_ptFlag.y = int(m_ptFlag.y * ratio);
    // The zoomed position at (dx, dy) from the middle scales with the map and
    // stays at (dx, dy).
    const CPoint centre{int((m_ptCentre.x + dx) * ratio) - dx,
                        int((m_ptCentre.y + dy) * ratio) - dy};

    m_dZoom = newZoom;
    m_nZoomedTileWidth = int(m_nTileWidth * newZoom);
    m_nZoomedTileHeight = int(m_nTileHeight * newZoom);
    m_nMapWidth = m_nTileColumns * m_nZoomedTileWidth;
    m_nMapHeight = m_nTileRows * m_nZoomedTileHeight;

    SetCentre(centre.x, centre.y);
    RedrawMap(false);
}

void CMapViewCore::SetCentre(int x, int y) {
    m_ptRequested = {x, y};
    m_ptCentre = {x, y};
    // Lower bounds first; where the map is smaller than the client area the
    // upper bound wins.
    m_ptCentre.x = std::max(m_ptCentre.x, m_nClientWidth / 2);
    m_ptCentre.y = std::max(m_ptCentre.y, m_nClientHeight / 2);
    m_ptCentre.x = std::min(m_ptCentre.x, m_nMapWidth - m_nClientWidth / 2);
    m_ptCentre.y = std::min(m_ptCentre.y, m_nMapHeight - m_nClientHeight / 2);
}

CSpan CMapViewCore::ClipSpan(int delta, int sizeA, int sizeB) {
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

void CMapViewCore::FormatTileName(int row, int column) {
    m_strTileName.resize(0); // keeps the capacity: no allocation per tile
    AppendTileName(m_strTileName, m_szTilePrefix, row, column);
}

CMapViewCore::CArea CMapViewCore::ShiftBuffer(int x0, int y0) {
    const int w = m_nBufferWidth;
    const int h = m_nBufferHeight;
    const CSpan sx = ClipSpan(m_ptBufferOrigin.x - x0, w, w);
    const CSpan sy = ClipSpan(m_ptBufferOrigin.y - y0, h, h);

    // The compose image is the scratch space: black where nothing is kept.
    m_hbmCompose.fill(Qt::black);
    CArea kept;
    if (sx.nLength > 0 && sy.nLength > 0) {
        const int bytesPerPixel = m_hbmBuffer.depth() / 8;
        const size_t rowBytes = size_t(sx.nLength) * bytesPerPixel;
        for (int r = 0; r < sy.nLength; ++r) {
            std::memcpy(m_hbmCompose.scanLine(sy.nDest + r) + sx.nDest * bytesPerPixel,
                        m_hbmBuffer.constScanLine(sy.nSource + r) + sx.nSource * bytesPerPixel,
                        rowBytes);
        }
        kept = {x0 + sx.nDest, y0 + sy.nDest, x0 + sx.nDest + sx.nLength,
                y0 + sy.nDest + sy.nLength};
    }
    // The shifted image becomes the back buffer; the old buffer is the next
    // scratch space (PresentView overwrites the client block it shows).
    m_hbmBuffer.swap(m_hbmCompose);
    return kept;
}

bool CMapViewCore::DrawCells(int x0, int y0, int x1, int y1, const CArea& kept) {
    const int tileW = m_nZoomedTileWidth;
    const int tileH = m_nZoomedTileHeight;
    if (tileW <= 0 || tileH <= 0)
        return true; // no grid: nothing to draw
    const bool oneToOne = m_dZoom == 1.0;
    const double s = 1.0 / m_dZoom;

    QPainter painter(&m_hbmBuffer);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);

    for (int y = y0, dy = 0; y < y1;) {
        const int row = y / tileH;
        const int oy = y % tileH;
        const int ch = std::min(tileH - oy, y1 - y);
        for (int x = x0, dx = 0; x < x1;) {
            const int column = x / tileW;
            const int ox = x % tileW;
            const int cw = std::min(tileW - ox, x1 - x);
            if (!kept.Contains(x, y, cw, ch)) {
                FormatTileName(row + 1, column + 1);
                const QImage* tile = nullptr;
                if (!FetchTile(m_strTileName, tile) || tile == nullptr || tile->isNull())
                    return false;
                // The source block in the 500 x 500 tile; a block the tile
                // does not hold counts as a failed copy.
                const QRect source = oneToOne
                                         ? QRect(ox, oy, cw, ch)
                                         : QRect(int(ox * s), int(oy * s), std::max(1, int(cw * s)),
                                                 std::max(1, int(ch * s)));
                if (!tile->rect().contains(source))
                    return false;
                if (oneToOne)
                    painter.drawImage(QPoint(dx, dy), *tile, source);
                else if (const QImage* shrunk = m_tileCache.ShrunkTile(tile, m_dZoom))
                    // A kept tile at 0.25 or 0.5: the same pixels as the
                    // stretch below, copied from its shrunk copy.
                    painter.drawImage(QPoint(dx, dy), *shrunk, QRect(ox, oy, cw, ch));
                else
                    painter.drawImage(QRect(dx, dy, cw, ch), *tile, source);
            }
            x += cw;
            dx += cw;
        }
        y += ch;
        dy += ch;
    }
    return true;
}

bool CMapViewCore::RedrawMap(bool reuse) {
    if (m_szTilePrefix.isEmpty())
        return false;
    const int w = m_nBufferWidth;
    const int h = m_nBufferHeight;
    if (m_hbmBuffer.size() != QSize(w, h) || m_hbmCompose.size() != QSize(w, h) ||
        m_hbmBuffer.format() != m_hbmCompose.format())
        return false;

    // The buffer window: w x h around the centre, held inside the map.
    int x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    BufferWindow(m_ptCentre.x, w, m_nMapWidth, x0, x1);
    BufferWindow(m_ptCentre.y, h, m_nMapHeight, y0, y1);

    CArea kept;
    if (reuse)
        kept = ShiftBuffer(x0, y0);
    m_ptBufferOrigin = {x0, y0};

    if (!DrawCells(x0, y0, x1, y1, kept))
        return false;
    PresentView(m_ptCentre.x, m_ptCentre.y);
    return true;
}

void CMapViewCore::PresentView(int x, int y) {
    if (m_hbmCompose.isNull() || m_hbmBuffer.isNull())
        return;
    const CSpan sx =
        ClipSpan(m_nClientWidth / 2 - x + m_ptBufferOrigin.x, m_nBufferWidth, m_nClientWidth);
    const CSpan sy =
        ClipSpan(m_nClientHeight / 2 - y + m_ptBufferOrigin.y, m_nBufferHeight, m_nClientHeight);
    {
        QPainter painter(&m_hbmCompose);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(0, 0, m_nClientWidth, m_nClientHeight, Qt::white);
        if (sx.nLength > 0 && sy.nLength > 0)
            painter.drawImage(QPoint(sx.nDest, sy.nDest), m_hbmBuffer,
                              QRect(sx.nSource, sy.nSource, sx.nLength, sy.nLength));
    }
    m_ptScreenOrigin = {m_ptBufferOrigin.x + sx.nSource - sx.nDest,
                        m_ptBufferOrigin.y + sy.nSource - sy.nDest};
    ShowComposedImage();
}

void CMapViewCore::DrawOverlays(QPainter& painter) {
    const int sx0 = m_ptScreenOrigin.x;
    const int sy0 = m_ptScreenOrigin.y;
    const int sx1 = sx0 + m_nClientWidth;
    const int sy1 = sy0 + m_nClientHeight;
    const int half = MARKER_SIZE / 2;

    const auto drawMarker = [&](const CPoint& point, const QImage& image) {
        if (image.isNull() || point.x < sx0 || point.x > sx1 || point.y < sy0 || point.y > sy1)
            return;
        painter.drawImage(QPoint(point.x - sx0 - half, point.y - sy0 - half), image);
    };
    drawMarker(m_ptMe, m_hMarkerImages[MARKER_ME]);
    drawMarker(m_ptFlag, m_hMarkerImages[MARKER_FLAG]);

    // The red cross marks a searched position that the clamp kept from the
    // middle of the screen.
    if (m_bShowTargetCross && !(m_ptRequested == m_ptCentre)) {
        const int tx = m_ptRequested.x - sx0;
        const int ty = m_ptRequested.y - sy0;
        painter.save();
        QPen pen(QColor(255, 0, 0));
        pen.setWidth(3);
        pen.setStyle(Qt::SolidLine);
        pen.setCapStyle(Qt::RoundCap);
        painter.setPen(pen);
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.drawLine(tx - 7, ty - 7, tx + 7, ty + 7);
        painter.drawLine(tx - 7, ty + 7, tx + 7, ty - 7);
        painter.restore();
    }

    // The direction arrow is the last thing drawn; the distance read-out is
    // shown or hidden with it.
    DrawReadouts(painter);
}

QImage CMapViewCore::RenderClientImage() {
    QImage image = m_hbmCompose.copy(0, 0, m_nClientWidth, m_nClientHeight);
    if (image.isNull())
        return image;
    QPainter painter(&image);
    DrawOverlays(painter);
    return image;
}

CPoint CMapViewCore::DraggedCentre(int x, int y) const {
    CPoint p{m_ptCentre.x - x + m_ptDragStart.x, m_ptCentre.y - y + m_ptDragStart.y};
    p.x = std::max(p.x, m_nClientWidth / 2);
    p.y = std::max(p.y, m_nClientHeight / 2);
    p.x = std::min(p.x, m_nMapWidth - m_nClientWidth / 2);
    p.y = std::min(p.y, m_nMapHeight - m_nClientHeight / 2);
    return p;
}

void CMapViewCore::OnLButtonDown(int x, int y) {
    if (!m_bMarkMeArmed && !m_bMarkFlagArmed) {
        // Any stylus-down starts a drag; the window holds the stylus until it is lifted.
        m_bDragging = true;
        m_ptDragStart = {x, y};
        return;
    }
    // A marker is armed: the tap places it (the "me" marker first when both are).
    if (x < 0 || x >= m_nClientWidth || y < 0 || y >= m_nClientHeight)
        return;
    const CPoint position{x - m_nClientWidth / 2 + m_ptCentre.x,
                          y - m_nClientHeight / 2 + m_ptCentre.y};
    if (m_bMarkMeArmed)
        m_ptMe = position;
    else
        m_ptFlag = position;
}

void CMapViewCore::OnMouseMove(int x, int y) {
    if (!m_bDragging)
        return;
    // The image follows the stylus over the existing back buffer; the centre
    // itself changes only when the stylus is lifted.
    m_bShowTargetCross = false;
    const CPoint p = DraggedCentre(x, y);
    PresentView(p.x, p.y);
}

void CMapViewCore::OnLButtonUp(int x, int y) {
    if (m_bMarkMeArmed || m_bMarkFlagArmed) {
        if (m_bMarkFlagArmed)
            m_bFlagPlaced = true;
        if (m_bMarkMeArmed)
            m_bMePlaced = true;
        PresentView(m_ptCentre.x, m_ptCentre.y);
        m_bMarkMeArmed = false;
        m_bMarkFlagArmed = false;
    }
    if (m_bDragging) {
        m_bDragging = false;
        const CPoint centre{m_ptCentre.x - x + m_ptDragStart.x, m_ptCentre.y - y + m_ptDragStart.y};
        SetCentre(centre.x, centre.y);
        RedrawMap(true);
    }
}

bool CMapViewCore::OnKeyUp(int key) {
    CPoint centre = m_ptCentre;
    switch (key) {
    case VK_LEFT:
        centre.x -= KEY_STEP;
        break;
    case VK_UP:
        centre.y -= KEY_STEP;
        break;
    case VK_RIGHT:
        centre.x += KEY_STEP;
        break;
    case VK_DOWN:
        centre.y += KEY_STEP;
        break;
    default:
        return false;
    }
    SetCentre(centre.x, centre.y);
    RedrawMap(true);
    return true;
}

void CMapViewCore::OnZoomIn() {
    if (m_dZoom < 2.0)
        ApplyZoom(m_nClientWidth, m_nClientHeight, m_dZoom * 2.0);
}

void CMapViewCore::OnZoomOut() {
    if (m_dZoom > 0.25)
        ApplyZoom(m_nClientWidth, m_nClientHeight, m_dZoom * 0.5);
}

bool CMapViewCore::ZoomAt(int x, int y, bool in) {
    if (m_bDragging || (in ? !(m_dZoom < 2.0) : !(m_dZoom > 0.25)))
        return false;
    ApplyZoomAround(m_nClientWidth, m_nClientHeight, m_dZoom * (in ? 2.0 : 0.5),
                    x - m_nClientWidth / 2, y - m_nClientHeight / 2);
    return true;
}

bool CMapViewCore::FetchTile(const QString& tileName, const QImage*& bitmap) {
    return m_tileCache.GetTileBitmap(m_szMapFolder, tileName, bitmap);
}
