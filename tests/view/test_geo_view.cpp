// A map that knows where on Earth it lies, in the view.

#include "places/place_files.h"
#include "res/resource.h"
#include "ui_test_support.h"
#include "view/go_to_coordinates_dlg.h"
#include "view/status_line.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The synthetic map in latitude and longitude, 0.0001 degree a pixel from
// 10.0 E and 48.4 N; 1 metre a pixel for the read-out.
struct CGeoView : CSyntheticView {
    explicit CGeoView(const QString& title = QStringLiteral("Testmap")) : CSyntheticView(9141) {
        OpenedMap opened = map.Map(9141);
        opened.strTitle = title;
        opened.geo = CGeoReference::FromEdges(CProjection::LatLon, QSize(5000, 4000), 10.0, 48.0,
                                              10.5, 48.4);
        canvas.ShowMap(opened);
    }
    CPoint Me() const { return view.Overlays().MarkerPosition(COverlays::MARKER_ME); }
};

// An NMEA RMC sentence of a fix at 12:00 plus seconds, with its checksum.
QByteArray Rmc(double seconds, double lat, double lon) {
    const QByteArray body =
        QString::asprintf("GPRMC,1200%05.2f,A,%02d%07.4f,%c,%03d%07.4f,%c,0.0,0.0,010124,,,A",
                          seconds, int(std::abs(lat)), std::fmod(std::abs(lat), 1) * 60,
                          lat < 0 ? 'S' : 'N', int(std::abs(lon)), std::fmod(std::abs(lon), 1) * 60,
                          lon < 0 ? 'W' : 'E')
            .toLatin1();
    char sum = 0;
    for (char c : body)
        sum ^= c;
    return '$' + body + '*' + QByteArray::number(uchar(sum), 16).rightJustified(2, '0').toUpper() +
           "\r\n";
}

} // namespace

class TestGeoView : public QObject {
    Q_OBJECT
private slots:
    // Qt Positioning hides the position plugins from programs run by QtTest;
    // this test replays a log through the real NMEA plugin.
    void initTestCase() { qunsetenv("QT_QTESTLIB_RUNNING"); }

    // Beyond handheld size the status line shows where the pointer (else the
    // middle) lies, and the scale.
    void statusLine() {
        CGeoView w;
        w.view.resize(240, 268);
        w.view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.view));
        QVERIFY(w.view.StatusLine()->isHidden());
        w.view.resize(800, 600); // centred on (2500, 2000): the screen origin is (2100, 1700)
        QTRY_VERIFY(w.view.StatusLine()->isVisible());
        SendMouse(w.view, QEvent::MouseMove, {100, 50}, Qt::NoButton);
        QCOMPARE(w.view.StatusLine()->Text(), QStringLiteral("48.22495° N, 10.22005° E"));
        QCOMPARE(w.view.StatusLine()->ScaleBar().strMetric,
                 QStringLiteral("500 m")); // 7.4 m a pixel
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(&w.view, &leave);
        QCOMPARE(w.view.StatusLine()->Text(), QStringLiteral("48.19995° N, 10.25005° E"));
    }

    // Go to Coordinates refuses a point off the map, centres on one on it.
    void goToCoordinates() {
        CGeoView w;
        w.canvas.OnZoomIn();
        CScriptedUi ui;
        ui.OnDialog<CGoToCoordinatesDlg>([](CGoToCoordinatesDlg& go) {
            go.TextBox()->setText(QStringLiteral("49, 10.2"));
            go.OnOK();
            go.TextBox()->setText(QStringLiteral("48°14'59.82\"N 10°12'0.18\"E"));
            go.OnOK();
            return go.result();
        });
        w.view.OnGoToCoordinates();
        QCOMPARE(ui.MessageTexts(),
                 QStringList{QStringLiteral("49.00000° N, 10.20000° E lies outside this map.")});
        QCOMPARE(w.view.Viewport().Centre(), (CPoint{4000, 3000})); // (2000, 1500) at zoom 2
    }

    // Places and markers go through a GPX file into another map of the same
    // place; points off the map skipped, malformed refused, hostile files ignored.
    void gpxRoundTrip() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("places.gpx"));
        CScriptedUi ui;
        SetFileNameHandler([&](const QString&, bool) { return path; });
        const std::map<QString, QPoint> places = {{"Home", {1000, 800}}, {"Café", {4000, 3000}}};
        {
            CGeoView from;
            for (const auto& [name, at] : places)
                QVERIFY(SavePlace(QStringLiteral("Testmap"), name, at));
            from.canvas.PlaceMarkerAt(COverlays::MARKER_ME, {1234, 567}, false);
            from.canvas.PlaceMarkerAt(COverlays::MARKER_FLAG, {4321, 3210}, false);
            from.view.OnExportGpx();
        }
        CGeoView to(QStringLiteral("Test copy"));
        to.view.OnImportGpx();
        for (const auto& [name, at] : places)
            QCOMPARE(LoadPlace(QStringLiteral("Test copy"), name), std::optional<QPoint>(at));
        QCOMPARE(to.Me(), (CPoint{1234, 567}));
        QCOMPARE(to.view.Overlays().MarkerPosition(COverlays::MARKER_FLAG), (CPoint{4321, 3210}));

        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("<gpx xmlns='http://www.topografix.com/GPX/1/1'><wpt lat='48.29995' "
                   "lon='10.10005'><name>Café</name></wpt><wpt lat='47' lon='10.1'/>"
                   "<wpt lat='48.3'/></gpx>");
        file.close();
        to.view.OnImportGpx();
        QCOMPARE(LoadPlace(QStringLiteral("Test copy"), QStringLiteral("Café")),
                 std::optional<QPoint>(QPoint(1000, 1000)));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("<gpx xmlns='http://www.topografix.com/GPX/1/1'><wpt lat='48.3' lon='10.1'>"
                   "<name>Hostile</name></wpt><wpt lat='x' lon='1'/></gpx>");
        file.close();
        to.view.OnImportGpx();
        QCOMPARE(ListPlaces(QStringLiteral("Test copy")).size(), 2);
        QCOMPARE(ui.MessageTexts().mid(1),
                 QStringList({"places.gpx: 4 imported, 0 skipped as outside this map, 0 refused "
                              "as malformed.",
                              "places.gpx: 1 imported (1 in place of places of the same name), 1 "
                              "skipped as outside this map, 1 refused as malformed.",
                              "places.gpx: The file cannot be imported: a point's latitude or "
                              "longitude is not a number (line 1)."}));
        SetFileNameHandler({});
    }

    // Without a geo-reference its commands are off and say why.
    void commandsNeedAGeoReference() {
        CTestRoot root;
        CSyntheticMap map(root);
        QPointer<CMainFrame> frame = MakeFrame();
        CMapCanvas& canvas = frame->GetActiveView()->Canvas();
        canvas.SetTileSource(map.Source());
        canvas.ShowMap(map.Map());
        frame->UpdateCommandUI();
        for (const int id : {ID_TOOLS_GO_TO_COORDINATES, ID_TOOLS_EXPORT_GPX, ID_TOOLS_IMPORT_GPX,
                             ID_TOOLS_FOLLOW_POSITION}) {
            QVERIFY(!frame->CommandAction(id)->isEnabled());
            QVERIFY(frame->CommandAction(id)->toolTip().contains(u"does not say where on Earth"));
        }
        OpenedMap opened = map.Map();
        opened.geo =
            CGeoReference::FromEdges(CProjection::LatLon, QSize(5000, 4000), 10, 48, 10.5, 48.4);
        canvas.ShowMap(opened);
        frame->UpdateCommandUI();
        QVERIFY(frame->CommandAction(ID_TOOLS_FOLLOW_POSITION)->isEnabled());
        // A geo-reference of another picture is stale and ignored.
        opened.geo =
            CGeoReference::FromEdges(CProjection::LatLon, QSize(5000, 4500), 10, 48, 10.5, 48.4);
        canvas.ShowMap(opened);
        QVERIFY(!canvas.GeoReference());
        delete frame;
    }

    // A replayed log moves "me", the view and the read-out follow; a fix off
    // the map keeps "me"; a drag stops the centring.
    void followReplayedLog() {
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("walk.nmea"));
        QFile file(log);
        QVERIFY(file.open(QIODevice::WriteOnly));
        // Pixel middles: 0.00005 degree past a whole pixel.
        file.write(Rmc(0.0, 48.24995, 10.23005) + Rmc(0.2, 48.20995, 10.20005) +
                   Rmc(0.4, 49.0, 10.2) + Rmc(0.6, 48.24995, 10.26005));
        file.close();
        CScriptedUi ui;
        CGeoView w;
        w.canvas.PlaceMarkerAt(COverlays::MARKER_FLAG, {2000, 1500}, false);
        w.canvas.OnShowDistance();
        QStringList seen;
        connect(&w.view.Follower(), &CPositionFollower::StateChanged, this, [&] {
            w.canvas.RenderClientImage(); // the overlay pass of the next paint
            seen << QStringLiteral("%1,%2 %3 %4")
                        .arg(w.Me().x)
                        .arg(w.Me().y)
                        .arg(w.view.Follower().StateText(), w.view.Overlays().ReadoutText());
        });
        CVeldraViewerView::SetPositionSource(QStringLiteral("nmea:") + log);
        w.view.OnFollowPosition();
        QCOMPARE(ui.MessageTexts(), QStringList());
        QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 5, 10000);
        QCOMPARE(seen, QStringList({"-20,-20 No position 0.4 Mls, 0.7 Kms",
                                    "2300,1500  328 Yds, 300 Ms", "2000,1900  438 Yds, 400 Ms",
                                    "2000,1900 Outside this map 438 Yds, 400 Ms",
                                    "2600,1500  0.4 Mls, 0.6 Kms"}));
        QCOMPARE(w.view.Viewport().Centre(), (CPoint{2600, 1500}));

        w.view.resize(240, 268);
        SendMouse(w.view, QEvent::MouseButtonPress, {100, 100});
        SendMouse(w.view, QEvent::MouseMove, {110, 100});
        SendMouse(w.view, QEvent::MouseButtonRelease, {110, 100});
        w.view.Follower().OnPosition({48.20995, 10.20005});
        QCOMPARE(w.Me(), (CPoint{2000, 1900}));
        QCOMPARE(w.view.Viewport().Centre(), (CPoint{2590, 1500}));
        w.view.OnGotoMe();
        w.view.Follower().OnPosition({48.24995, 10.23005});
        QCOMPARE(w.view.Viewport().Centre(), (CPoint{2300, 1500}));
        w.view.OnFollowPosition();
        QVERIFY(!w.view.Follower().IsOn());
        CVeldraViewerView::SetPositionSource(QString());
    }
};

QTEST_MAIN(TestGeoView)
#include "test_geo_view.moc"
