#pragma once

#include "store/map_calibration.h"
#include "store/tile_cache.h"

#include <QImage>
#include <QString>
#include <array>

class QPainter;

// A point of two ints: a map position, a zoomed position or a client point,
// depending on where it is used.
struct CPoint {
    int x = 0;
    int y = 0;
    friend bool operator==(const CPoint&, const CPoint&) = default;
};

// One span of a clipped copy: where it lands, where it is read from, and how
// many pixels (0 or less: nothing to copy).
struct CSpan {
    int nDest = 0;
    int nSource = 0;
    int nLength = 0;
    friend bool operator==(const CSpan&, const CSpan&) = default;
};

// Virtual-key codes of the four direction keys.
inline constexpr int VK_LEFT = 0x25;
inline constexpr int VK_UP = 0x26;
inline constexpr int VK_RIGHT = 0x27;
inline constexpr int VK_DOWN = 0x28;

// The map view without a window: viewport state, the back buffer (500 x 500,
// larger only for a client area beyond that) filled from tiles, composition of the client image,
// overlays and the navigation handlers. Positions are zoomed positions (pixels of the whole map at
// the current zoom) unless a name says otherwise; client points are pixels of the view's client
// area. Whatever needs a window (presenting the composed image, the frame's toolbar buttons) goes
// through virtual hooks, so the core runs and is tested without widgets.
class CMapViewCore {
public:
    // Marker image indices in m_hMarkerImages, and the markers' edge in pixels.
    static constexpr int MARKER_ME = 0;
    static constexpr int MARKER_FLAG = 1;
    static constexpr int MARKER_SIZE = 12;
    // Back buffer edge in pixels for a client edge of up to BUFFER_SIZE.
    static constexpr int BUFFER_SIZE = 500;
    // Pixels of map kept beyond each side of a client edge larger than
    // BUFFER_SIZE, so that a drag shows map before any tile is fetched.
    static constexpr int BUFFER_MARGIN = 250;
    // Largest client edge in pixels; a larger window shows this much.
    static constexpr int MAX_CLIENT_SIZE = 8192;
    // Zoomed pixels moved by one direction key release.
    static constexpr int KEY_STEP = 100;
    // Longest map title or folder the view keeps, in characters.
    static constexpr int MAX_MAP_TEXT = 99;

    CMapViewCore();
    virtual ~CMapViewCore();
    CMapViewCore(const CMapViewCore&) = delete;
    CMapViewCore& operator=(const CMapViewCore&) = delete;

    // Makes the back buffer, the composition image and the two marker images.
    // False when an image cannot be allocated.
    bool CreateDrawingSurfaces();
    // Back buffer edge for a client edge (pixels): BUFFER_SIZE up to
    // BUFFER_SIZE, beyond that the client edge plus BUFFER_MARGIN on both
    // sides, rounded up to whole tiles (multiples of BUFFER_SIZE).
    static int BufferEdgeFor(int clientEdge);
    // Sizes the back buffer for a client area by BufferEdgeFor, remaking the
    // two images (blank) when the size changes; the caller redraws fully.
    // False when the images cannot be made: the previous ones stay.
    bool ResizeBackBuffer(int clientWidth, int clientHeight);
    // The 12 x 12 marker image MARKER_ME or MARKER_FLAG, built from its pixel pattern.
    static QImage MakeMarkerImage(int index);

    // Clears the viewport, the markers and the switches for a newly opened map,
    // releases both marking buttons and measures the tile grid. Returns true.
    bool ResetViewState();
    // Counts the converted tiles of the map folder to set the tile grid.
    void MeasureTileGrid();
    // True when the converted (or else the encrypted) file of a tile exists.
    bool TileFileExists(int row, int column) const;
    // Centres on the middle of the map when no centre and no pending position are set.
    void SetInitialCentre();
    // Applies a pending map position, rescales the centre and the markers to
    // newZoom, recomputes the geometry, clamps the centre and redraws fully.
    void ApplyZoom(int clientWidth, int clientHeight, double newZoom);
    // Records (x, y) as the requested centre and clamps it into m_ptCentre.
    void SetCentre(int x, int y);
    // Overlap of a span of sizeA shifted by delta against a span of sizeB.
    static CSpan ClipSpan(int delta, int sizeA, int sizeB);
    // Brings the back buffer up to date around m_ptCentre and presents it.
    // reuse keeps what the previous buffer holds and fetches only the rest.
    // False when a tile could not be drawn (nothing is presented then) or no
    // map is set.
    bool RedrawMap(bool reuse);
    // Composes the client image as if centred on (x, y), from the back buffer
    // only, into m_hbmCompose and presents it.
    void PresentView(int x, int y);
    // Draws the markers, the target cross and the direction arrow over the
    // presented client image, and shows or hides the distance read-out.
    void DrawOverlays(QPainter& painter);
    // The client-sized composed image with the overlays drawn on it (what the
    // window shows after the last present).
    QImage RenderClientImage();

    // Navigation. Points are client points; during a drag they may lie
    // outside the client area.
    void OnLButtonDown(int x, int y);
    void OnMouseMove(int x, int y);
    void OnLButtonUp(int x, int y);
    // Steps the map by KEY_STEP for a direction key; false for any other key.
    bool OnKeyUp(int key);
    void OnZoomIn();
    void OnZoomOut();
    // One wheel notch at client point (x, y): zooms in (in true) or out by one
    // step, keeping the map under (x, y) there where the map's edges allow.
    // Nothing at the limits or during a drag; false when nothing changed.
    bool ZoomAt(int x, int y, bool in);

    // Markers and Home (view/markers.cpp). Mark me / Mark flag arm a marker
    // (pressing its button) or, when it is placed, remove it (releasing the
    // button); the next tap on the map places an armed marker.
    void OnMarkMe();
    void OnMarkFlag();
    // Centres on the marker when it is present (clamped to the map), then
    // redraws reusing the back buffer; the zoom does not change.
    void OnGotoMe();
    void OnGotoFlag();
    // Saves the map position at the middle of the screen as the map's Home.
    void OnSetHome();
    // Centres on the open map's Home place at the current zoom. False when the
    // map has no Home (or it holds a zero coordinate).
    bool GoToHome();

    // Read-outs (view/readouts.cpp). Each command inverts its switch and
    // redraws reusing the back buffer.
    void OnShowDirection();
    void OnShowDistance();
    // Sets the read-out's text for the flag f seen from c (zoomed positions).
    void UpdateDistanceReadout(const CPoint& c, const CPoint& f);

    // --- Hooks for what needs the window or the frame ---
    // Fetches one converted tile by name (no folder, no extension). The image
    // belongs to the tile cache and is valid until the next fetch.
    virtual bool FetchTile(const QString& tileName, const QImage*& bitmap);
    // Shows m_hbmCompose's client-sized block on the window, with the overlays.
    virtual void ShowComposedImage() {}
    // Press (true) or release the "Mark me" / "Mark flag" toolbar button.
    virtual void CheckMarkMeButton(bool /*pressed*/) {}
    virtual void CheckMarkFlagButton(bool /*pressed*/) {}
    // Shows the distance read-out with text, or hides it (text unused then).
    // Records both in m_bReadoutVisible and m_strReadout.
    virtual void SetReadout(bool visible, const QString& text);

    // --- State ---
    std::array<QImage, 2> m_hMarkerImages; // MARKER_ME, MARKER_FLAG; 12 x 12, opaque
    int m_nTileWidth = 0;                  // tile size at zoom 1.0 (pixels)
    int m_nTileHeight = 0;
    int m_nZoomedTileWidth = 0; // tile size at the current zoom
    int m_nZoomedTileHeight = 0;
    int m_nMapWidth = 0; // whole map at the current zoom
    int m_nMapHeight = 0;
    CPoint m_ptCentre;       // zoomed position at the middle of the client area (clamped)
    CPoint m_ptRequested;    // centre last asked for, before clamping
    CPoint m_ptPending;      // map position for the next ApplyZoom; set only when both non-zero
    CPoint m_ptBufferOrigin; // zoomed position of the back buffer's top-left pixel
    CPoint m_ptScreenOrigin; // zoomed position of the client area's top-left pixel
    int m_nClientWidth = 0;  // client size, pixels
    int m_nClientHeight = 0;
    int m_nBufferWidth = BUFFER_SIZE; // back buffer size, pixels (ResizeBackBuffer)
    int m_nBufferHeight = BUFFER_SIZE;
    int m_nTileColumns = 0; // tile grid of the open map
    int m_nTileRows = 0;
    QImage m_hbmBuffer;  // back buffer, display format
    QImage m_hbmCompose; // the client image is composed here; scratch when shifting
    bool m_bMarkMeArmed = false;
    bool m_bMarkFlagArmed = false;
    bool m_bShowDirection = false;
    bool m_bShowDistance = false;
    bool m_bShowTargetCross = false;
    bool m_bMapOpen = false;
    bool m_bMePlaced = false;
    bool m_bFlagPlaced = false;
    static constexpr CPoint kNoMarker{-20, -20}; // outside the map: no marker
    CPoint m_ptMe = kNoMarker;                   // zoomed; present only when both coordinates > 0
    CPoint m_ptFlag = kNoMarker;
    double m_dZoom = 1.0;   // 0.25, 0.5, 1.0 or 2.0
    QString m_szMapTitle;   // at most MAX_MAP_TEXT characters
    QString m_szMapFolder;  // device path, at most MAX_MAP_TEXT characters; empty: no map
    QString m_szTilePrefix; // the title's first three characters, lower-cased; empty: no map
    TileCache m_tileCache;
    QString m_strLastSearch;
    int m_nLastSearchCategory = 0;
    MapCalibration m_calibration{};
    bool m_bDragging = false;
    CPoint m_ptDragStart;           // client point where the drag began
    bool m_bReadoutVisible = false; // the distance read-out is shown
    QString m_strReadout;           // its text, kept while it is hidden

private:
    // A rectangle of zoomed positions, x0 <= x < x1 and y0 <= y < y1.
    struct CArea {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        bool Contains(int x, int y, int w, int h) const {
            return x >= x0 && y >= y0 && x + w <= x1 && y + h <= y1;
        }
    };

    // ApplyZoom keeping the zoomed position at client offset (dx, dy) from
    // the middle of the client area in place (0, 0: the middle).
    void ApplyZoomAround(int clientWidth, int clientHeight, double newZoom, int dx, int dy);
    // The drag image's centre for the stylus at client point (x, y), clamped.
    CPoint DraggedCentre(int x, int y) const;
    // Shifts the back buffer's content from the previous origin to (x0, y0);
    // returns the area it still holds (empty when nothing is kept).
    CArea ShiftBuffer(int x0, int y0);
    // Draws the cells of the buffer window (x0, y0)-(x1, y1), skipping those
    // inside kept; false when a tile cannot be fetched or copied.
    bool DrawCells(int x0, int y0, int x1, int y1, const CArea& kept);
    // Mark me (me true) or Mark flag: arms the marker or removes it.
    void ToggleMarker(bool me);
    // Goto me / Goto flag.
    void GoToMarker(const CPoint& point);
    // The arrow and the read-out, the last step of DrawOverlays.
    void DrawReadouts(QPainter& painter);
    // Sets m_strTileName to the name of the tile in row and column (from 1).
    void FormatTileName(int row, int column);

    QString m_strTileName; // reused for every tile name of a redraw
};
