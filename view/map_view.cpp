#include "view/map_view.h"

#include "ui/ui_seam.h"
#include "view/geo_readouts.h"
#include "view/status_line.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QWheelEvent>
#include <cmath>

namespace {

// The read-out's rectangle in the default 240 x 268 client area.
const QRect kReadoutRect(120, 248, 120, 20);
// Eighths of a degree in one wheel notch.
constexpr int kWheelNotch = 120;

CVeldraViewerView::PixelMode g_pixelMode = CVeldraViewerView::PixelMode::Scaled;
QString g_strPositionSource; // empty: the system's default

// The distance read-out's metres for one map pixel at zoom 1.0 with the
// calibration scale S (see view/readouts.cpp).
constexpr double kReadoutMetresPerScaleUnit = 0.0001 * 1.094;

} // namespace

void CVeldraViewerView::SetPixelMode(PixelMode mode) {
    g_pixelMode = mode;
}

CVeldraViewerView::PixelMode CVeldraViewerView::GetPixelMode() {
    return g_pixelMode;
}

void CVeldraViewerView::SetPositionSource(const QString& text) {
    g_strPositionSource = text;
}

QString CVeldraViewerView::GetPositionSource() {
    return g_strPositionSource;
}

CVeldraViewerView::CVeldraViewerView(QWidget* parent) : QWidget(parent), m_pixelMode(g_pixelMode) {
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true); // the status line follows the pointer
    m_canvas.SetPresenter([this] { ShowComposedImage(); });
    m_overlays.SetReadoutHandler(
        [this](bool visible, const QString& text) { ShowReadout(visible, text); });
    m_overlays.SetMarkButtonHandler(
        [this](int marker, bool pressed) { emit MarkButtonChanged(marker, pressed); });
    connect(&m_follower, &CPositionFollower::StateChanged, this, [this] {
        UpdateStatusLine();
        update(); // the state shows on the map at the handheld size
        emit CommandsChanged();
    });
    connect(&m_follower, &CPositionFollower::Failed, this, [this](const QString& message) {
        VeldraMessageBox(this, message, QMessageBox::Ok, QMessageBox::Warning);
    });
    m_bCreated = OnCreate() == 0;
}

CVeldraViewerView::~CVeldraViewerView() = default;

int CVeldraViewerView::OnCreate() {
    if (!m_canvas.CreateDrawingSurfaces())
        return -1;

    // The distance read-out: read-only, centred, bordered, hidden until the
    // overlay pass shows it.
    m_pReadout = new QLineEdit(this);
    m_pReadout->setObjectName(QStringLiteral("readout"));
    m_pReadout->setReadOnly(true);
    m_pReadout->setAlignment(Qt::AlignCenter);
    m_pReadout->setFrame(true);
    m_pReadout->setFocusPolicy(Qt::NoFocus);
    m_pReadout->setGeometry(kReadoutRect); // client rectangle (120, 248)-(240, 268)
    m_pReadout->hide();

    // The status line shows on windows larger than the handheld size only.
    m_pStatusLine = new CStatusLine(this);
    m_pStatusLine->hide();

    // The splash follows once the frame around the view is shown.
    QMetaObject::invokeMethod(this, &CVeldraViewerView::OnShowSplash, Qt::QueuedConnection);
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
    m_sizeSizedFor = QSize(cx & 0xFFFF, cy & 0xFFFF);
    // A larger window shows MAX_CLIENT_SIZE map pixels and white beyond.
    cx = std::min(cx & 0xFFFF, CViewport::MAX_CLIENT_SIZE);
    cy = std::min(cy & 0xFFFF, CViewport::MAX_CLIENT_SIZE);
    // The read-out keeps its place in a client area of up to 500 x 500;
    // beyond that it keeps its distance from the bottom-right corner, where
    // it sits in the default window.
    QRect readout = kReadoutRect;
    const bool large = cx > CViewport::BUFFER_SIZE || cy > CViewport::BUFFER_SIZE;
    if (large)
        readout.moveTo(cx - kReadoutRect.width(), cy - kReadoutRect.height());
    const double perMapPixel = PixelScale() / devicePixelRatioF();
    // Beyond the handheld size the status line runs along the bottom, and
    // the read-out stands on it.
    if (m_pStatusLine != nullptr) {
        m_pStatusLine->setVisible(large);
        m_pStatusLine->setGeometry(0, height() - CStatusLine::HEIGHT, width(), CStatusLine::HEIGHT);
        if (large)
            readout.translate(0, -int(std::ceil(CStatusLine::HEIGHT / perMapPixel)));
    }
    if (perMapPixel != 1.0)
        readout =
            QRectF(QPointF(readout.topLeft()) * perMapPixel, QSizeF(readout.size()) * perMapPixel)
                .toRect();
    if (m_pReadout != nullptr)
        m_pReadout->setGeometry(readout);
    m_canvas.Resize(cx, cy);
}

void CVeldraViewerView::ShowComposedImage() {
    // The composition image is also the scratch space of the next reuse
    // redraw, so the window keeps its own copy of what was presented: a
    // redraw that stops at a missing tile leaves the screen as it was, even
    // when the window is repainted later.
    m_imgScreen = m_canvas.ClientImage();
    update();
    UpdateStatusLine();
}

void CVeldraViewerView::UpdateStatusLine() {
    if (m_pStatusLine == nullptr || m_pStatusLine->isHidden())
        return;
    const std::optional<CGeoReference>& geo = m_canvas.GeoReference();
    QString text;
    double metresPerPixel = 0; // at zoom 1.0
    if (!m_canvas.IsMapOpen()) {
        // nothing to say
    } else if (geo) {
        const GeoPoint at = GeoAtClientPoint(*geo, m_viewport, m_ptPointer);
        text = FormatGeoPoint(at);
        metresPerPixel = geo->MetresPerPixelAt(GeoAtClientPoint(*geo, m_viewport, {}).lat);
    } else {
        text = QStringLiteral("No geo-reference: this map does not say where on Earth it lies");
        metresPerPixel = m_canvas.Calibration().nScale * kReadoutMetresPerScaleUnit;
    }
    if (const QString state = m_follower.StateText(); !state.isEmpty())
        text += QStringLiteral("   ") + state;
    m_pStatusLine->SetText(text);
    // Metres a logical pixel of the window spans at the zoom in use.
    const double perMapPixel = PixelScale() / devicePixelRatioF();
    m_pStatusLine->SetScaleBar(
        ScaleBarFor(metresPerPixel / m_viewport.Zoom() / perMapPixel, CStatusLine::MAX_BAR));
}

QString CVeldraViewerView::GeoUnavailableReason() const {
    if (m_canvas.GeoReference())
        return QString();
    return QStringLiteral("Not available: this map does not say where on Earth it lies (it has "
                          "no geo-reference)");
}

void CVeldraViewerView::ShowReadout(bool visible, const QString& text) {
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

void CVeldraViewerView::OnGoToHome() {
    if (!m_canvas.GoToHome())
        VeldraMessageBox(this, QStringLiteral("No Home defined."), QMessageBox::Ok,
                         QMessageBox::Warning);
}

void CVeldraViewerView::OnGotoMe() {
    m_canvas.OnGotoMe();
    m_follower.SetViewFollows(true);
}

void CVeldraViewerView::OnFileOpen() {}

void CVeldraViewerView::OnFileSaveAs() {}

// --- Qt virtuals ---

void CVeldraViewerView::paintEvent(QPaintEvent* /*event*/) {
    // Nothing is painted while no map is open.
    if (!m_canvas.IsMapOpen() || m_imgScreen.isNull())
        return;
    // Moved to a screen of another pixel ratio: size the map area anew.
    if (const QSize size = MapClientSize(); size != m_sizeSizedFor)
        OnSize(size.width(), size.height());
    QPainter painter(this);
    if (m_sizeSizedFor.width() > m_viewport.ClientWidth() ||
        m_sizeSizedFor.height() > m_viewport.ClientHeight())
        painter.fillRect(rect(), Qt::white);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    // Map pixels to logical pixels: a whole number of device pixels each.
    const double perMapPixel = PixelScale() / devicePixelRatioF();
    if (perMapPixel != 1.0)
        painter.scale(perMapPixel, perMapPixel);
    painter.drawImage(QPoint(0, 0), m_imgScreen);
    m_canvas.DrawOverlays(painter);
    // At the handheld size, where there is no status line, a position that
    // is missing or off the map shows in the top-left corner.
    if (const QString state = m_follower.StateText();
        !state.isEmpty() && m_pStatusLine != nullptr && m_pStatusLine->isHidden()) {
        painter.resetTransform();
        const QRect box = painter.fontMetrics().boundingRect(state).adjusted(-4, -2, 4, 2);
        painter.fillRect(box.translated(4 - box.left(), 4 - box.top()), QColor(255, 255, 224));
        painter.setPen(Qt::black);
        painter.drawText(box.translated(4 - box.left(), 4 - box.top()), Qt::AlignCenter, state);
    }
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
    m_ptPressed = p;
    m_canvas.OnLButtonDown(p.x(), p.y());
}

void CVeldraViewerView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = MapPixelAt(event->position());
    m_ptPointer = CPoint{p.x(), p.y()};
    if (m_canvas.IsDragging())
        m_canvas.OnMouseMove(p.x(), p.y()); // presents, which updates the status line
    else
        UpdateStatusLine();
    QWidget::mouseMoveEvent(event);
}

void CVeldraViewerView::leaveEvent(QEvent* event) {
    // Without a pointer the status line tells the middle.
    m_ptPointer.reset();
    UpdateStatusLine();
    QWidget::leaveEvent(event);
}

void CVeldraViewerView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const QPoint p = MapPixelAt(event->position());
        // A drag, not a tap, means the user looks elsewhere: the view stops
        // following "me".
        if (m_canvas.IsDragging() && p != m_ptPressed)
            m_follower.SetViewFollows(false);
        m_canvas.OnLButtonUp(p.x(), p.y());
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
                m_canvas.OnZoomOut();
            else
                m_canvas.OnZoomIn();
        }
        return;
    }
    // The direction keys act on release only; pressing (and auto-repeat) does nothing.
    if (CMapCanvas::IsDirectionKey(key)) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void CVeldraViewerView::keyReleaseEvent(QKeyEvent* event) {
    if (CMapCanvas::IsDirectionKey(event->key())) {
        event->accept();
        if (!event->isAutoRepeat()) {
            m_follower.SetViewFollows(false); // like a drag
            m_canvas.OnKeyUp(event->key());
        }
        return;
    }
    QWidget::keyReleaseEvent(event);
}

void CVeldraViewerView::wheelEvent(QWheelEvent* event) {
    event->accept();
    if (!m_canvas.IsMapOpen())
        return;
    // One zoom step per notch; finer wheels add up to a notch first.
    m_nWheelDelta += event->angleDelta().y();
    const QPoint p = MapPixelAt(event->position());
    while (m_nWheelDelta >= kWheelNotch || m_nWheelDelta <= -kWheelNotch) {
        const bool in = m_nWheelDelta > 0;
        m_nWheelDelta += in ? -kWheelNotch : kWheelNotch;
        m_canvas.ZoomAt(p.x(), p.y(), in);
    }
}
