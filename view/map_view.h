#pragma once

#include "view/map_canvas.h"
#include "view/overlays.h"
#include "view/position_follower.h"
#include "view/viewport.h"

#include <QImage>
#include <QWidget>

class QLineEdit;
class CStatusLine;

// The help page: the device root's \Veldra\HTML\help.htm, else the page
// installed with the program; empty when there is neither.
QString HelpPagePath();

// The program's one view: a widget that shows the open map. It owns the
// viewport, the overlays and the canvas that draws with them, turns Qt's
// resize, paint, mouse, wheel and key events into calls on them, shows the
// distance read-out control and, on a window larger than the handheld size,
// the status line (the latitude and longitude under the pointer and the scale
// bar), follows the position from a receiver, and runs the commands that need
// dialogs (opening a map, search, Favourite Places, Home, coordinates, GPX,
// Help, About). The canvas works in map
// pixels: on a screen with a device pixel ratio above 1 each map pixel covers
// a whole number of device pixels (see PixelMode), never a blurred fraction.
class CVeldraViewerView : public QWidget {
    Q_OBJECT
public:
    // How map pixels meet a high-density screen: Scaled draws each map pixel
    // as a block of n x n device pixels, n the device pixel ratio truncated
    // (at least 1), nearest-neighbour; Native draws map pixels 1:1 on device
    // pixels (more map, smaller). Both are the same on a ratio of 1.
    enum class PixelMode { Scaled, Native };
    // The mode of every view made from now on (Scaled unless changed).
    static void SetPixelMode(PixelMode mode);
    static PixelMode GetPixelMode();
    // The position source that Follow My Position opens (see
    // ParsePositionSource); the system's default unless set.
    static void SetPositionSource(const QString& text);
    static QString GetPositionSource();

    // Builds the view and runs OnCreate (check IsCreated()).
    explicit CVeldraViewerView(QWidget* parent = nullptr);
    ~CVeldraViewerView() override;

    // Window creation: drawing surfaces, marker images and the hidden
    // read-out, then the splash is queued to follow the current event. 0, or
    // -1 when a surface cannot be made.
    int OnCreate();
    // True when OnCreate succeeded at construction.
    bool IsCreated() const { return m_bCreated; }
    // Size change (cx, cy in map pixels): places the read-out and resizes the
    // canvas (a full redraw).
    void OnSize(int cx, int cy);
    // Device pixels per map pixel: 1, or the whole device pixel ratio when Scaled.
    int PixelScale() const;
    // The map-pixel point of a widget (logical) point.
    QPoint MapPixelAt(const QPointF& point) const;

    // Opening a map (view/open_map.cpp).
    void OpenMap(bool automatic);
    bool EnsureMapConverted(const QString& folder);

    const CViewport& Viewport() const { return m_viewport; }
    const COverlays& Overlays() const { return m_overlays; }
    CMapCanvas& Canvas() { return m_canvas; }
    // The distance read-out control.
    QLineEdit* Readout() const { return m_pReadout; }
    // The status line; hidden up to the handheld size.
    CStatusLine* StatusLine() const { return m_pStatusLine; }
    CPositionFollower& Follower() { return m_follower; }
    // Why the commands that need the map's place on Earth are off: empty
    // when the open map has a geo-reference.
    QString GeoUnavailableReason() const;

signals:
    // The marking button of a marker (COverlays::MARKER_ME or MARKER_FLAG)
    // is to show pressed or released.
    void MarkButtonChanged(int marker, bool pressed);
    // A map was shown or Follow My Position changed: the commands' states
    // are to be read again.
    void CommandsChanged();

public slots:
    // Start-up: the splash (view/shell_commands.cpp), then the first open.
    void OnShowSplash();
    void OnOpenMapAtStartup();
    // Commands of the frame's menu and toolbar that the view runs itself.
    void OnOpenMap();
    void OnExit();
    void OnHelp();
    void OnAbout();
    void OnGoToHome();
    // Goto me, which also makes the view follow "me" again.
    void OnGotoMe();
    // The map's place on Earth (view/geo_commands.cpp).
    void OnGoToCoordinates();
    void OnExportGpx();
    void OnImportGpx();
    void OnFollowPosition();
    // The gazetteer (view/search_commands.cpp).
    void OnSearch();
    // Favourite Places (view/favourite_commands.cpp).
    void OnAddFavourite();
    void OnShowFavourites();
    // The framework's Open and Save As commands: no effect.
    void OnFileOpen();
    void OnFileSaveAs();

protected:
    // --- Qt virtuals ---
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    // The client area in map pixels for the widget's size and pixel ratio.
    QSize MapClientSize() const;
    // Keeps the image the canvas presented, to paint it.
    void ShowComposedImage();
    // Shows the read-out control with text, or hides it.
    void ShowReadout(bool visible, const QString& text);
    // Brings the status line up to date with the pointer, the map and the zoom.
    void UpdateStatusLine();

    CViewport m_viewport;
    COverlays m_overlays;
    CMapCanvas m_canvas{m_viewport, m_overlays};
    QLineEdit* m_pReadout = nullptr; // the distance read-out
    CStatusLine* m_pStatusLine = nullptr;
    CPositionFollower m_follower{m_canvas};
    std::optional<CPoint> m_ptPointer; // client point under the mouse, map pixels
    QPoint m_ptPressed;                // client point where the left button went down
    QString m_strLastCoordinates;      // typed in Go to Coordinates last
    bool m_bCreated = false;
    QImage m_imgScreen;    // the client image last presented, painted by paintEvent
    PixelMode m_pixelMode; // the mode when the view was made
    QSize m_sizeSizedFor;  // the map-pixel size of the last OnSize
    int m_nWheelDelta = 0; // wheel turn not yet worth a notch, eighths of a degree
    // The search remembered between searches: its text and category index.
    QString m_strLastSearch;
    int m_nLastSearchCategory = 0;
};
