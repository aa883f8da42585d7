#pragma once

#include <optional>
#include <utility>

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

// A rectangle of zoomed positions, x0 <= x < x1 and y0 <= y < y1.
struct CArea {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    // The w x h block at (x, y) lies wholly inside.
    bool Contains(int x, int y, int w, int h) const {
        return x >= x0 && y >= y0 && x + w <= x1 && y + h <= y1;
    }
    friend bool operator==(const CArea&, const CArea&) = default;
};

// Where the map view looks: the zoom, the centre and the positions asked for,
// the tile grid and the map's size at the zoom, the client area and the back
// buffer's size and window. A plain value: it draws nothing and reads no
// file. Positions are zoomed positions (pixels of the whole map at the current
// zoom) unless a name says otherwise; client points are pixels of the client
// area; sizes are pixels.
class CViewport {
public:
    // Back buffer edge for a client edge of up to BUFFER_SIZE.
    static constexpr int BUFFER_SIZE = 500;
    // Pixels of map kept beyond each side of a client edge larger than
    // BUFFER_SIZE, so that a drag shows map before any tile is fetched.
    static constexpr int BUFFER_MARGIN = 250;
    // Largest client edge; a larger window shows this much.
    static constexpr int MAX_CLIENT_SIZE = 8192;
    // Zoomed pixels moved by one direction key.
    static constexpr int KEY_STEP = 100;
    // The zoom steps run from MIN_ZOOM to MAX_ZOOM, doubling.
    static constexpr double MIN_ZOOM = 0.25;
    static constexpr double MAX_ZOOM = 2.0;

    // Back buffer edge for a client edge: BUFFER_SIZE up to BUFFER_SIZE,
    // beyond that the client edge (at most MAX_CLIENT_SIZE) plus
    // BUFFER_MARGIN on both sides, rounded up to whole tiles.
    static int BufferEdgeFor(int clientEdge);
    // Overlap of a span of sizeA shifted by delta against a span of sizeB.
    static CSpan ClipSpan(int delta, int sizeA, int sizeB);

    // For a newly opened map: zoom 1.0; tile grid, map size, centre, requested,
    // pending, buffer and screen origins all 0. Client and buffer sizes stay.
    void Reset();
    // The tile grid of the open map: columns x rows tiles of tileEdge x
    // tileEdge at zoom 1.0. The map's zoomed size follows with the next ZoomTo.
    void SetTileGrid(int columns, int rows, int tileEdge);
    // The back buffer's size (BufferEdgeFor the client edges).
    void SetBufferSize(int width, int height);

    // Centres on the middle of the map when no centre and no pending
    // position are set.
    void SetInitialCentre();
    // A map position to centre on at the next ZoomTo; it counts only when
    // both coordinates are non-zero.
    void SetPending(CPoint mapPosition);
    // Applies a pending position, takes the client size (held to the back
    // buffer), scales the centre to newZoom so that the zoomed position at
    // client offset about from the middle stays there, recomputes the map's
    // size and clamps the centre. Returns the ratio new / old zoom, by which
    // whatever else follows the map (the markers) is scaled; none, and
    // nothing changed, when either zoom is not above 0. The geometric half of
    // the map view's ApplyZoom.
    std::optional<double> ZoomTo(int clientWidth, int clientHeight, double newZoom,
                                 CPoint about = {});
    // Records (x, y) as the requested centre and clamps it into the centre:
    // lower bounds (half the client size) first, then upper bounds (the map
    // size less half the client size), so a map smaller than a handheld-sized
    // client area (up to BUFFER_SIZE each way) gets a centre below half the
    // client size and sits against its right or bottom edge. A larger client
    // area centres such a map: the centre is the middle of the map on each
    // axis where the map is smaller.
    void SetCentre(int x, int y);
    // Whether one zoom step in (true) or out is allowed.
    bool CanZoom(bool in) const;
    // The next zoom step in or out.
    double ZoomStep(bool in) const { return m_dZoom * (in ? 2.0 : 0.5); }

    // The centre of the image dragged from client point start to (x, y),
    // clamped like SetCentre (without recording a request).
    CPoint DraggedCentre(CPoint start, int x, int y) const;
    // The zoomed position under a client point; none outside the client area
    // or off the map.
    std::optional<CPoint> PositionAt(int x, int y) const;
    // The map position at the middle of the client area: the centre divided
    // by the zoom, truncated.
    CPoint MapPositionAtMiddle() const;
    // The zoomed position at the middle of the client area as last presented.
    CPoint PresentedMiddle() const;

    // The back buffer's window around the centre: the buffer's size, held
    // inside the map, never starting below 0.
    CArea BufferWindow() const;
    void SetBufferOrigin(CPoint origin) { m_ptBufferOrigin = origin; }
    // Presents the back buffer as if centred on (x, y): records the screen
    // origin and returns the spans to copy, along x and along y, which never
    // reach beyond the map.
    std::pair<CSpan, CSpan> PresentAt(int x, int y);

    double Zoom() const { return m_dZoom; }
    CPoint Centre() const { return m_ptCentre; }
    CPoint Requested() const { return m_ptRequested; }
    CPoint BufferOrigin() const { return m_ptBufferOrigin; }
    CPoint ScreenOrigin() const { return m_ptScreenOrigin; }
    int ClientWidth() const { return m_nClientWidth; }
    int ClientHeight() const { return m_nClientHeight; }
    int BufferWidth() const { return m_nBufferWidth; }
    int BufferHeight() const { return m_nBufferHeight; }
    int MapWidth() const { return m_nMapWidth; }
    int MapHeight() const { return m_nMapHeight; }
    int TileColumns() const { return m_nTileColumns; }
    int TileRows() const { return m_nTileRows; }
    int ZoomedTileWidth() const { return m_nZoomedTileWidth; }
    int ZoomedTileHeight() const { return m_nZoomedTileHeight; }

private:
    // A centre held as SetCentre holds it.
    CPoint Clamped(CPoint p) const;

    int m_nTileWidth = 0; // tile size at zoom 1.0
    int m_nTileHeight = 0;
    int m_nZoomedTileWidth = 0; // tile size at the current zoom
    int m_nZoomedTileHeight = 0;
    int m_nMapWidth = 0; // whole map at the current zoom
    int m_nMapHeight = 0;
    CPoint m_ptCentre;       // at the middle of the client area; always clamped
    CPoint m_ptRequested;    // centre last asked for, before clamping
    CPoint m_ptPending;      // map position for the next ZoomTo; set only when both non-zero
    CPoint m_ptBufferOrigin; // the back buffer's top-left pixel
    CPoint m_ptScreenOrigin; // the client area's top-left pixel, as last presented
    int m_nClientWidth = 0;
    int m_nClientHeight = 0;
    int m_nBufferWidth = BUFFER_SIZE;
    int m_nBufferHeight = BUFFER_SIZE;
    int m_nTileColumns = 0;
    int m_nTileRows = 0;
    double m_dZoom = 1.0; // 0.25, 0.5, 1.0 or 2.0
};
