// Markers, Home and the direction and distance read-outs of the map view,
// without a window: on the synthetic map whose every pixel tells its map
// position.

#include "places/place_files.h"
#include "test_support.h"
#include "view/readouts.h"
#include "view_test_support.h"

#include <QTest>

namespace {

using P = CPoint;

// The fake view with the two toolbar buttons it presses and releases.
class CMarkingView : public CFakeView {
public:
    void CheckMarkMeButton(bool pressed) override { m_bMeButton = pressed; }
    void CheckMarkFlagButton(bool pressed) override { m_bFlagButton = pressed; }
    // A tap at a client point: stylus down and up.
    void Tap(int x, int y) {
        OnLButtonDown(x, y);
        OnLButtonUp(x, y);
    }
    bool m_bMeButton = false;
    bool m_bFlagButton = false;
};

const QString kTitle = QStringLiteral("Testmap");

} // namespace

class TestMarkersReadouts : public QObject {
    Q_OBJECT
private slots:
    // Each script runs on a map centred at (2000, 1500) in a 240 x 268 client
    // area: M / F are "Mark me" / "Mark flag", T a tap at client (10, 20),
    // which is map position (1890, 1386), O a tap one past the right edge.
    void markerStates_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<P>("me");
        QTest::addColumn<P>("flag");
        QTest::addColumn<QString>("state"); // placed me/flag, armed me/flag, buttons me/flag
        const P none{-20, -20}, tapped{1890, 1386};
        QTest::newRow("armed") << "M" << none << none << "00 10 10";
        QTest::newRow("placed") << "MT" << tapped << none << "10 00 10";
        QTest::newRow("armed twice, still one tap") << "MMT" << tapped << none << "10 00 10";
        QTest::newRow("placed, then removed") << "MTM" << none << none << "00 00 00";
        QTest::newRow("removed, armed again") << "MTMM" << none << none << "00 10 10";
        QTest::newRow("flag placed") << "FT" << none << tapped << "01 00 01";
        QTest::newRow("tap outside places nothing") << "FO" << none << none << "01 00 01";
        // Both armed: the tap places "me" only, the release counts both as
        // placed, so the next "Mark flag" releases its button.
        QTest::newRow("me then flag armed") << "MFT" << tapped << none << "11 00 11";
        QTest::newRow("then Mark flag") << "MFTF" << tapped << none << "10 00 10";
    }
    void markerStates() {
        QFETCH(QString, script);
        QFETCH(P, me);
        QFETCH(P, flag);
        QFETCH(QString, state);
        CMarkingView view;
        view.Open();
        for (const QChar step : script) {
            if (step == u'M')
                view.OnMarkMe();
            else if (step == u'F')
                view.OnMarkFlag();
            else
                view.Tap(step == u'T' ? 10 : 240, 20);
        }
        QCOMPARE(view.m_ptMe, me);
        QCOMPARE(view.m_ptFlag, flag);
        const auto bits = [](bool a, bool b) { return QString::number(a) + QString::number(b); };
        const QString actual = bits(view.m_bMePlaced, view.m_bFlagPlaced) + u' ' +
                               bits(view.m_bMarkMeArmed, view.m_bMarkFlagArmed) + u' ' +
                               bits(view.m_bMeButton, view.m_bFlagButton);
        QCOMPARE(actual, state);
        QVERIFY(!view.m_bDragging);
        QCOMPARE(view.m_ptCentre, (P{2000, 1500}));
        QCOMPARE(view.Fetched(), QStringList{}); // marking fetches no tile

        // Opening a map clears both markers, both buttons and both switches.
        view.m_bShowDirection = view.m_bShowDistance = true;
        view.ResetViewState();
        QVERIFY(!view.m_bMePlaced && !view.m_bFlagPlaced && !view.m_bMarkMeArmed &&
                !view.m_bMarkFlagArmed && !view.m_bMeButton && !view.m_bFlagButton);
        QVERIFY(!view.m_bShowDirection && !view.m_bShowDistance);
        QCOMPARE(view.m_ptMe, (P{-20, -20}));
        QCOMPARE(view.m_ptFlag, (P{-20, -20}));
    }

    void gotoMarkerClampsAndKeepsTheZoom_data() {
        QTest::addColumn<P>("flag");   // zoomed position at zoom 0.5
        QTest::addColumn<P>("centre"); // after "Goto flag"
        QTest::newRow("inside") << P{1200, 900} << P{1200, 900};
        QTest::newRow("near the map's corner") << P{30, 40} << P{120, 134};
        QTest::newRow("absent: stays") << P{-20, -20} << P{1700, 1650};
    }
    void gotoMarkerClampsAndKeepsTheZoom() {
        QFETCH(P, flag);
        QFETCH(P, centre);
        CMarkingView view;
        view.Open({2000, 1500}, 0.5);
        view.m_ptFlag = flag;
        view.m_ptMe = flag;
        view.SetCentre(1700, 1650);
        view.RedrawMap(false);
        view.Forget();
        view.OnGotoFlag();
        QCOMPARE(view.m_ptCentre, centre);
        QCOMPARE(view.m_dZoom, 0.5);
        QCOMPARE(view.m_nPresents, 1);
        view.SetCentre(1000, 1000);
        view.OnGotoMe();
        QCOMPARE(view.m_ptCentre, (flag.x > 0 ? centre : P{1000, 1000}));
    }

    // Zoom steps keep the centre's and the markers' map positions, within 0.25 to 2.0.
    void zoomStepsKeepTheMapSpots() {
        CFakeView view;
        view.Open({2000, 1500});
        view.m_ptMe = {301, 100};
        view.OnZoomIn();
        QCOMPARE(view.m_ptCentre, (P{4000, 3000}));
        view.OnZoomIn(); // held at 2.0
        view.OnZoomOut();
        QCOMPARE(view.m_ptCentre, (P{2000, 1500}));
        view.OnZoomOut();
        QCOMPARE(view.m_ptMe, (P{150, 50}));
        view.OnZoomOut();
        view.OnZoomOut(); // held at 0.25
        QCOMPARE(view.m_dZoom, 0.25);
        view.OnZoomIn();
        view.OnZoomIn();
        QCOMPARE(view.m_ptMe, (P{300, 100}));
    }

    void goToHome_data() {
        QTest::addColumn<bool>("saved");
        QTest::addColumn<QPoint>("home");
        QTest::newRow("home") << true << QPoint(3000, 2000);
        QTest::newRow("no home") << false << QPoint();
        QTest::newRow("zero x") << true << QPoint(0, 2000);
        QTest::newRow("zero y") << true << QPoint(3000, 0);
    }
    void goToHome() {
        QFETCH(bool, saved);
        QFETCH(QPoint, home);
        const bool found = saved && home.x() != 0 && home.y() != 0;
        CTestRoot root;
        if (saved)
            QVERIFY(SavePlace(kTitle, QStringLiteral("Home"), home));
        CFakeView view;
        view.m_szMapTitle = kTitle;
        view.Open({800, 900});
        view.OnZoomOut();
        view.Forget();
        QCOMPARE(view.GoToHome(), found);
        // Home is a map position, centred at the zoom in force (0.5).
        QCOMPARE(view.m_ptCentre, (found ? P{1500, 1000} : P{400, 450}));
        QCOMPARE(view.m_nPresents, found ? 1 : 0);
    }

    void setHomeSavesTheMiddleAndAFailedWriteKeepsTheOldOne() {
        CTestRoot root;
        CFakeView view;
        view.m_szMapTitle = kTitle;
        view.Open({1501, 1203}, 2.0); // centre (3002, 2406) zoomed
        view.OnSetHome();
        QCOMPARE(LoadPlace(kTitle, QStringLiteral("Home")), QPoint(1501, 1203));
        // A failed write (a folder stands where the temporary file goes) is
        // not reported and keeps the old Home.
        QVERIFY(root.MakeDir(QStringLiteral("Veldra/My Places/Testmap/Home.plc.tmp/x")));
        view.SetCentre(400, 300);
        view.OnSetHome();
        QCOMPARE(LoadPlace(kTitle, QStringLiteral("Home")), QPoint(1501, 1203));
    }

    void distanceTexts_data() {
        QTest::addColumn<int>("scale");
        QTest::addColumn<double>("zoom");
        QTest::addColumn<P>("offset"); // flag less middle, zoomed pixels
        QTest::addColumn<QString>("text");
        QTest::newRow("100 px") << 21115 << 1.0 << P{100, 0} << "253 Yds, 231 Ms";
        QTest::newRow("1000 px") << 21115 << 1.0 << P{0, -1000} << "1.4 Mls, 2.3 Kms";
        QTest::newRow("zoom 2.0") << 21115 << 2.0 << P{-60, 80} << "126 Yds, 115 Ms";
        QTest::newRow("zoom 0.25") << 21115 << 0.25 << P{25, 0} << "253 Yds, 231 Ms";
        QTest::newRow("no calibration") << 0 << 1.0 << P{100, 0} << "n/a";
    }
    void distanceTexts() {
        QFETCH(int, scale);
        QFETCH(double, zoom);
        QFETCH(P, offset);
        QFETCH(QString, text);
        const P c{1200, 1340};
        QCOMPARE(DistanceReadoutText(c, P{c.x + offset.x, c.y + offset.y}, scale, zoom), text);
    }

    void unitsSwitchAbove500Metres() {
        QCOMPARE(FormatDistance(500.0), QStringLiteral("547 Yds, 500 Ms"));
        QCOMPARE(FormatDistance(500.001), QStringLiteral("0.3 Mls, 0.5 Kms"));
    }

    void arrowPoints_data() {
        QTest::addColumn<P>("flag"); // the middle is (120, 134)
        QTest::addColumn<bool>("tooClose");
        QTest::addColumn<P>("tip");
        QTest::addColumn<P>("head1");
        QTest::addColumn<P>("head2");
        QTest::newRow("right") << P{220, 134} << false << P{170, 134} << P{149, 117} << P{149, 150};
        QTest::newRow("exactly 50 away")
            << P{150, 174} << true << P{120, 134} << P{120, 134} << P{120, 134};
        QTest::newRow("just beyond")
            << P{150, 175} << false << P{149, 174} << P{150, 148} << P{124, 167};
    }
    void arrowPoints() {
        QFETCH(P, flag);
        QFETCH(bool, tooClose);
        QFETCH(P, tip);
        QFETCH(P, head1);
        QFETCH(P, head2);
        const CArrow arrow = ComputeArrow(P{120, 134}, flag);
        QCOMPARE(arrow.bTooClose, tooClose);
        QCOMPARE(arrow.tip, tip);
        QCOMPARE(arrow.head1, head1);
        QCOMPARE(arrow.head2, head2);
    }

    // The overlay pass: the read-out shows only with the switch on and a flag
    // placed, and follows every drag step; the arrow is drawn last, in cyan
    // over a black shadow 2 pixels right and down.
    void overlayPassDrawsTheArrowAndTheReadout() {
        CMarkingView view;
        view.m_calibration.nScale = 21115;
        view.Open();
        view.OnShowDistance();
        view.OnShowDirection();
        view.RenderClientImage();
        QVERIFY(!view.m_bReadoutVisible);        // no flag yet
        QCOMPARE(view.Fetched(), QStringList{}); // the toggles fetch nothing

        view.OnMarkFlag();
        view.Tap(220, 134); // 100 pixels right of the middle
        QImage image = view.RenderClientImage();
        QVERIFY(view.m_bReadoutVisible);
        QCOMPARE(view.m_strReadout, QStringLiteral("253 Yds, 231 Ms"));
        const QRgb cyan = qRgb(0, 255, 255), black = qRgb(0, 0, 0);
        const auto at = [&](int x, int y) { return image.pixel(x, y) | 0xff000000; };
        QCOMPARE(at(140, 134), cyan);                                      // on the shaft
        QCOMPARE(at(140, 137), black);                                     // its shadow below
        QCOMPARE(at(120, 140), view.Plain().pixel(120, 140) | 0xff000000); // off the arrow
        QVERIFY(at(150, 118) == cyan || at(149, 117) == cyan);             // head end 1
        // A drag step moves the middle: the text follows at once.
        view.OnLButtonDown(100, 100);
        view.OnMouseMove(150, 100); // the middle is now 150 pixels left of the flag
        view.RenderClientImage();
        QCOMPARE(view.m_strReadout, QStringLiteral("379 Yds, 346 Ms"));
        view.OnLButtonUp(150, 100);
        // Switched off: hidden; the flag's own marker stays.
        view.OnShowDistance();
        view.OnShowDirection();
        image = view.RenderClientImage();
        QVERIFY(!view.m_bReadoutVisible);
        QVERIFY(at(40, 134) != cyan);
    }
};

QTEST_GUILESS_MAIN(TestMarkersReadouts)
#include "test_markers_readouts.moc"
