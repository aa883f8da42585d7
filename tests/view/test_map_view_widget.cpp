// The view widget: Qt's events to its canvas, what it paints, its read-out.

#include "ui_test_support.h"
#include "view/status_line.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPixmap>
#include <QTest>
#include <QWheelEvent>

namespace {

// The view over the synthetic map, shown at 240 x 268 (the size event keeps
// the map centred on (2500, 2000) at zoom 1.0).
struct CTestWidget : CSyntheticView {
    explicit CTestWidget(int32_t scale = 0) : CSyntheticView(scale) {
        view.resize(240, 268);
        view.show();
    }
    QImage Shown() { return view.grab().toImage().convertToFormat(QImage::Format_RGB32); }
};

void SendKey(QWidget& widget, QEvent::Type type, int key, bool autoRepeat = false) {
    QKeyEvent event(type, key, Qt::NoModifier, QString(), autoRepeat);
    QCoreApplication::sendEvent(&widget, &event);
}

void SendWheel(QWidget& widget, int delta) {
    QWheelEvent event(QPointF(40, 34), widget.mapToGlobal(QPointF(40, 34)), QPoint(),
                      QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&widget, &event);
}

} // namespace

class TestMapViewWidget : public QObject {
    Q_OBJECT
private slots:
    // Keys step on release, not on auto-repeat; only the left button drags;
    // a wheel notch (halves add up) zooms about the pointer, "+" / "-" once.
    void inputReachesTheCanvas() {
        CTestWidget w;
        const CViewport& viewport = w.view.Viewport();
        QVERIFY(w.view.IsCreated() && w.view.Readout()->isHidden());
        SendKey(w.view, QEvent::KeyPress, Qt::Key_Right);
        SendKey(w.view, QEvent::KeyRelease, Qt::Key_Right, true); // a held key repeats
        SendKey(w.view, QEvent::KeyPress, Qt::Key_Right, true);
        QCOMPARE(viewport.Centre(), (CPoint{2500, 2000}));
        SendKey(w.view, QEvent::KeyRelease, Qt::Key_Right);
        QCOMPARE(viewport.Centre(), (CPoint{2600, 2000}));

        w.map.fetched.clear();
        SendMouse(w.view, QEvent::MouseButtonPress, {100, 100}, Qt::RightButton);
        QVERIFY(!w.canvas.IsDragging());
        SendMouse(w.view, QEvent::MouseButtonPress, {100, 100});
        SendMouse(w.view, QEvent::MouseMove, {60, 70});
        QCOMPARE(viewport.ScreenOrigin(), (CPoint{2640 - 120, 2030 - 134}));
        QVERIFY(w.map.fetched.isEmpty());
        SendMouse(w.view, QEvent::MouseButtonRelease, {60, 70});
        QCOMPARE(viewport.Centre(), (CPoint{2640, 2030}));

        SendWheel(w.view, 60);
        QCOMPARE(viewport.Zoom(), 1.0);
        SendWheel(w.view, 60);
        QCOMPARE(viewport.Zoom(), 2.0);
        QCOMPARE(viewport.Centre(), (CPoint{(2640 - 80) * 2 + 80, (2030 - 100) * 2 + 100}));
        SendKey(w.view, QEvent::KeyPress, Qt::Key_Minus);
        QCOMPARE(viewport.Centre(), (CPoint{2600, 1980}));
        SendKey(w.view, QEvent::KeyPress, Qt::Key_Plus, true);
        QCOMPARE(viewport.Zoom(), 1.0);
        SendKey(w.view, QEvent::KeyPress, Qt::Key_Plus);
        QCOMPARE(viewport.Zoom(), 2.0);
    }

    // The composed image with markers and read-out; a redraw stopped at a
    // missing tile leaves the window as it was; no map open, no map shown.
    void paintShowsTheMapAndTheOverlays() {
        CTestWidget w(21115);
        CMapCanvas& canvas = w.canvas;
        canvas.OnMarkMe();
        SendMouse(w.view, QEvent::MouseButtonPress, {120, 134}); // "me" at the middle
        SendMouse(w.view, QEvent::MouseButtonRelease, {120, 134});
        const QImage shown = w.Shown();
        const QImage composed = canvas.ClientImage().convertToFormat(QImage::Format_RGB32);
        const QImage me = COverlays::MakeMarkerImage(COverlays::MARKER_ME);
        for (int y = 0; y < 268; y += 2)
            for (int x = 0; x < 240; x += 2) {
                const bool onMarker = x >= 114 && x < 126 && y >= 128 && y < 140;
                QCOMPARE(shown.pixel(x, y),
                         onMarker ? me.pixel(x - 114, y - 128) : composed.pixel(x, y));
            }
        canvas.OnShowDirection();
        canvas.OnShowDistance();
        canvas.OnMarkFlag();
        SendMouse(w.view, QEvent::MouseButtonPress, {120, 234}); // the flag 100 below
        SendMouse(w.view, QEvent::MouseButtonRelease, {120, 234});
        w.view.grab();
        QVERIFY(!w.view.Readout()->isHidden());
        QCOMPARE(w.view.Readout()->text(), QStringLiteral("253 Yds, 231 Ms"));
        QCOMPARE(w.view.Readout()->geometry(), QRect(120, 248, 120, 20));
        canvas.OnShowDistance();
        w.view.grab();
        QVERIFY(w.view.Readout()->isHidden());

        const QImage before = w.view.grab().toImage();
        w.map.failing.insert(QStringLiteral("tes4_6")); // in the strip a step right uncovers
        w.map.fetched.clear();
        QVERIFY(canvas.OnKeyUp(Qt::Key_Right));
        QCOMPARE(w.map.fetched, QStringList{"tes4_6"}); // nothing after it
        QVERIFY(!canvas.RedrawMap(false));
        QCOMPARE(w.view.grab().toImage(), before);
        canvas.SetMapOpen(false);
        QVERIFY(w.Shown().pixel(10, 10) != composed.pixel(10, 10));
    }

    // On a large window the read-out stands on the status line at the right.
    void largeWindow() {
        CTestWidget w;
        w.view.resize(1280, 800);
        QCOMPARE(w.view.Readout()->geometry(), QRect(1160, 780 - CStatusLine::HEIGHT, 120, 20));
        w.view.resize(500, 500);
        QCOMPARE(w.view.Readout()->geometry(), QRect(120, 248, 120, 20));
    }

    void goToHomeWithoutHomeWarns() {
        CScriptedUi ui;
        CTestWidget w;
        w.view.OnGoToHome();
        QCOMPARE(ui.MessageTexts(), QStringList{"No Home defined."});
    }
};

QTEST_MAIN(TestMapViewWidget)
#include "test_map_view_widget.moc"
