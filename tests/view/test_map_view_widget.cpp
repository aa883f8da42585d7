// Tests of the view widget: what it makes when created, and how Qt's resize,
// key, mouse and paint events reach the view.

#include "ui_test_support.h"
#include "view_test_support.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPixmap>
#include <QTest>
#include <QWheelEvent>

namespace {

// The widget over the synthetic map. Swallows the private start-up messages,
// so that no splash or map library appears during a test.
class CTestWidget : public CSyntheticView<CVeldraViewerView> {
public:
    bool event(QEvent* event) override {
        return event->type() == WM_SHOWSPLASH || event->type() == WM_OPENMAP ||
               CVeldraViewerView::event(event);
    }
    // Opens the map at zoom 1.0 in a 240 x 268 window; the size event centres it.
    void OpenSynthetic() {
        SetSyntheticMap();
        resize(240, 268);
        show();
    }
};

void SendKey(QWidget& widget, QEvent::Type type, int key, bool autoRepeat) {
    QKeyEvent event(type, key, Qt::NoModifier, QString(), autoRepeat);
    QCoreApplication::sendEvent(&widget, &event);
}

void SendMouse(QWidget& widget, QEvent::Type type, QPoint at, Qt::MouseButton button) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
    QMouseEvent event(type, QPointF(at), widget.mapToGlobal(QPointF(at)),
                      type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
}

} // namespace

class TestMapViewWidget : public QObject {
    Q_OBJECT
private slots:
    // The read-out starts hidden: with no map open no overlay pass hides it.
    // (The splash posted at creation is tested with the main frame.)
    void creationMakesSurfacesAndHidesTheReadout() {
        CTestWidget view;
        QVERIFY(view.IsCreated());
        QVERIFY(view.m_pReadout != nullptr && view.m_pReadout->isHidden());
    }

    // Direction keys act on release, never on press or auto-repeat; the left
    // button drags the map, other buttons do not.
    void keysAndButtonsReachTheView() {
        CTestWidget view;
        view.OpenSynthetic(); // the size event centres the map on (2500, 2000)
        SendKey(view, QEvent::KeyPress, Qt::Key_Right, false);
        SendKey(view, QEvent::KeyRelease, Qt::Key_Right, true); // a held key repeats
        SendKey(view, QEvent::KeyPress, Qt::Key_Right, true);
        QCOMPARE(view.m_ptCentre, (CPoint{2500, 2000}));
        SendKey(view, QEvent::KeyRelease, Qt::Key_Right, false);
        QCOMPARE(view.m_ptCentre, (CPoint{2600, 2000}));

        view.m_fetched.clear();
        SendMouse(view, QEvent::MouseButtonPress, {100, 100}, Qt::RightButton);
        QVERIFY(!view.m_bDragging);
        SendMouse(view, QEvent::MouseButtonPress, {100, 100}, Qt::LeftButton);
        SendMouse(view, QEvent::MouseMove, {60, 70}, Qt::LeftButton);
        QCOMPARE(view.m_ptScreenOrigin, (CPoint{2640 - 120, 2030 - 134}));
        QVERIFY(view.m_fetched.isEmpty());
        SendMouse(view, QEvent::MouseButtonRelease, {60, 70}, Qt::LeftButton);
        QCOMPARE(view.m_ptCentre, (CPoint{2640, 2030}));
    }

    void paintShowsComposedImageAndMarkers() {
        CTestWidget view;
        view.OpenSynthetic();
        view.m_ptMe = view.m_ptCentre; // client (120, 134)
        const QImage shown = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
        // The map from the composed image, the marker in its own colours on top.
        const QImage expected =
            view.m_hbmCompose.copy(0, 0, 240, 268).convertToFormat(QImage::Format_RGB32);
        const QImage me = CMapViewCore::MakeMarkerImage(CMapViewCore::MARKER_ME);
        for (int y = 0; y < 268; y += 2)
            for (int x = 0; x < 240; x += 2) {
                const bool onMarker = x >= 114 && x < 126 && y >= 128 && y < 140;
                QCOMPARE(shown.pixel(x, y),
                         onMarker ? me.pixel(x - 114, y - 128) : expected.pixel(x, y));
            }
        // A redraw that stops at a missing tile leaves the window's image as
        // it was, even when the window is painted again afterwards.
        view.m_ptMe = {-20, -20};
        const QImage before = view.grab().toImage();
        view.m_failing.insert(QStringLiteral("TST4_6")); // in the strip a step right uncovers
        view.m_fetched.clear();
        QVERIFY(view.OnKeyUp(VK_RIGHT));
        QVERIFY(view.m_fetched.contains(QStringLiteral("TST4_6")));
        QCOMPARE(view.grab().toImage(), before);
        // Nothing of the map is painted while no map is open.
        view.m_bMapOpen = false;
        QVERIFY(view.grab().toImage().pixel(10, 10) != expected.pixel(10, 10));
    }

    // The window with a flag and both read-outs on: the arrow in the painted
    // image and the read-out control over the bottom right of the client area.
    void readoutsOnTheWindow() {
        CTestWidget view;
        view.m_calibration.nScale = 21115;
        view.OpenSynthetic();
        view.OnShowDirection();
        view.OnShowDistance();
        view.OnMarkFlag();
        SendMouse(view, QEvent::MouseButtonPress, {120, 234}, Qt::LeftButton); // 100 below
        SendMouse(view, QEvent::MouseButtonRelease, {120, 234}, Qt::LeftButton);
        const QImage shown = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shown.pixel(120, 160), qRgb(0, 255, 255)); // the shaft, pointing down
        QVERIFY(!view.m_pReadout->isHidden());
        QCOMPARE(view.m_pReadout->text(), QStringLiteral("253 Yds, 231 Ms"));
        QCOMPARE(view.m_pReadout->geometry(), QRect(120, 248, 120, 20));
        view.OnShowDistance();
        view.grab();
        QVERIFY(view.m_pReadout->isHidden());
    }

    // The wheel zooms a step a notch about the pointer (half notches add up),
    // "+" and "-" like the buttons, once per press; on a large window the
    // buffer grows and the read-out keeps its distance from the bottom-right.
    void wheelKeysAndLargeWindow() {
        CTestWidget view;
        view.OpenSynthetic(); // centred on (2500, 2000)
        const auto wheel = [&view](int delta) {
            QWheelEvent event(QPointF(40, 34), view.mapToGlobal(QPointF(40, 34)), QPoint(),
                              QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                              false);
            QCoreApplication::sendEvent(&view, &event);
        };
        wheel(60);
        QCOMPARE(view.m_dZoom, 1.0);
        wheel(60);
        QCOMPARE(view.m_dZoom, 2.0);
        QCOMPARE(view.m_ptCentre, (CPoint{(2500 - 80) * 2 + 80, (2000 - 100) * 2 + 100}));
        SendKey(view, QEvent::KeyPress, Qt::Key_Minus, false);
        QCOMPARE(view.m_ptCentre, (CPoint{2460, 1950}));
        SendKey(view, QEvent::KeyPress, Qt::Key_Plus, true);
        QCOMPARE(view.m_dZoom, 1.0);
        SendKey(view, QEvent::KeyPress, Qt::Key_Plus, false);
        QCOMPARE(view.m_dZoom, 2.0);
        view.resize(1280, 800);
        QCOMPARE(QSize(view.m_nBufferWidth, view.m_nBufferHeight), QSize(2000, 1500));
        QCOMPARE(view.m_pReadout->geometry(), QRect(1160, 780, 120, 20));
        view.resize(500, 500);
        QCOMPARE(view.m_pReadout->geometry(), QRect(120, 248, 120, 20));
    }

    void goToHomeWithoutHomeWarns() {
        CTestRoot root;
        CScriptedUi ui;
        CTestWidget view;
        view.m_szMapTitle = QStringLiteral("Testmap");
        view.OnGoToHome();
        QCOMPARE(ui.MessageTexts(), QStringList{"No Home defined."});
    }
};

QTEST_MAIN(TestMapViewWidget)
#include "test_map_view_widget.moc"
