#include "view/map_view.h"

#include "ui/ui_seam.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

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

} // namespace

CVeldraViewerView::CVeldraViewerView(QWidget* parent) : QWidget(parent) {
    setMaximumSize(m_nBufferWidth, m_nBufferHeight);
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
    m_pReadout->setGeometry(120, 248, 240 - 120,
                            268 - 248); // client rectangle (120, 248)-(240, 268)
    m_pReadout->hide();

    QCoreApplication::postEvent(this, new QEvent(WM_SHOWSPLASH));
    return 0;
}

void CVeldraViewerView::OnSize(int cx, int cy) {
    SetInitialCentre();
    ApplyZoom(cx & 0xFFFF, cy & 0xFFFF, m_dZoom);
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
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), m_imgScreen);
    DrawOverlays(painter);
}

void CVeldraViewerView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    OnSize(event->size().width(), event->size().height());
}

void CVeldraViewerView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    // Qt keeps sending move and release events here until the button is
    // released, even outside the window.
    const QPoint p = event->position().toPoint();
    OnLButtonDown(p.x(), p.y());
}

void CVeldraViewerView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    OnMouseMove(p.x(), p.y());
    QWidget::mouseMoveEvent(event);
}

void CVeldraViewerView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const QPoint p = event->position().toPoint();
        OnLButtonUp(p.x(), p.y());
    }
    QWidget::mouseReleaseEvent(event);
}

void CVeldraViewerView::keyPressEvent(QKeyEvent* event) {
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

void CVeldraViewerView::customEvent(QEvent* event) {
    if (event->type() == WM_SHOWSPLASH)
        OnShowSplash();
    else if (event->type() == WM_OPENMAP)
        OnOpenMapAtStartup();
    else
        QWidget::customEvent(event);
}
