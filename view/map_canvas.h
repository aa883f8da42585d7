#pragma once

#include "store/geo_reference.h"
#include "store/map_calibration.h"
#include "store/tile_cache.h"
#include "view/overlays.h"
#include "view/viewport.h"

#include <QImage>
#include <QString>
#include <functional>

class QPainter;

// A map chosen to be shown, as the open-map flow hands it over.
struct OpenedMap {
    QString strTitle;                   // names the map's places and gives the tile prefix
    QString strFolder;                  // device path of the map folder
    MapCalibration calibration{};       // all zero for a map without one
    std::optional<CGeoReference> geo{}; // where on Earth it lies, when known
};

// What centring on a position does to the target cross.
enum class CTargetCross {
    Keep, // as it is
    Show, // switched on: it marks the position where the map's edge keeps it off the middle
};

// The map view without a window: the open map (title, folder, tile prefix,
// calibration) with its tile cache, the back buffer filled from tiles around
// the viewport's centre, the composed client image, and the operations that
// move the map (stylus, keys, zoom, markers, Home). It works on the viewport
// and the overlays its owner holds, so the widget, the tests and the
// benchmarks drive it alike. Positions are zoomed positions unless a name says
// otherwise; client points are pixels of the client area.
class CMapCanvas {
public:
    // Longest map title or folder kept, in characters.
    static constexpr int MAX_MAP_TEXT = 99;

    // Fetches one converted tile by name (no folder, no extension) into tile,
    // valid until the next fetch; false when it cannot.
    using TileSource = std::function<bool(const QString& tileName, const QImage*& tile)>;
    // Told that a new client image has been composed (see ClientImage).
    using Presenter = std::function<void()>;

    CMapCanvas(CViewport& viewport, COverlays& overlays);
    ~CMapCanvas();
    CMapCanvas(const CMapCanvas&) = delete;
    CMapCanvas& operator=(const CMapCanvas&) = delete;

    // Tiles come from the tile cache unless a source is set (tests).
    void SetTileSource(TileSource source) { m_tileSource = std::move(source); }
    void SetPresenter(Presenter presenter) { m_presenter = std::move(presenter); }

    // Makes the back buffer, the composition image and the marker images;
    // false when one cannot be allocated.
    bool CreateDrawingSurfaces();
    // Sizes the back buffer for a client area (CViewport::BufferEdgeFor),
    // remaking the two images blank when the size changes; false when they
    // cannot be made, and the previous ones stay.
    bool ResizeBackBuffer(int clientWidth, int clientHeight);
    // A new client size: sizes the back buffer, centres a view that has no
    // centre yet on the middle of the map and applies the zoom in force.
    void Resize(int clientWidth, int clientHeight);

    // Shows a map: keeps its title and folder (cut to MAX_MAP_TEXT), prefix
    // and calibration, resets the view for it, measures its tile grid and
    // shows it centred on its Home, else on its middle, at zoom 1.0.
    void ShowMap(const OpenedMap& map);
    // Clears the viewport and the overlays for a newly opened map (markers
    // removed, their buttons released, switches off), marks the map not open
    // and measures the tile grid.
    void ResetViewState();
    // Counts the converted tiles of the map folder to set the tile grid, and
    // those of its overview levels to know which it can draw from.
    void MeasureTileGrid();
    // True when zoom is drawn from an overview level of the open map.
    bool DrawsFromLevel(double zoom) const;
    // True when the converted (or else the encrypted) file of a tile exists.
    bool TileFileExists(int row, int column) const;
    // Painting shows the map only while it is open; the open-map flow holds
    // it off while its dialogs are up.
    bool IsMapOpen() const { return m_bMapOpen; }
    void SetMapOpen(bool open) { m_bMapOpen = open; }
    const QString& MapTitle() const { return m_strMapTitle; }
    const QString& MapFolder() const { return m_strMapFolder; }
    const QString& TilePrefix() const { return m_strTilePrefix; }
    const MapCalibration& Calibration() const { return m_calibration; }
    // Where on Earth the open map lies; none when it does not say, or when
    // its geo-reference does not fit its tile grid (a stale file).
    const std::optional<CGeoReference>& GeoReference() const { return m_geo; }
    // The tile cache, which the conversion dialog borrows.
    TileCache& Tiles() { return m_tileCache; }

    // Applies a pending map position, rescales the centre and the markers to
    // newZoom, clamps the centre and redraws fully.
    void ApplyZoom(int clientWidth, int clientHeight, double newZoom);
    // Centres on a map position at zoom (clamped to the map) and redraws fully.
    void CentreOnMapPosition(CPoint mapPosition, double zoom, CTargetCross cross);
    // Brings the back buffer up to date around the centre and presents it.
    // reuse keeps what the previous buffer holds and fetches only the rest.
    // False when no map is set or a tile could not be drawn (nothing is
    // presented then).
    bool RedrawMap(bool reuse);
    // Composes the client image as if centred on (x, y), from the back buffer
    // only (white where it holds nothing), and presents it.
    void PresentView(int x, int y);
    // The overlays over the presented client image.
    void DrawOverlays(QPainter& painter);
    // The client-sized composed image, without overlays.
    QImage ClientImage() const;
    // The client image with the overlays drawn on it: what the window shows.
    QImage RenderClientImage();
    // The back buffer (its size is the viewport's buffer size).
    const QImage& BackBuffer() const { return m_imgBuffer; }

    // The stylus at client points, which lie outside the client area during a
    // drag. Down starts a drag, or places an armed marker; a move shows the
    // dragged image without fetching a tile; up commits the drag or ends the
    // marking.
    void OnLButtonDown(int x, int y);
    void OnMouseMove(int x, int y);
    void OnLButtonUp(int x, int y);
    bool IsDragging() const { return m_bDragging; }
    // A direction key released (Qt::Key_Left ... Qt::Key_Down): the centre
    // steps by CViewport::KEY_STEP. False for any other key.
    bool OnKeyUp(int key);
    static bool IsDirectionKey(int key);
    // Zoom steps about the middle of the client area; nothing at the limits.
    void OnZoomIn();
    void OnZoomOut();
    // One wheel notch at client point (x, y): a zoom step in (in true) or out,
    // keeping the map under (x, y) there where the map's edges allow. Nothing
    // at the limits or during a drag; false when nothing changed.
    bool ZoomAt(int x, int y, bool in);

    // Mark me / Mark flag: arm the marker, or remove it when it is placed.
    void OnMarkMe();
    void OnMarkFlag();
    // Centre on the marker when it is present (clamped to the map), then
    // redraw reusing the back buffer; the zoom does not change.
    void OnGotoMe();
    void OnGotoFlag();
    // Puts a marker at a map position and redraws reusing the back buffer,
    // centred on it when centre is set (clamped to the map). During a drag
    // the marker moves and the next drag step shows it.
    void PlaceMarkerAt(int marker, CPoint mapPosition, bool centre);
    // Saves the map position at the middle of the screen as the map's Home;
    // a failed write is not reported and keeps the earlier Home.
    void OnSetHome();
    // Centres on the open map's Home at the zoom in force. False when the map
    // has no Home (or it holds a zero coordinate).
    bool GoToHome();
    // Switch the direction arrow or the distance read-out, then redraw
    // reusing the back buffer.
    void OnShowDirection();
    void OnShowDistance();

private:
    // ApplyZoom keeping the zoomed position at client offset about from the
    // middle in place.
    void ApplyZoomAround(int clientWidth, int clientHeight, double newZoom, CPoint about);
    // Shifts the back buffer's content from the previous origin to (x0, y0);
    // returns the area it still holds (empty when nothing is kept).
    CArea ShiftBuffer(int x0, int y0);
    // Draws the cells of the buffer window, skipping those inside kept; false
    // when a tile cannot be fetched or copied.
    bool DrawCells(const CArea& window, const CArea& kept);
    // The same from the tiles of an overview level, one to one.
    bool DrawLevelCells(int level, const CArea& window, const CArea& kept);
    bool FetchTile(const QImage*& tile);
    void GoToMarker(CPoint position);

    CViewport& m_viewport;
    COverlays& m_overlays;
    QImage m_imgBuffer;  // back buffer, display format
    QImage m_imgCompose; // the client image is composed here; scratch when shifting
    bool m_bMapOpen = false;
    QString m_strMapTitle;   // at most MAX_MAP_TEXT characters
    QString m_strMapFolder;  // device path; empty: no map
    QString m_strTilePrefix; // the title's first three characters, lower-cased; empty: no map
    MapCalibration m_calibration{};
    std::optional<CGeoReference> m_geo;
    TileCache m_tileCache;
    bool m_bDragging = false;
    CPoint m_ptDragStart;                  // client point where the drag began
    QString m_strTileName;                 // reused for every tile name of a redraw
    QString m_strLevelFolder[LEVEL_COUNT]; // device paths of the overview levels
    bool m_bLevelReady[LEVEL_COUNT] = {};  // the level holds its whole tile grid
    TileSource m_tileSource;
    Presenter m_presenter;
};
