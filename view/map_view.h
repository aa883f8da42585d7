#pragma once

#include "view/map_view_core.h"

#include <QEvent>
#include <QImage>
#include <QWidget>

class QLineEdit;
class CMarkButtons;

// The help page: the device root's \Veldra\HTML\help.htm, else the page
// installed with the program; empty when there is neither.
QString HelpPagePath();

// Private messages posted to the view (both fall in Qt's user event range).
inline constexpr int WM_USER = 0x400;
inline constexpr QEvent::Type WM_OPENMAP = QEvent::Type(WM_USER + 1);    // 0x401: open a map
inline constexpr QEvent::Type WM_SHOWSPLASH = QEvent::Type(WM_USER + 4); // 0x404: show the splash

// Control id of the distance read-out.
inline constexpr int IDC_READOUT = 100;

// The program's one view: a widget that shows the open map. The drawing and
// navigation logic lives in CMapViewCore; this class turns Qt events into the
// core's handlers, shows the composed image in paintEvent and reaches the
// frame's toolbar through m_pMarkButtons. The core works in map pixels: on a
// screen with a device pixel ratio above 1 each map pixel covers a whole
// number of device pixels (see PixelMode), never a blurred fraction.
class CVeldraViewerView : public QWidget, public CMapViewCore {
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

    // Builds the view and runs OnCreate (check IsCreated()).
    explicit CVeldraViewerView(QWidget* parent = nullptr);
    ~CVeldraViewerView() override;

    // Window creation: drawing surfaces, marker images, the hidden read-out,
    // then posts WM_SHOWSPLASH to itself. 0, or -1 when a surface cannot be made.
    int OnCreate();
    // True when OnCreate succeeded at construction.
    bool IsCreated() const { return m_bCreated; }
    // Size change (cx, cy in map pixels): sizes the back buffer, places the
    // read-out, sets the initial centre and re-applies the zoom (full redraw).
    void OnSize(int cx, int cy);
    // Device pixels per map pixel: 1, or the whole device pixel ratio when Scaled.
    int PixelScale() const;
    // The map-pixel point of a widget (logical) point.
    QPoint MapPixelAt(const QPointF& point) const;
    // Redraws from the back buffer when a map is open (fetches no tile while the
    // buffer origin is unchanged).
    void OnDraw();

    // Opening a map (view/open_map.cpp).
    void OpenMap(bool automatic);
    void OnOpenMapAtStartup();
    bool EnsureMapConverted(const QString& folder);
    // Start-up splash (view/shell_commands.cpp).
    void OnShowSplash();

    // --- CMapViewCore hooks ---
    void ShowComposedImage() override;
    void CheckMarkMeButton(bool pressed) override;
    void CheckMarkFlagButton(bool pressed) override;
    void SetReadout(bool visible, const QString& text) override;

    QLineEdit* m_pReadout = nullptr; // distance read-out, control id IDC_READOUT
    // The frame's marking buttons, set by the frame once it holds the view;
    // null before that (the first reset runs while the view is being made).
    CMarkButtons* m_pMarkButtons = nullptr;

public slots:
    // Commands of the frame's menu and toolbar.
    void OnOpenMap();
    void OnExit();
    void OnHelp();
    void OnAbout();
    void OnZoomIn();
    void OnZoomOut();
    void OnGoToHome();
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
    void customEvent(QEvent* event) override;

private:
    bool m_bCreated = false;
    QImage m_imgScreen; // the client image last presented, painted by paintEvent
    // The client area in map pixels for the widget's size and pixel ratio.
    QSize MapClientSize() const;

    PixelMode m_pixelMode; // the mode when the view was made
    QSize m_szSizedFor;    // the map-pixel size of the last OnSize
    int m_nWheelDelta = 0; // wheel turn not yet worth a notch, eighths of a degree
};
