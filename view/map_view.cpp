#include "view/map_view.h"

#include "ui/ui_seam.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QWheelEvent>
#include <cmath>

namespace {

// The virtual-key code of a Qt direction key, or 0.
int VirtualKey(int qtKey) {
    switch (qtKey) {
    case Qt::Key_Left:
        return VK_LEFT;
    case Qt::Key_Up:
        return VK_UP;
    case Qt::Key_Right:
        return VK_RIGHT;
    case Qt::Key_Down:
        return VK_DOWN;
    default:
        return 0;
    }
}

// The read-out's rectangle in the default 240 x 268 client area.
const QRect kReadoutRect(120, 248, 120, 20);
// Eighths of a degree in one wheel notch.
constexpr int kWheelNotch = 120;

CVeldraViewerView::PixelMode g_pixelMode = CVeldraViewerView::PixelMode::Scaled;

} // namespace

void CVeldraViewerView::SetPixelMode(PixelMode mode) {
    g_pixelMode = mode;
}

CVeldraViewerView::PixelMode CVeldraViewerView::GetPixelMode() {
    return g_pixelMode;
}

CVeldraViewerView::CVeldraViewerView(QWidget* parent) : QWidget(parent), m_pixelMode(g_pixelMode) {
    setFocusPolicy(Qt::StrongFocus);
    m_bCreated = OnCreate() == 0;
}

CVeldraViewerView::~CVeldraViewerView() = default;

int CVeldraViewerView::OnCreate() {
    if (!CreateDrawingSurfaces())
        return -1;

    // The distance read-out: read-only, centred, bordered, hidden until the
    // overlay pass shows it.
    m_pReadout = new QLineEdit(this);
    m_pReadout->setObjectName(QStringLiteral("readout"));
    m_pReadout->setProperty("controlId", IDC_READOUT);
    m_pReadout->setReadOnly(true);
    m_pReadout->setAlignment(Qt::AlignCenter);
    m_pReadout->setFrame(true);
    m_pReadout->setFocusPolicy(Qt::NoFocus);
    m_pReadout->setGeometry(kReadoutRect); // client rectangle (120, 248)-(240, 268)
    m_pReadout->hide();

    QCoreApplication::postEvent(this, new QEvent(WM_SHOWSPLASH));
    return 0;
}

int CVeldraViewerView::PixelScale() const {
    if (m_pixelMode == PixelMode::Native)
        return 1;
    return std::max(1, int(devicePixelRatioF()));
}

QPoint CVeldraViewerView::MapPixelAt(const QPointF& point) const {
    const double perMapPixel = PixelScale() / devicePixelRatioF(); // logical pixels
    return {int(std::floor(point.x() / perMapPixel)), int(std::floor(point.y() / perMapPixel))};
}

void CVeldraViewerView::OnSize(int cx, int cy) {
    m_szSizedFor = QSize(cx & 0xFFFF, cy & 0xFFFF);
    // A larger window shows MAX_CLIENT_SIZE map pixels and white beyond.
    cx = std::min(cx & 0xFFFF, MAX_CLIENT_SIZE);
    cy = std::min(cy & 0xFFFF, MAX_CLIENT_SIZE);
    // A failed resize keeps the old buffer; ApplyZoom then holds the client
    // area to it.
    ResizeBackBuffer(cx, cy);
    // The read-out keeps its place in a client area of up to 500 x 500;
    // beyond that it keeps its distance from the bottom-right corner, where
    // it sits in the default window.
    QRect readout = kReadoutRect;
    if (cx > BUFFER_SIZE || cy > BUFFER_SIZE)
        readout.moveTo(cx - kReadoutRect.width(), cy - kReadoutRect.height());
    const double perMapPixel = PixelScale() / devicePixelRatioF();
    if (perMapPixel != 1.0)
        readout =
            QRectF(QPointF(readout.topLeft()) * perMapPixel, QSizeF(readout.size()) * perMapPixel)
                .toRect();
    if (m_pReadout != nullptr)
        m_pReadout->setGeometry(readout);
    SetInitialCentre();
    ApplyZoom(cx, cy, m_dZoom);
}

void CVeldraViewerView::OnDraw() {
    if (m_bMapOpen)
        RedrawMap(true);
}

void CVeldraViewerView::ShowComposedImage() {
    // The composition image is also the scratch space of the next reuse
    // redraw, so the window keeps its own copy of what was presented: a
    // redraw that stops at a missing tile leaves the screen as it was, even
    // when the window is repainted later.
    m_imgScreen = m_hbmCompose.copy(0, 0, m_nClientWidth, m_nClientHeight);
    update();
}

void CVeldraViewerView::CheckMarkMeButton(bool pressed) {
    if (m_pMarkButtons != nullptr)
        m_pMarkButtons->CheckMarkMeButton(pressed);
}

void CVeldraViewerView::CheckMarkFlagButton(bool pressed) {
    if (m_pMarkButtons != nullptr)
        m_pMarkButtons->CheckMarkFlagButton(pressed);
}

void CVeldraViewerView::SetReadout(bool visible, const QString& text) {
    CMapViewCore::SetReadout(visible, text);
    // Called from the overlay pass of every paint: touch the control only on
    // a change, so that it never asks for another paint by itself.
    if (m_pReadout == nullptr)
        return;
    if (visible && m_pReadout->text() != text)
        m_pReadout->setText(text);
    if (m_pReadout->isHidden() == visible)
        m_pReadout->setVisible(visible);
}

void CVeldraViewerView::OnExit() {
    CloseApplication();
}

void CVeldraViewerView::OnZoomIn() {
    CMapViewCore::OnZoomIn();
}

void CVeldraViewerView::OnZoomOut() {
    CMapViewCore::OnZoomOut();
}

void CVeldraViewerView::OnGoToHome() {
    if (!GoToHome())
        VeldraMessageBox(this, QStringLiteral("No Home defined."), QMessageBox::Ok,
                         QMessageBox::Warning);
}

void CVeldraViewerView::OnFileOpen() {}

void CVeldraViewerView::OnFileSaveAs() {}

// --- Qt virtuals ---

void CVeldraViewerView::paintEvent(QPaintEvent* /*event*/) {
    // Nothing is painted while no map is open.
    if (!m_bMapOpen || m_imgScreen.isNull())
        return;
    // Moved to a screen of another pixel ratio: size the map area anew.
    if (const QSize size = MapClientSize(); size != m_szSizedFor)
        OnSize(size.width(), size.height());
    QPainter painter(this);
    if (m_szSizedFor.width() > m_nClientWidth || m_szSizedFor.height() > m_nClientHeight)
        painter.fillRect(rect(), Qt::white);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    // Map pixels to logical pixels: a whole number of device pixels each.
    const double perMapPixel = PixelScale() / devicePixelRatioF();
    if (perMapPixel != 1.0)
        painter.scale(perMapPixel, perMapPixel);
    painter.drawImage(QPoint(0, 0), m_imgScreen);
    DrawOverlays(painter);
}

void CVeldraViewerView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const QSize size = MapClientSize();
    OnSize(size.width(), size.height());
}

QSize CVeldraViewerView::MapClientSize() const {
    // The device pixels the widget covers, divided by those of one map pixel.
    const double ratio = devicePixelRatioF();
    const int scale = PixelScale();
    return QSize(int(std::lround(width() * ratio)) / scale,
                 int(std::lround(height() * ratio)) / scale);
}

void CVeldraViewerView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    // Qt keeps sending move and release events here until the button is
    // released, even outside the window.
    const QPoint p = MapPixelAt(event->position());
    OnLButtonDown(p.x(), p.y());
}

void CVeldraViewerView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = MapPixelAt(event->position());
    OnMouseMove(p.x(), p.y());
    QWidget::mouseMoveEvent(event);
}

void CVeldraViewerView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const QPoint p = MapPixelAt(event->position());
        OnLButtonUp(p.x(), p.y());
    }
    QWidget::mouseReleaseEvent(event);
}

void CVeldraViewerView::keyPressEvent(QKeyEvent* event) {
    // "+" and "-" zoom as the toolbar buttons do, once per press.
    const int key = event->key();
    if (key == Qt::Key_Plus || key == Qt::Key_Equal || key == Qt::Key_Minus) {
        event->accept();
        if (!event->isAutoRepeat()) {
            if (key == Qt::Key_Minus)
                OnZoomOut();
            else
                OnZoomIn();
        }
        return;
    }
    // The direction keys act on release only; pressing (and auto-repeat) does nothing.
    if (VirtualKey(event->key()) != 0) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void CVeldraViewerView::keyReleaseEvent(QKeyEvent* event) {
    const int key = VirtualKey(event->key());
    if (key != 0) {
        event->accept();
        if (!event->isAutoRepeat())
            OnKeyUp(key);
        return;
    }
    QWidget::keyReleaseEvent(event);
}

void CVeldraViewerView::wheelEvent(QWheelEvent* event) {
    event->accept();
    if (!m_bMapOpen)
        return;
    // One zoom step per notch; finer wheels add up to a notch first.
    m_nWheelDelta += event->angleDelta().y();
    const QPoint p = MapPixelAt(event->position());
    while (m_nWheelDelta >= kWheelNotch || m_nWheelDelta <= -kWheelNotch) {
        const bool in = m_nWheelDelta > 0;
        m_nWheelDelta += in ? -kWheelNotch : kWheelNotch;
        ZoomAt(p.x(), p.y(), in);
    }
}

void CVeldraViewerView::customEvent(QEvent* event) {
    if (event->type() == WM_SHOWSPLASH)
        OnShowSplash();
    else if (event->type() == WM_OPENMAP)
        OnOpenMapAtStartup();
    else
        QWidget::customEvent(event);
}
