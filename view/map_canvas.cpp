// The map canvas draws a map's converted tiles (store/tile_cache.cpp) and,
// at zoom 0.5 and 0.25, the tiles of the map's overview levels where it has
// them (store/map_folder.h): a level tile in row r and column c holds the
// zoomed positions (c - 1) x 500 to c x 500 - 1 across and (r - 1) x 500 to
// r x 500 - 1 down, copied one to one. A level is used only when it holds
// its whole grid; a level tile that cannot be read drops the level for the
// open map, and the map is drawn from its own tiles instead, shrunk.

#include "view/map_canvas.h"

#include "places/place_files.h"
#include "platform/device_root.h"
#include "platform/file_system.h"
#include "platform/image_codec.h"
#include "store/map_folder.h"

#include <QLatin1StringView>
#include <QPainter>
#include <algorithm>
#include <cstring>

CMapCanvas::CMapCanvas(CViewport& viewport, COverlays& overlays)
    : m_viewport(viewport), m_overlays(overlays) {
    m_strTileName.reserve(32);
}

CMapCanvas::~CMapCanvas() = default;

bool CMapCanvas::CreateDrawingSurfaces() {
    const int w = m_viewport.BufferWidth();
    const int h = m_viewport.BufferHeight();
    if (w <= 0 || h <= 0)
        return false;
    m_imgBuffer = QImage(w, h, kDisplayFormat);
    m_imgCompose = QImage(w, h, kDisplayFormat);
    if (m_imgBuffer.isNull() || m_imgCompose.isNull())
        return false;
    m_imgBuffer.fill(Qt::white);
    m_imgCompose.fill(Qt::white);
    return m_overlays.CreateMarkerImages();
}

bool CMapCanvas::ResizeBackBuffer(int clientWidth, int clientHeight) {
    const int w = CViewport::BufferEdgeFor(clientWidth);
    const int h = CViewport::BufferEdgeFor(clientHeight);
    if (w == m_viewport.BufferWidth() && h == m_viewport.BufferHeight() &&
        m_imgBuffer.size() == QSize(w, h))
        return true;
    QImage buffer(w, h, kDisplayFormat);
    QImage compose(w, h, kDisplayFormat);
    if (buffer.isNull() || compose.isNull())
        return false;
    buffer.fill(Qt::white);
    compose.fill(Qt::white);
    m_imgBuffer.swap(buffer);
    m_imgCompose.swap(compose);
    m_viewport.SetBufferSize(w, h);
    return true;
}

void CMapCanvas::Resize(int clientWidth, int clientHeight) {
    // A failed resize keeps the old buffer; ApplyZoom then holds the client
    // area to it.
    ResizeBackBuffer(clientWidth, clientHeight);
    m_viewport.SetInitialCentre();
    ApplyZoom(clientWidth, clientHeight, m_viewport.Zoom());
}

void CMapCanvas::ShowMap(const OpenedMap& map) {
    // Titles longer than the view keeps are cut; the cut title names the
    // map's places consistently from run to run. Folders are at most 49
    // characters long, so they always fit.
    m_strMapTitle = map.strTitle.left(MAX_MAP_TEXT);
    m_strMapFolder = map.strFolder.left(MAX_MAP_TEXT);
    m_strTilePrefix = ::TilePrefix(m_strMapTitle);
    m_calibration = map.calibration;
    ResetViewState();
    // A geo-reference of another picture than the tiles' is stale.
    m_geo = map.geo;
    if (m_geo && !m_geo->FitsTileGrid(m_viewport.TileColumns(), m_viewport.TileRows(), TILE_SIZE))
        m_geo.reset();
    m_bMapOpen = true;
    if (!GoToHome()) {
        m_viewport.SetInitialCentre();
        ApplyZoom(m_viewport.ClientWidth(), m_viewport.ClientHeight(), m_viewport.Zoom());
    }
}

void CMapCanvas::ResetViewState() {
    m_viewport.Reset();
    m_overlays.Reset();
    m_bMapOpen = false;
    MeasureTileGrid();
}

void CMapCanvas::MeasureTileGrid() {
    if (m_strTilePrefix.isEmpty())
        return;
    const int total = CountFiles(m_strMapFolder, QStringLiteral("*.cbm"));
    const int firstRow = CountFiles(m_strMapFolder, m_strTilePrefix + QStringLiteral("1_*.cbm"));
    // Without a converted tile in row 1 the grid is empty: nothing is drawn.
    m_viewport.SetTileGrid(firstRow, firstRow > 0 ? total / firstRow : 0, TILE_SIZE);
    for (int level = 0; level < LEVEL_COUNT; ++level) {
        m_strLevelFolder[level] = LevelFolder(m_strMapFolder, level);
        const int columns = LevelTiles(m_viewport.TileColumns(), LEVEL_ZOOMS[level]);
        const int rows = LevelTiles(m_viewport.TileRows(), LEVEL_ZOOMS[level]);
        // A level reached through a link is someone else's folder: not read.
        m_bLevelReady[level] =
            columns > 0 && rows > 0 && IsReachableWithoutLinks(JoinDevicePath(
                                            m_strLevelFolder[level], m_strTilePrefix)) &&
            CountFiles(m_strLevelFolder[level], m_strTilePrefix + QStringLiteral("1_*.cbm")) ==
                columns &&
            CountFiles(m_strLevelFolder[level], QStringLiteral("*.cbm")) == columns * rows;
    }
}

bool CMapCanvas::DrawsFromLevel(double zoom) const {
    const int level = LevelOf(zoom);
    return level >= 0 && m_bLevelReady[level] && !m_tileSource;
}

bool CMapCanvas::TileFileExists(int row, int column) const {
    QString name;
    AppendTileName(name, m_strTilePrefix, row, column);
    for (const char* extension : {".cbm", ".map"}) {
        CFileHandle file =
            OpenFileForRead(JoinDevicePath(m_strMapFolder, name + QLatin1StringView(extension)));
        if (file.IsValid())
            return true;
    }
    return false;
}

void CMapCanvas::ApplyZoom(int clientWidth, int clientHeight, double newZoom) {
    ApplyZoomAround(clientWidth, clientHeight, newZoom, {});
}

void CMapCanvas::ApplyZoomAround(int clientWidth, int clientHeight, double newZoom, CPoint about) {
    const std::optional<double> ratio =
        m_viewport.ZoomTo(clientWidth, clientHeight, newZoom, about);
    if (!ratio)
        return;
    m_overlays.ScaleMarkers(*ratio);
    RedrawMap(false);
}

void CMapCanvas::CentreOnMapPosition(CPoint mapPosition, double zoom, CTargetCross cross) {
    m_viewport.SetPending(mapPosition);
    if (cross == CTargetCross::Show)
        m_overlays.SetShowTargetCross(true);
    ApplyZoom(m_viewport.ClientWidth(), m_viewport.ClientHeight(), zoom);
}

bool CMapCanvas::FetchTile(const QImage*& tile) {
    tile = nullptr;
    if (m_tileSource)
        return m_tileSource(m_strTileName, tile);
    return m_tileCache.GetTileBitmap(m_strMapFolder, m_strTileName, tile);
}

CArea CMapCanvas::ShiftBuffer(int x0, int y0) {
    const int w = m_viewport.BufferWidth();
    const int h = m_viewport.BufferHeight();
    const CPoint previous = m_viewport.BufferOrigin();
    const CSpan sx = CViewport::ClipSpan(previous.x - x0, w, w);
    const CSpan sy = CViewport::ClipSpan(previous.y - y0, h, h);

    // The compose image is the scratch space: black where nothing is kept.
    m_imgCompose.fill(Qt::black);
    CArea kept;
    if (sx.nLength > 0 && sy.nLength > 0) {
        const int bytesPerPixel = m_imgBuffer.depth() / 8;
        const size_t rowBytes = size_t(sx.nLength) * bytesPerPixel;
        for (int r = 0; r < sy.nLength; ++r) {
            std::memcpy(m_imgCompose.scanLine(sy.nDest + r) + sx.nDest * bytesPerPixel,
                        m_imgBuffer.constScanLine(sy.nSource + r) + sx.nSource * bytesPerPixel,
                        rowBytes);
        }
        kept = {x0 + sx.nDest, y0 + sy.nDest, x0 + sx.nDest + sx.nLength,
                y0 + sy.nDest + sy.nLength};
    }
    // The shifted image becomes the back buffer; the old buffer is the next
    // scratch space (PresentView overwrites the client block it shows).
    m_imgBuffer.swap(m_imgCompose);
    return kept;
}

bool CMapCanvas::DrawLevelCells(int level, const CArea& window, const CArea& kept) {
    QPainter painter(&m_imgBuffer);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    for (int y = window.y0, dy = 0; y < window.y1;) {
        const int oy = y % TILE_SIZE;
        const int ch = std::min(TILE_SIZE - oy, window.y1 - y);
        for (int x = window.x0, dx = 0; x < window.x1;) {
            const int ox = x % TILE_SIZE;
            const int cw = std::min(TILE_SIZE - ox, window.x1 - x);
            if (!kept.Contains(x, y, cw, ch)) {
                m_strTileName.resize(0);
                AppendTileName(m_strTileName, m_strTilePrefix, y / TILE_SIZE + 1,
                               x / TILE_SIZE + 1);
                const QImage* tile = nullptr;
                const QRect source(ox, oy, cw, ch);
                if (!m_tileCache.GetTileBitmap(m_strLevelFolder[level], m_strTileName, tile) ||
                    tile == nullptr || !tile->rect().contains(source))
                    return false;
                painter.drawImage(QPoint(dx, dy), *tile, source);
            }
            x += cw;
            dx += cw;
        }
        y += ch;
        dy += ch;
    }
    return true;
}

bool CMapCanvas::DrawCells(const CArea& window, const CArea& kept) {
    if (const int level = LevelOf(m_viewport.Zoom()); DrawsFromLevel(m_viewport.Zoom())) {
        if (DrawLevelCells(level, window, kept))
            return true;
        // A damaged level: the map's own tiles serve for the rest of the
        // time the map is open, redrawn whole so no cell of the level stays.
        m_bLevelReady[level] = false;
        return DrawCells(window, CArea{});
    }
    const int tileW = m_viewport.ZoomedTileWidth();
    const int tileH = m_viewport.ZoomedTileHeight();
    if (tileW <= 0 || tileH <= 0)
        return true; // no grid: nothing to draw
    const double zoom = m_viewport.Zoom();
    const bool oneToOne = zoom == 1.0;
    const double s = 1.0 / zoom;

    QPainter painter(&m_imgBuffer);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);

    for (int y = window.y0, dy = 0; y < window.y1;) {
        const int row = y / tileH;
        const int oy = y % tileH;
        const int ch = std::min(tileH - oy, window.y1 - y);
        for (int x = window.x0, dx = 0; x < window.x1;) {
            const int column = x / tileW;
            const int ox = x % tileW;
            const int cw = std::min(tileW - ox, window.x1 - x);
            if (!kept.Contains(x, y, cw, ch)) {
                m_strTileName.resize(0); // keeps the capacity: no allocation per tile
                AppendTileName(m_strTileName, m_strTilePrefix, row + 1, column + 1);
                const QImage* tile = nullptr;
                if (!FetchTile(tile) || tile == nullptr || tile->isNull())
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
                else if (const QImage* shrunk = m_tileCache.ShrunkTile(tile, zoom))
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

bool CMapCanvas::RedrawMap(bool reuse) {
    if (m_strTilePrefix.isEmpty())
        return false;
    const QSize size(m_viewport.BufferWidth(), m_viewport.BufferHeight());
    if (m_imgBuffer.size() != size || m_imgCompose.size() != size ||
        m_imgBuffer.format() != m_imgCompose.format())
        return false;

    // The buffer window: the buffer's size around the centre, held inside the map.
    const CArea window = m_viewport.BufferWindow();
    CArea kept;
    if (reuse)
        kept = ShiftBuffer(window.x0, window.y0);
    m_viewport.SetBufferOrigin({window.x0, window.y0});

    if (!DrawCells(window, kept))
        return false;
    const CPoint centre = m_viewport.Centre();
    PresentView(centre.x, centre.y);
    return true;
}

void CMapCanvas::PresentView(int x, int y) {
    if (m_imgCompose.isNull() || m_imgBuffer.isNull())
        return;
    const auto [sx, sy] = m_viewport.PresentAt(x, y);
    {
        QPainter painter(&m_imgCompose);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(0, 0, m_viewport.ClientWidth(), m_viewport.ClientHeight(), Qt::white);
        if (sx.nLength > 0 && sy.nLength > 0)
            painter.drawImage(QPoint(sx.nDest, sy.nDest), m_imgBuffer,
                              QRect(sx.nSource, sy.nSource, sx.nLength, sy.nLength));
    }
    if (m_presenter)
        m_presenter();
}

void CMapCanvas::DrawOverlays(QPainter& painter) {
    m_overlays.DrawOverlays(painter, m_viewport, m_calibration.nScale);
}

QImage CMapCanvas::ClientImage() const {
    return m_imgCompose.copy(0, 0, m_viewport.ClientWidth(), m_viewport.ClientHeight());
}

QImage CMapCanvas::RenderClientImage() {
    QImage image = ClientImage();
    if (image.isNull())
        return image;
    QPainter painter(&image);
    DrawOverlays(painter);
    return image;
}

void CMapCanvas::OnLButtonDown(int x, int y) {
    if (!m_overlays.IsArming()) {
        // Any stylus-down starts a drag; the window holds the stylus until it is lifted.
        m_bDragging = true;
        m_ptDragStart = {x, y};
        return;
    }
    // A marker is armed: a tap inside the client area places it.
    if (const std::optional<CPoint> position = m_viewport.PositionAt(x, y))
        m_overlays.PlaceArmed(*position);
}

void CMapCanvas::OnMouseMove(int x, int y) {
    if (!m_bDragging)
        return;
    // The image follows the stylus over the existing back buffer; the centre
    // itself changes only when the stylus is lifted.
    m_overlays.SetShowTargetCross(false);
    const CPoint p = m_viewport.DraggedCentre(m_ptDragStart, x, y);
    PresentView(p.x, p.y);
}

void CMapCanvas::OnLButtonUp(int x, int y) {
    if (m_overlays.IsArming()) {
        // The new marker shows; no tile is fetched.
        m_overlays.EndArming();
        const CPoint centre = m_viewport.Centre();
        PresentView(centre.x, centre.y);
    }
    if (m_bDragging) {
        m_bDragging = false;
        const CPoint centre = m_viewport.Centre();
        m_viewport.SetCentre(centre.x - x + m_ptDragStart.x, centre.y - y + m_ptDragStart.y);
        RedrawMap(true);
    }
}

bool CMapCanvas::IsDirectionKey(int key) {
    return key == Qt::Key_Left || key == Qt::Key_Up || key == Qt::Key_Right || key == Qt::Key_Down;
}

bool CMapCanvas::OnKeyUp(int key) {
    CPoint centre = m_viewport.Centre();
    switch (key) {
    case Qt::Key_Left:
        centre.x -= CViewport::KEY_STEP;
        break;
    case Qt::Key_Up:
        centre.y -= CViewport::KEY_STEP;
        break;
    case Qt::Key_Right:
        centre.x += CViewport::KEY_STEP;
        break;
    case Qt::Key_Down:
        centre.y += CViewport::KEY_STEP;
        break;
    default:
        return false;
    }
    m_viewport.SetCentre(centre.x, centre.y);
    RedrawMap(true);
    return true;
}

void CMapCanvas::OnZoomIn() {
    if (m_viewport.CanZoom(true))
        ApplyZoom(m_viewport.ClientWidth(), m_viewport.ClientHeight(), m_viewport.ZoomStep(true));
}

void CMapCanvas::OnZoomOut() {
    if (m_viewport.CanZoom(false))
        ApplyZoom(m_viewport.ClientWidth(), m_viewport.ClientHeight(), m_viewport.ZoomStep(false));
}

bool CMapCanvas::ZoomAt(int x, int y, bool in) {
    if (m_bDragging || !m_viewport.CanZoom(in))
        return false;
    const int w = m_viewport.ClientWidth();
    const int h = m_viewport.ClientHeight();
    ApplyZoomAround(w, h, m_viewport.ZoomStep(in), {x - w / 2, y - h / 2});
    return true;
}

void CMapCanvas::OnMarkMe() {
    if (m_overlays.ToggleMarker(COverlays::MARKER_ME))
        RedrawMap(true); // the removed marker is no longer drawn
}

void CMapCanvas::OnMarkFlag() {
    if (m_overlays.ToggleMarker(COverlays::MARKER_FLAG))
        RedrawMap(true);
}

void CMapCanvas::GoToMarker(CPoint position) {
    // An absent marker is not gone to; the view is redrawn where it is.
    if (COverlays::IsPresent(position))
        m_viewport.SetCentre(position.x, position.y);
    RedrawMap(true);
}

void CMapCanvas::OnGotoMe() {
    GoToMarker(m_overlays.MarkerPosition(COverlays::MARKER_ME));
}

void CMapCanvas::OnGotoFlag() {
    GoToMarker(m_overlays.MarkerPosition(COverlays::MARKER_FLAG));
}

void CMapCanvas::PlaceMarkerAt(int marker, CPoint mapPosition, bool centre) {
    const double zoom = m_viewport.Zoom();
    const CPoint zoomed{int(mapPosition.x * zoom), int(mapPosition.y * zoom)};
    m_overlays.PlaceMarker(marker, zoomed);
    if (m_bDragging)
        return; // no tile is fetched during a drag
    if (centre)
        m_viewport.SetCentre(zoomed.x, zoomed.y);
    RedrawMap(true);
}

void CMapCanvas::OnSetHome() {
    const CPoint middle = m_viewport.MapPositionAtMiddle();
    SavePlace(m_strMapTitle, kHomePlace, QPoint(middle.x, middle.y));
}

bool CMapCanvas::GoToHome() {
    const std::optional<QPoint> home = LoadPlace(m_strMapTitle, kHomePlace);
    if (!home || home->x() == 0 || home->y() == 0)
        return false;
    CentreOnMapPosition({home->x(), home->y()}, m_viewport.Zoom(), CTargetCross::Keep);
    return true;
}

void CMapCanvas::OnShowDirection() {
    m_overlays.ToggleShowDirection();
    RedrawMap(true);
}

void CMapCanvas::OnShowDistance() {
    m_overlays.ToggleShowDistance();
    RedrawMap(true);
}
