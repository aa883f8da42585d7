// Tests of the widget-free map view on a synthetic map whose every pixel
// tells its map position: clamping, the back buffer's window and reuse,
// stretched cells, overlays and navigation.

#include "places/place_files.h"
#include "test_support.h"
#include "view/map_view_core.h"
#include "view_test_support.h"

#include <QTest>

Q_DECLARE_METATYPE(CPoint)
Q_DECLARE_METATYPE(CSpan)

char* toString(const CPoint& p) {
    return QTest::toString(QStringLiteral("(%1, %2)").arg(p.x).arg(p.y));
}

namespace {

using P = CPoint;
using Names = QStringList;

// The core with counted fetches and presents and recorded button calls.
class CFakeView : public CMapViewCore {
public:
    bool FetchTile(const QString& name, const QImage*& bitmap) override {
        return m_tiles.Fetch(m_szTilePrefix, name, bitmap);
    }
    void ShowComposedImage() override { ++m_nPresents; }
    void CheckMarkMeButton(bool on) override { m_buttons << QStringLiteral("me:%1").arg(on); }
    void CheckMarkFlagButton(bool on) override { m_buttons << QStringLiteral("flag:%1").arg(on); }

    // Shows a 10 x 8-tile synthetic map in a 240 x 268 client area at zoom
    // 1.0 centred on a map position, then forgets the fetches and presents.
    void Open(P centre = {2000, 1500}) {
        CreateDrawingSurfaces();
        m_szTilePrefix = QStringLiteral("TST");
        m_nTileColumns = 10;
        m_nTileRows = 8;
        m_nTileWidth = m_nTileHeight = 500;
        m_bMapOpen = true;
        m_ptPending = centre;
        ApplyZoom(240, 268, 1.0);
        Forget();
    }
    void Forget() {
        m_tiles.m_fetched.clear();
        m_nPresents = 0;
    }
    Names Fetched() const {
        Names names = m_tiles.m_fetched;
        names.sort();
        return names;
    }
    // The first back-buffer pixel (zoom 1.0) not showing its map position.
    QString BufferMismatch() const {
        for (int by = 0; by < m_nBufferHeight; ++by)
            for (int bx = 0; bx < m_nBufferWidth; ++bx)
                if (RawPixel(m_hbmBuffer, bx, by) !=
                    MapPixel(m_ptBufferOrigin.x + bx, m_ptBufferOrigin.y + by))
                    return QStringLiteral("buffer (%1, %2)").arg(bx).arg(by);
        return {};
    }
    // The client image without overlays.
    QImage Plain() const { return m_hbmCompose.copy(0, 0, m_nClientWidth, m_nClientHeight); }

    CSyntheticTiles m_tiles;
    int m_nPresents = 0;
    QStringList m_buttons;
};

} // namespace

class TestMapViewCore : public QObject {
    Q_OBJECT
private slots:
    void clipSpan_data() {
        QTest::addColumn<int>("delta");
        QTest::addColumn<int>("sizeB");
        QTest::addColumn<CSpan>("expected");
        QTest::newRow("no shift") << 0 << 500 << CSpan{0, 0, 500};
        QTest::newRow("right") << 100 << 500 << CSpan{100, 0, 400};
        QTest::newRow("left") << -100 << 500 << CSpan{0, 100, 400};
        QTest::newRow("no overlap") << 600 << 500 << CSpan{600, 0, -100};
        QTest::newRow("into client") << 50 << 240 << CSpan{50, 0, 190};
        QTest::newRow("client inside") << -130 << 240 << CSpan{0, 130, 240};
    }
    void clipSpan() {
        QFETCH(int, delta);
        QFETCH(int, sizeB);
        QFETCH(CSpan, expected);
        QVERIFY(CMapViewCore::ClipSpan(delta, 500, sizeB) == expected);
    }

    void setCentreClamps_data() {
        QTest::addColumn<double>("zoom");
        QTest::addColumn<P>("request");
        QTest::addColumn<P>("expected");
        QTest::newRow("top-left") << 1.0 << P{0, 0} << P{120, 134};
        QTest::newRow("bottom-right") << 1.0 << P{6000, 6000} << P{4880, 3866};
        QTest::newRow("inside") << 1.0 << P{2000, 1500} << P{2000, 1500};
        // The map (1250 x 1000 at 0.25) is still larger than the client area.
        QTest::newRow("zoom 0.25") << 0.25 << P{6000, 0} << P{1130, 134};
    }
    void setCentreClamps() {
        QFETCH(double, zoom);
        QFETCH(P, request);
        QFETCH(P, expected);
        CFakeView view;
        view.Open();
        view.ApplyZoom(240, 268, zoom);
        view.SetCentre(request.x, request.y);
        QCOMPARE(view.m_ptCentre, expected);
        QCOMPARE(view.m_ptRequested, request);
        // The client area is held to the back buffer's size.
        view.ApplyZoom(600, 0xFFFF, zoom);
        QCOMPARE(QSize(view.m_nClientWidth, view.m_nClientHeight), QSize(500, 500));
    }

    void bufferWindow_data() {
        QTest::addColumn<P>("centre");
        QTest::addColumn<P>("origin");
        QTest::addColumn<Names>("tiles");
        QTest::newRow("top-left") << P{120, 134} << P{0, 0} << Names{"TST1_1"};
        QTest::newRow("bottom-right") << P{4880, 3866} << P{4500, 3500} << Names{"TST8_10"};
        QTest::newRow("middle") << P{2000, 1500} << P{1750, 1250}
                                << Names{"TST3_4", "TST3_5", "TST4_4", "TST4_5"};
    }
    void bufferWindow() {
        QFETCH(P, centre);
        QFETCH(P, origin);
        QFETCH(Names, tiles);
        CFakeView view;
        view.Open({1000, 1000});
        view.SetCentre(centre.x, centre.y);
        QVERIFY(view.RedrawMap(false));
        QCOMPARE(view.m_ptBufferOrigin, origin);
        QCOMPARE(view.Fetched(), tiles);
        QCOMPARE(view.m_nPresents, 1);
        QVERIFY2(view.BufferMismatch().isEmpty(), qPrintable(view.BufferMismatch()));
        QCOMPARE(view.m_ptScreenOrigin, (P{centre.x - 120, centre.y - 134}));
        QCOMPARE(RawPixel(view.m_hbmCompose, 239, 0), MapPixel(centre.x + 119, centre.y - 134));
    }

    void zoomedCellsStretchFromTile() {
        CFakeView view;
        view.Open({750, 325});
        view.ApplyZoom(240, 268, 2.0); // centre (1500, 650): buffer from zoomed (1250, 400)
        QCOMPARE(view.m_ptBufferOrigin, (P{1250, 400}));
        QCOMPARE(view.Fetched(), Names{"TST1_2"});
        // Every second pixel steps one pixel in the tile, from its block at (125, 200).
        for (int k = 0; k < 240; k += 3)
            for (int j = 0; j < 240; j += 5)
                QCOMPARE(RawPixel(view.m_hbmBuffer, 2 * k, 2 * j), MapPixel(625 + k, 200 + j));

        view.Forget();
        view.m_ptPending = {2000, 1500}; // zoomed (1000, 750) at 0.5: buffer from (750, 500)
        view.ApplyZoom(240, 268, 0.5);
        QCOMPARE(view.Fetched(), (Names{"TST3_4", "TST3_5", "TST4_4", "TST4_5"}));
        for (int by = 0; by < 500; by += 11)
            for (int bx = 0; bx < 500; bx += 13) {
                const int x = 2 * (750 + bx), y = 2 * (500 + by);
                const quint16 p = RawPixel(view.m_hbmBuffer, bx, by);
                QVERIFY(p == MapPixel(x, y) || p == MapPixel(x + 1, y) || p == MapPixel(x, y + 1) ||
                        p == MapPixel(x + 1, y + 1));
            }
    }

    void tileGridFromConvertedFiles_data() {
        QTest::addColumn<Names>("files");
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("rows");
        Names twelve;
        for (int i = 0; i < 12; ++i)
            twelve << QStringLiteral("TST%1_%2.cbm").arg(i / 4 + 1).arg(i % 4 + 1);
        QTest::newRow("12 tiles, 4 in row 1") << twelve << 4 << 3;
        QTest::newRow("other files, letter case")
            << Names{"tst1_1.CBM", "Tst1_2.cbm", "TST2_1.cbm", "TST2_2.cbm",
                     "TST3_1.map", "TST3_2.tmp", "Map.dat"}
            << 2 << 2;
        QTest::newRow("no row 1") << Names{"TST2_1.cbm", "TST2_2.cbm", "TST1_1.map"} << 0 << 0;
    }
    void tileGridFromConvertedFiles() {
        QFETCH(Names, files);
        QFETCH(int, columns);
        QFETCH(int, rows);
        CTestRoot root;
        for (const QString& name : files)
            QVERIFY(root.WriteFile("Veldra/Maps/Test/" + name, "x"));
        CFakeView view;
        QVERIFY(view.CreateDrawingSurfaces());
        view.m_szMapFolder = QStringLiteral("\\Veldra\\Maps\\Test");
        view.m_szTilePrefix = QStringLiteral("TST");
        view.ResetViewState();
        QCOMPARE(view.m_nTileColumns, columns);
        QCOMPARE(view.m_nTileRows, rows);
        QVERIFY(view.TileFileExists(1, 1));                                // as .cbm or as .map
        QCOMPARE(view.TileFileExists(3, 2), files.contains("TST3_2.cbm")); // a .tmp does not count
        // An empty grid draws nothing (and divides by nothing).
        view.SetInitialCentre();
        view.ApplyZoom(240, 268, 1.0);
        QCOMPARE(view.m_tiles.m_fetched.isEmpty(), columns == 0);
    }

    void reuseRedrawFetchesOnlyUncoveredCells_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<Names>("tiles");
        QTest::newRow("unchanged") << 0 << Names{};
        QTest::newRow("right") << VK_RIGHT << Names{"TST3_5", "TST4_5"};
        QTest::newRow("left") << VK_LEFT << Names{"TST3_4", "TST4_4"};
        QTest::newRow("up") << VK_UP << Names{"TST3_4", "TST3_5"};
        QTest::newRow("down") << VK_DOWN << Names{"TST4_4", "TST4_5"};
    }
    void reuseRedrawFetchesOnlyUncoveredCells() {
        QFETCH(int, key);
        QFETCH(Names, tiles);
        CFakeView view;
        view.Open();
        QVERIFY(key == 0 ? view.RedrawMap(true) : view.OnKeyUp(key));
        QCOMPARE(view.Fetched(), tiles);
        QCOMPARE(view.m_nPresents, 1);
        // Kept and fetched parts together show the map where it belongs.
        QVERIFY2(view.BufferMismatch().isEmpty(), qPrintable(view.BufferMismatch()));
    }

    void failedFetchStopsWithoutPresenting() {
        CFakeView view;
        view.Open({120, 134});
        view.m_tiles.m_failing.insert(QStringLiteral("TST4_4"));
        view.SetCentre(2000, 1500);
        QVERIFY(!view.RedrawMap(false));
        QCOMPARE(view.m_tiles.m_fetched, (Names{"TST3_4", "TST3_5", "TST4_4"}));
        QCOMPARE(view.m_nPresents, 0);
        QCOMPARE(view.m_ptScreenOrigin, (P{0, 0})); // the screen keeps its image
        QCOMPARE(RawPixel(view.m_hbmBuffer, 0, 0), MapPixel(1750, 1250)); // drawn before
        // The buffer origin has moved already: a reuse redraw keeps it all.
        view.Forget();
        QVERIFY(view.RedrawMap(true));
        QCOMPARE(view.Fetched(), Names{});
        QCOMPARE(view.m_nPresents, 1);
    }

    void markersDrawnInsideClientBounds_data() {
        QTest::addColumn<P>("marker");
        QTest::addColumn<bool>("drawn");
        QTest::addColumn<P>("probe"); // a client pixel the marker would cover
        QTest::newRow("right edge") << P{240, 100} << true << P{239, 100};
        QTest::newRow("bottom edge") << P{100, 268} << true << P{100, 267};
        QTest::newRow("top-left corner") << P{0, 0} << true << P{0, 0};
        QTest::newRow("beyond right") << P{241, 100} << false << P{236, 100};
        QTest::newRow("beyond bottom") << P{100, 269} << false << P{100, 264};
        QTest::newRow("none") << P{-20, -20} << false << P{0, 0};
    }
    void markersDrawnInsideClientBounds() {
        QFETCH(P, marker);
        QFETCH(bool, drawn);
        QFETCH(P, probe);
        for (int index : {CMapViewCore::MARKER_ME, CMapViewCore::MARKER_FLAG}) {
            CFakeView view;
            view.Open({120, 134}); // screen origin (0, 0)
            (index == CMapViewCore::MARKER_ME ? view.m_ptMe : view.m_ptFlag) = marker;
            const QImage shown = view.RenderClientImage();
            const QRgb colour = CMapViewCore::MakeMarkerImage(index).pixel(probe.x - marker.x + 6,
                                                                           probe.y - marker.y + 6);
            if (drawn)
                QCOMPARE(RawPixel(shown, probe.x, probe.y), Rgb565(colour));
            else
                QCOMPARE(shown, view.Plain());
        }
    }

    void markerPatterns() {
        const char* me[12] = {"LLLLKKKLLLLL", "LLLKLLLKLLLL", "LLLKLLLKLLLL", "LLLKLLLKLLLL",
                              "LLLLKKKLLLLL", "LLLLLKLLLLLL", "LLLKKKKKLLLL", "LLLLLKLLLLLL",
                              "LLLLLKLLLLLL", "LLLLLKLLLLLL", "LLLLKLKLLLLL", "LLLKLLLKLLLL"};
        const char* flag[12] = {"CCKKKKKCCCCC", "CCKGGGKKKKCC", "CCKGGGKGGKCC", "CCKGGGKGGKCC",
                                "CCKKKKKGGKCC", "CCKCCCKKKKCC", "CCKCCCCCCCCC", "CCKCCCCCCCCC",
                                "CCKCCCCCCCCC", "CCKCCCCCCCCC", "CCKCCCCCCCCC", "CCKCCCCCCCCC"};
        const auto colour = [](char c) {
            return c == 'K'   ? qRgb(0, 0, 0)
                   : c == 'G' ? qRgb(81, 200, 2)
                   : c == 'C' ? qRgb(0, 255, 255)
                              : qRgb(128, 255, 255);
        };
        CFakeView view;
        view.Open({120, 134});
        view.m_ptMe = {50, 60};
        view.m_ptFlag = {150, 160};
        const QImage shown = view.RenderClientImage();
        for (int y = 0; y < 12; ++y)
            for (int x = 0; x < 12; ++x) {
                QCOMPARE(RawPixel(shown, 44 + x, 54 + y), Rgb565(colour(me[y][x])));
                QCOMPARE(RawPixel(shown, 144 + x, 154 + y), Rgb565(colour(flag[y][x])));
            }
    }

    void targetCrossOnlyWhenClamped_data() {
        QTest::addColumn<P>("request");
        QTest::addColumn<bool>("drawn");
        QTest::newRow("centred exactly") << P{2000, 1500} << false;
        QTest::newRow("top-left corner") << P{0, 0} << true;
        QTest::newRow("near right edge") << P{4990, 1500} << true;
    }
    void targetCrossOnlyWhenClamped() {
        QFETCH(P, request);
        QFETCH(bool, drawn);
        CFakeView view;
        view.Open();
        view.m_bShowTargetCross = true;
        view.SetCentre(request.x, request.y);
        view.RedrawMap(true);
        const QImage shown = view.RenderClientImage();
        const QImage plain = view.Plain();
        const quint16 red = Rgb565(qRgb(255, 0, 0));
        int changed = 0;
        for (int y = 0; y < 268; ++y)
            for (int x = 0; x < 240; ++x)
                if (RawPixel(shown, x, y) != RawPixel(plain, x, y)) {
                    QCOMPARE(RawPixel(shown, x, y), red);
                    ++changed;
                }
        QCOMPARE(changed > 0, drawn);
        const P t{request.x - view.m_ptScreenOrigin.x, request.y - view.m_ptScreenOrigin.y};
        if (drawn) { // through the requested point itself
            QCOMPARE(RawPixel(shown, t.x, t.y), red);
            QCOMPARE(RawPixel(shown, t.x + 5, t.y + 5), red);
        }
    }

    void dragPresentsWithoutFetching() {
        CFakeView view;
        view.Open();
        view.m_bShowTargetCross = true;
        view.OnLButtonDown(100, 100);
        view.OnMouseMove(400, 120); // the image centred on (1700, 1480)
        QCOMPARE(view.m_ptCentre, (P{2000, 1500}));
        QCOMPARE(view.m_ptScreenOrigin, (P{1580, 1346}));
        QVERIFY(!view.m_bShowTargetCross);
        QCOMPARE(RawPixel(view.m_hbmCompose, 0, 10), quint16(0xFFFF)); // beyond the buffer
        QCOMPARE(RawPixel(view.m_hbmCompose, 200, 10), MapPixel(1780, 1356));
        view.OnMouseMove(-10000, -10000); // held at the bottom-right bound
        QCOMPARE(view.m_ptScreenOrigin, (P{4760, 3732}));
        QCOMPARE(view.m_nPresents, 2);
        QCOMPARE(view.Fetched(), Names{});

        view.OnLButtonUp(-10000, -10000);
        QVERIFY(!view.m_bDragging);
        QCOMPARE(view.m_ptCentre, (P{4880, 3866}));
        QCOMPARE(view.Fetched(), Names{"TST8_10"});
        QCOMPARE(view.m_nPresents, 3);
        QCOMPARE(view.m_ptReleaseMark, (P{-6, -6}));
        view.RenderClientImage();
        QCOMPARE(view.m_ptReleaseMark, (P{0, 0}));
    }

    void tapPlacesOnlyAnArmedMarker() {
        CFakeView view;
        view.Open();
        view.OnLButtonDown(50, 60); // nothing armed: an empty drag
        view.OnLButtonUp(50, 60);
        QCOMPARE(view.m_ptCentre, (P{2000, 1500}));
        QCOMPARE(view.Fetched(), Names{});
        QCOMPARE(view.m_nPresents, 1);

        view.m_bMarkMeArmed = view.m_bMarkFlagArmed = true;
        view.OnLButtonDown(10, 20);
        QVERIFY(!view.m_bDragging);
        QCOMPARE(view.m_ptMe, (P{1890, 1386}));
        QCOMPARE(view.m_ptFlag, (P{-20, -20}));
        view.OnLButtonUp(10, 20);
        QVERIFY(view.m_bMePlaced && view.m_bFlagPlaced);
        QVERIFY(!view.m_bMarkMeArmed && !view.m_bMarkFlagArmed);
        QCOMPARE(view.Fetched(), Names{});

        view.m_bMarkFlagArmed = true;
        view.OnLButtonDown(240, 20); // outside the client area
        QCOMPARE(view.m_ptFlag, (P{-20, -20}));
    }

    void keyStepsClampAtBound_data() {
        QTest::addColumn<P>("start");
        QTest::addColumn<int>("key");
        QTest::addColumn<P>("expected");
        QTest::newRow("right") << P{2000, 1500} << VK_RIGHT << P{2100, 1500};
        QTest::newRow("right at bound") << P{4800, 1500} << VK_RIGHT << P{4880, 1500};
        QTest::newRow("left at bound") << P{200, 1500} << VK_LEFT << P{120, 1500};
        QTest::newRow("up") << P{2000, 1500} << VK_UP << P{2000, 1400};
        QTest::newRow("down at bound") << P{2000, 3800} << VK_DOWN << P{2000, 3866};
        QTest::newRow("other key") << P{2000, 1500} << 0x41 << P{2000, 1500};
    }
    void keyStepsClampAtBound() {
        QFETCH(P, start);
        QFETCH(int, key);
        QFETCH(P, expected);
        CFakeView view;
        view.Open(start);
        QCOMPARE(view.OnKeyUp(key), key != 0x41);
        QCOMPARE(view.m_ptCentre, expected);
        QCOMPARE(view.m_nPresents, key != 0x41 ? 1 : 0);
    }

    void zoomStepsKeepTheMapSpots() {
        CFakeView view;
        view.Open();
        view.m_ptMe = {301, 100};
        QList<double> zooms;
        for (int i = 0; i < 7; ++i) {
            i < 3 ? view.OnZoomOut() : view.OnZoomIn();
            zooms << view.m_dZoom;
            if (i == 0)
                QCOMPARE(view.m_ptMe, (P{150, 50}));
            if (i == 4) // back at 1.0
                QCOMPARE(view.m_ptMe, (P{300, 100}));
        }
        QCOMPARE(zooms, (QList<double>{0.5, 0.25, 0.25, 0.5, 1.0, 2.0, 2.0}));
        QVERIFY(view.m_ptFlag.x < 0 && view.m_ptFlag.y < 0);

        CFakeView middle;
        middle.Open({2000, 1500});
        middle.OnZoomIn();
        QCOMPARE(middle.m_ptCentre, (P{4000, 3000}));
        middle.OnZoomOut();
        QCOMPARE(middle.m_ptCentre, (P{2000, 1500}));
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
            QVERIFY(SavePlace(QStringLiteral("Testmap"), QStringLiteral("Home"), home));
        CFakeView view;
        view.m_szMapTitle = QStringLiteral("Testmap");
        view.Open({800, 900});
        view.OnZoomOut();
        view.Forget();
        QCOMPARE(view.GoToHome(), found);
        QCOMPARE(view.m_dZoom, 0.5); // a map position, centred at the zoom in force
        QCOMPARE(view.m_ptCentre, (found ? P{1500, 1000} : P{400, 450}));
        QCOMPARE(view.m_nPresents, found ? 1 : 0);
    }

    void resetViewState() {
        CFakeView view;
        view.Open();
        view.m_ptMe = {100, 100};
        view.m_bMePlaced = view.m_bMarkFlagArmed = view.m_bShowDistance = true;
        view.m_bShowTargetCross = true;
        view.OnZoomIn();
        view.m_buttons.clear();
        view.m_szTilePrefix.clear();
        QVERIFY(view.ResetViewState());
        QCOMPARE(view.m_buttons, (QStringList{"me:0", "flag:0"}));
        QVERIFY(view.m_ptMe == (P{-20, -20}) && view.m_ptCentre == (P{0, 0}) &&
                view.m_dZoom == 1.0);
        QVERIFY(!view.m_bMePlaced && !view.m_bMarkFlagArmed && !view.m_bShowDistance);
        QVERIFY(!view.m_bMapOpen);
        QVERIFY(view.m_bShowTargetCross); // kept, like the client size
        QCOMPARE(view.m_nClientWidth, 240);
    }
};

QTEST_GUILESS_MAIN(TestMapViewCore)
#include "test_map_view_core.moc"
