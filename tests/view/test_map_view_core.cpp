// Tests of the widget-free map view: clamping, the back buffer's window and
// reuse, stretched drawing, overlays and navigation, on a synthetic map whose
// every pixel tells its map position.

#include "places/place_files.h"
#include "test_support.h"
#include "view/map_view_core.h"
#include "view_test_support.h"

#include <QPainter>
#include <QTest>
#include <algorithm>

Q_DECLARE_METATYPE(CPoint)
Q_DECLARE_METATYPE(CSpan)

char* toString(const CPoint& p) {
    return QTest::toString(QStringLiteral("(%1, %2)").arg(p.x).arg(p.y));
}
char* toString(const CSpan& s) {
    return QTest::toString(
        QStringLiteral("dest %1, source %2, length %3").arg(s.nDest).arg(s.nSource).arg(s.nLength));
}

namespace {

// The core with counted fetches and presents and recorded button calls.
class CFakeView : public CMapViewCore {
public:
    bool FetchTile(const QString& name, const QImage*& bitmap) override {
        return m_tiles.Fetch(m_szTilePrefix, name, bitmap);
    }
    void ShowComposedImage() override { ++m_nPresents; }
    void CheckMarkMeButton(bool pressed) override {
        m_buttons << QStringLiteral("me:%1").arg(pressed);
    }
    void CheckMarkFlagButton(bool pressed) override {
        m_buttons << QStringLiteral("flag:%1").arg(pressed);
    }

    // Shows a synthetic map of columns x rows tiles at zoom 1.0, centred on a
    // map position, then forgets the fetches and presents of doing so.
    void Open(int columns, int rows, CPoint centre = {2000, 1500}, int cw = 240, int ch = 268) {
        CreateDrawingSurfaces();
        m_szTilePrefix = QStringLiteral("TST");
        m_nTileColumns = columns;
        m_nTileRows = rows;
        m_nTileWidth = m_nTileHeight = 500;
        m_bMapOpen = true;
        m_ptPending = centre;
        ApplyZoom(cw, ch, 1.0);
        Forget();
    }
    void Forget() {
        m_tiles.m_fetched.clear();
        m_nPresents = 0;
    }
    QStringList Fetched() const {
        QStringList names = m_tiles.m_fetched;
        names.sort();
        return names;
    }
    // First back-buffer pixel (zoom 1.0) that does not show its map position,
    // checking every step-th pixel inside the map; empty when all do.
    QString BufferMismatch(int step = 7) const {
        for (int by = 0; by < m_nBufferHeight; by += step)
            for (int bx = 0; bx < m_nBufferWidth; bx += step) {
                const int x = m_ptBufferOrigin.x + bx, y = m_ptBufferOrigin.y + by;
                if (x < m_nMapWidth && y < m_nMapHeight &&
                    RawPixel(m_hbmBuffer, bx, by) != MapPixel(x, y))
                    return QStringLiteral("buffer (%1, %2)").arg(bx).arg(by);
            }
        return {};
    }

    CSyntheticTiles m_tiles;
    int m_nPresents = 0;
    QStringList m_buttons;
};

const QStringList kNone;

} // namespace

class TestMapViewCore : public QObject {
    Q_OBJECT
private slots:
    void clipSpan_data() {
        QTest::addColumn<int>("delta");
        QTest::addColumn<int>("sizeA");
        QTest::addColumn<int>("sizeB");
        QTest::addColumn<CSpan>("expected");
        QTest::newRow("no shift") << 0 << 500 << 500 << CSpan{0, 0, 500};
        QTest::newRow("shift right") << 100 << 500 << 500 << CSpan{100, 0, 400};
        QTest::newRow("shift left") << -100 << 500 << 500 << CSpan{0, 100, 400};
        QTest::newRow("no overlap") << 600 << 500 << 500 << CSpan{600, 0, -100};
        QTest::newRow("client narrower") << 50 << 500 << 240 << CSpan{50, 0, 190};
        QTest::newRow("client inside") << -130 << 500 << 240 << CSpan{0, 130, 240};
    }
    void clipSpan() {
        QFETCH(int, delta);
        QFETCH(int, sizeA);
        QFETCH(int, sizeB);
        QFETCH(CSpan, expected);
        QCOMPARE(CMapViewCore::ClipSpan(delta, sizeA, sizeB), expected);
    }

    void setCentreClamps_data() {
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("rows");
        QTest::addColumn<CPoint>("request");
        QTest::addColumn<CPoint>("expected");
        QTest::newRow("top-left") << 10 << 8 << CPoint{0, 0} << CPoint{120, 134};
        QTest::newRow("bottom-right") << 10 << 8 << CPoint{6000, 6000} << CPoint{4880, 3866};
        QTest::newRow("inside") << 10 << 8 << CPoint{2000, 1500} << CPoint{2000, 1500};
        // A map smaller than the client area: the upper bound wins.
        QTest::newRow("small map") << 0 << 0 << CPoint{300, 300} << CPoint{-120, -134};
    }
    void setCentreClamps() {
        QFETCH(int, columns);
        QFETCH(int, rows);
        QFETCH(CPoint, request);
        QFETCH(CPoint, expected);
        CFakeView view;
        view.Open(columns, rows);
        view.SetCentre(request.x, request.y);
        QCOMPARE(view.m_ptCentre, expected);
        QCOMPARE(view.m_ptRequested, request);
    }

    void clientAreaNeverExceedsBuffer() {
        CFakeView view;
        view.Open(10, 8);
        view.ApplyZoom(600, 0x10000 - 1, 1.0);
        QCOMPARE(view.m_nClientWidth, 500);
        QCOMPARE(view.m_nClientHeight, 500);
        view.ApplyZoom(-5, 100, 1.0);
        QCOMPARE(view.m_nClientWidth, 0);
    }

    void bufferWindow_data() {
        QTest::addColumn<CPoint>("centre");
        QTest::addColumn<CPoint>("origin");
        QTest::addColumn<QStringList>("tiles");
        QTest::newRow("top-left") << CPoint{120, 134} << CPoint{0, 0} << QStringList{"TST1_1"};
        QTest::newRow("bottom-right")
            << CPoint{4880, 3866} << CPoint{4500, 3500} << QStringList{"TST8_10"};
        QTest::newRow("middle") << CPoint{2000, 1500} << CPoint{1750, 1250}
                                << QStringList{"TST3_4", "TST3_5", "TST4_4", "TST4_5"};
    }
    void bufferWindow() {
        QFETCH(CPoint, centre);
        QFETCH(CPoint, origin);
        QFETCH(QStringList, tiles);
        CFakeView view;
        view.Open(10, 8, {1000, 1000});
        view.SetCentre(centre.x, centre.y);
        QVERIFY(view.RedrawMap(false));
        QCOMPARE(view.m_ptBufferOrigin, origin);
        QCOMPARE(view.Fetched(), tiles);
        QCOMPARE(view.m_nPresents, 1);
        QVERIFY2(view.BufferMismatch(3).isEmpty(), qPrintable(view.BufferMismatch(3)));
        // The client shows the buffer around the centre.
        QCOMPARE(view.m_ptScreenOrigin, (CPoint{centre.x - 120, centre.y - 134}));
        QCOMPARE(RawPixel(view.m_hbmCompose, 239, 0), MapPixel(centre.x + 119, centre.y - 134));
    }

    void zoomedCellsStretchFromTile() {
        CFakeView view;
        view.Open(10, 8, {750, 325});
        view.ApplyZoom(240, 268, 2.0); // centre (1500, 650): buffer from zoomed (1250, 400)
        QCOMPARE(view.m_nZoomedTileWidth, 1000);
        QCOMPARE(view.m_ptBufferOrigin, (CPoint{1250, 400}));
        QCOMPARE(view.Fetched(), QStringList{"TST1_2"});
        // Every second pixel steps one pixel in the tile, from its block at (125, 200).
        for (int k = 0; k < 240; k += 3)
            for (int j = 0; j < 240; j += 5)
                QCOMPARE(RawPixel(view.m_hbmBuffer, 2 * k, 2 * j),
                         MapPixel(500 + 125 + k, 200 + j));

        view.Forget();
        view.m_ptPending = {2000, 1500}; // zoomed (1000, 750) at 0.5: buffer from (750, 500)
        view.ApplyZoom(240, 268, 0.5);
        QCOMPARE(view.m_ptBufferOrigin, (CPoint{750, 500}));
        QCOMPARE(view.Fetched(), (QStringList{"TST3_4", "TST3_5", "TST4_4", "TST4_5"}));
        for (int by = 0; by < 500; by += 11)
            for (int bx = 0; bx < 500; bx += 13) {
                const int x = 2 * (750 + bx), y = 2 * (500 + by);
                const quint16 p = RawPixel(view.m_hbmBuffer, bx, by);
                QVERIFY2(p == MapPixel(x, y) || p == MapPixel(x + 1, y) ||
                             p == MapPixel(x, y + 1) || p == MapPixel(x + 1, y + 1),
                         qPrintable(QStringLiteral("(%1, %2)").arg(bx).arg(by)));
            }
    }

    void tileGridFromConvertedFiles_data() {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("rows");
        QStringList twelve;
        for (int r = 1; r <= 3; ++r)
            for (int c = 1; c <= 4; ++c)
                twelve << QStringLiteral("TST%1_%2.cbm").arg(r).arg(c);
        QTest::newRow("12 tiles, 4 in row 1") << twelve << 4 << 3;
        QTest::newRow("other files ignored")
            << QStringList{"TST1_1.cbm", "TST1_2.cbm", "TST2_1.cbm", "TST2_2.cbm",
                           "TST3_1.map", "TST3_2.tmp", "Map.dat",    "Streets.idx"}
            << 2 << 2;
        QTest::newRow("letter case")
            << QStringList{"tst1_1.CBM", "Tst1_2.cbm", "TST2_1.cbm", "TST2_2.Cbm"} << 2 << 2;
        QTest::newRow("no row 1") << QStringList{"TST2_1.cbm", "TST2_2.cbm"} << 0 << 0;
    }
    void tileGridFromConvertedFiles() {
        QFETCH(QStringList, files);
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
        QCOMPARE(view.m_nTileWidth, 500);
        // An empty grid draws nothing (and divides by nothing).
        view.SetInitialCentre();
        view.ApplyZoom(240, 268, 1.0);
        QCOMPARE(view.m_tiles.m_fetched.isEmpty(), columns == 0);
    }

    void tileFileExists() {
        CTestRoot root;
        QVERIFY(root.WriteFile("Veldra/Maps/Test/TST1_1.cbm", "x"));
        QVERIFY(root.WriteFile("Veldra/Maps/Test/TST1_2.map", "x"));
        QVERIFY(root.WriteFile("Veldra/Maps/Test/TST2_2.tmp", "x"));
        CFakeView view;
        view.m_szMapFolder = QStringLiteral("\\Veldra\\Maps\\Test");
        view.m_szTilePrefix = QStringLiteral("TST");
        QVERIFY(view.TileFileExists(1, 1));
        QVERIFY(view.TileFileExists(1, 2));
        QVERIFY(!view.TileFileExists(2, 2));
        QVERIFY(!view.TileFileExists(2, 1));
    }

    void reuseRedrawFetchesOnlyUncoveredCells_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<QStringList>("tiles");
        QTest::newRow("unchanged") << 0 << kNone;
        QTest::newRow("right") << VK_RIGHT << QStringList{"TST3_5", "TST4_5"};
        QTest::newRow("left") << VK_LEFT << QStringList{"TST3_4", "TST4_4"};
        QTest::newRow("up") << VK_UP << QStringList{"TST3_4", "TST3_5"};
        QTest::newRow("down") << VK_DOWN << QStringList{"TST4_4", "TST4_5"};
    }
    void reuseRedrawFetchesOnlyUncoveredCells() {
        QFETCH(int, key);
        QFETCH(QStringList, tiles);
        CFakeView view;
        view.Open(10, 8, {2000, 1500});
        if (key == 0)
            QVERIFY(view.RedrawMap(true));
        else
            QVERIFY(view.OnKeyUp(key));
        QCOMPARE(view.Fetched(), tiles);
        QCOMPARE(view.m_nPresents, 1);
        // Kept and fetched parts together show the map where it belongs.
        QVERIFY2(view.BufferMismatch(1).isEmpty(), qPrintable(view.BufferMismatch(1)));
    }

    void failedFetchStopsWithoutPresenting() {
        CFakeView view;
        view.Open(10, 8, {120, 134});
        view.m_tiles.m_failing.insert(QStringLiteral("TST4_4"));
        view.SetCentre(2000, 1500);
        QVERIFY(!view.RedrawMap(false));
        QCOMPARE(view.m_tiles.m_fetched, (QStringList{"TST3_4", "TST3_5", "TST4_4"}));
        QCOMPARE(view.m_nPresents, 0);
        QCOMPARE(view.m_ptScreenOrigin, (CPoint{0, 0})); // the screen keeps its image
        QCOMPARE(view.m_ptBufferOrigin, (CPoint{1750, 1250}));
        QCOMPARE(RawPixel(view.m_hbmBuffer, 0, 0),
                 MapPixel(1750, 1250)); // drawn before the failure
        // With the same buffer origin a reuse redraw treats all as kept.
        view.Forget();
        QVERIFY(view.RedrawMap(true));
        QCOMPARE(view.Fetched(), kNone);
        QCOMPARE(view.m_nPresents, 1);
    }

    void markersDrawnInsideClientBounds_data() {
        QTest::addColumn<CPoint>("marker");
        QTest::addColumn<bool>("drawn");
        QTest::addColumn<CPoint>("probe"); // a client pixel the marker would cover
        QTest::newRow("right edge") << CPoint{240, 100} << true << CPoint{239, 100};
        QTest::newRow("bottom edge") << CPoint{100, 268} << true << CPoint{100, 267};
        QTest::newRow("top-left corner") << CPoint{0, 0} << true << CPoint{0, 0};
        QTest::newRow("beyond right") << CPoint{241, 100} << false << CPoint{236, 100};
        QTest::newRow("beyond bottom") << CPoint{100, 269} << false << CPoint{100, 264};
        QTest::newRow("none") << CPoint{-20, -20} << false << CPoint{0, 0};
    }
    void markersDrawnInsideClientBounds() {
        QFETCH(CPoint, marker);
        QFETCH(bool, drawn);
        QFETCH(CPoint, probe);
        for (int index : {CMapViewCore::MARKER_ME, CMapViewCore::MARKER_FLAG}) {
            CFakeView view;
            view.Open(10, 8, {120, 134}); // screen origin (0, 0)
            (index == CMapViewCore::MARKER_ME ? view.m_ptMe : view.m_ptFlag) = marker;
            const QImage shown = view.RenderClientImage();
            const QImage plain = view.m_hbmCompose.copy(0, 0, 240, 268);
            if (!drawn) {
                QCOMPARE(shown, plain);
                continue;
            }
            const QImage image = CMapViewCore::MakeMarkerImage(index);
            const QRgb expected = image.pixel(probe.x - (marker.x - 6), probe.y - (marker.y - 6));
            QCOMPARE(RawPixel(shown, probe.x, probe.y), Rgb565(expected));
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
        view.Open(10, 8, {120, 134});
        view.m_ptMe = {50, 60};
        view.m_ptFlag = {150, 160};
        const QImage shown = view.RenderClientImage();
        for (int y = 0; y < 12; ++y)
            for (int x = 0; x < 12; ++x) {
                QCOMPARE(RawPixel(shown, 44 + x, 54 + y), Rgb565(colour(me[y][x])));
                QCOMPARE(RawPixel(shown, 144 + x, 154 + y), Rgb565(colour(flag[y][x])));
            }
        // "me" is drawn first, so a flag on the same spot covers it.
        view.m_ptFlag = view.m_ptMe;
        QCOMPARE(RawPixel(view.RenderClientImage(), 44, 54), Rgb565(colour(flag[0][0])));
    }

    void markersFollowZoom() {
        CFakeView view;
        view.Open(10, 8, {2000, 1500});
        view.m_ptMe = {301, 100};
        view.OnZoomOut();
        QCOMPARE(view.m_ptMe, (CPoint{150, 50}));
        QVERIFY(view.m_ptFlag.x < 0 && view.m_ptFlag.y < 0);
        view.OnZoomIn();
        QCOMPARE(view.m_ptMe, (CPoint{300, 100}));
        QCOMPARE(view.m_ptFlag, (CPoint{-20, -20}));
    }

    void targetCrossOnlyWhenClamped_data() {
        QTest::addColumn<CPoint>("request");
        QTest::addColumn<bool>("drawn");
        QTest::newRow("centred exactly") << CPoint{2000, 1500} << false;
        QTest::newRow("top-left corner") << CPoint{0, 0} << true;
        QTest::newRow("near right edge") << CPoint{4990, 1500} << true;
    }
    void targetCrossOnlyWhenClamped() {
        QFETCH(CPoint, request);
        QFETCH(bool, drawn);
        CFakeView view;
        view.Open(10, 8);
        view.m_bShowTargetCross = true;
        view.SetCentre(request.x, request.y);
        view.RedrawMap(true);
        const QImage shown = view.RenderClientImage();
        const QImage plain = view.m_hbmCompose.copy(0, 0, 240, 268);
        const quint16 red = Rgb565(qRgb(255, 0, 0));
        int changed = 0;
        for (int y = 0; y < 268; ++y)
            for (int x = 0; x < 240; ++x)
                if (RawPixel(shown, x, y) != RawPixel(plain, x, y)) {
                    QCOMPARE(RawPixel(shown, x, y), red);
                    ++changed;
                }
        QCOMPARE(changed > 0, drawn);
        if (drawn) {
            const int tx = request.x - view.m_ptScreenOrigin.x;
            const int ty = request.y - view.m_ptScreenOrigin.y;
            for (int d : {0, 2, 5})
                QCOMPARE(RawPixel(shown, tx + d, ty + d), red);
        }
    }

    void dragPresentsWithoutFetching() {
        CFakeView view;
        view.Open(10, 8, {2000, 1500});
        view.m_bShowTargetCross = true;
        view.OnLButtonDown(100, 100);
        view.OnMouseMove(400, 120); // image centred on (1700, 1480)
        QCOMPARE(view.m_nPresents, 1);
        QCOMPARE(view.m_ptCentre, (CPoint{2000, 1500}));
        QCOMPARE(view.m_ptScreenOrigin, (CPoint{1580, 1346}));
        QVERIFY(!view.m_bShowTargetCross);
        QCOMPARE(RawPixel(view.m_hbmCompose, 0, 10), quint16(0xFFFF)); // left of the buffer
        QCOMPARE(RawPixel(view.m_hbmCompose, 200, 10), MapPixel(1780, 1356));

        view.OnMouseMove(-10000, -10000); // held at the bottom-right bound
        QCOMPARE(view.m_ptScreenOrigin, (CPoint{4760, 3732}));
        QCOMPARE(view.m_nPresents, 2);
        QCOMPARE(view.Fetched(), kNone);

        view.OnLButtonUp(-10000, -10000);
        QVERIFY(!view.m_bDragging);
        QCOMPARE(view.m_ptCentre, (CPoint{4880, 3866}));
        QCOMPARE(view.Fetched(), QStringList{"TST8_10"});
        QCOMPARE(view.m_nPresents, 3);
        QCOMPARE(view.m_ptReleaseMark, (CPoint{-6, -6}));
        view.RenderClientImage();
        QCOMPARE(view.m_ptReleaseMark, (CPoint{0, 0}));
    }

    void tapWithoutArmedMarkerFetchesNothing() {
        CFakeView view;
        view.Open(10, 8, {2000, 1500});
        view.OnLButtonDown(50, 60);
        view.OnLButtonUp(50, 60);
        QCOMPARE(view.m_ptCentre, (CPoint{2000, 1500}));
        QCOMPARE(view.Fetched(), kNone);
        QCOMPARE(view.m_nPresents, 1);
    }

    void tapPlacesArmedMarker() {
        CFakeView view;
        view.Open(10, 8, {2000, 1500});
        view.m_bMarkMeArmed = view.m_bMarkFlagArmed = true;
        view.OnLButtonDown(10, 20);
        QVERIFY(!view.m_bDragging);
        QCOMPARE(view.m_ptMe, (CPoint{1890, 1386}));
        QCOMPARE(view.m_ptFlag, (CPoint{-20, -20}));
        view.OnLButtonUp(10, 20);
        QVERIFY(view.m_bMePlaced && view.m_bFlagPlaced);
        QVERIFY(!view.m_bMarkMeArmed && !view.m_bMarkFlagArmed);
        QCOMPARE(view.m_ptCentre, (CPoint{2000, 1500}));
        QCOMPARE(view.Fetched(), kNone);
        QCOMPARE(view.m_nPresents, 1);

        // A tap outside the client area places nothing.
        view.m_bMarkFlagArmed = true;
        view.OnLButtonDown(240, 20);
        QCOMPARE(view.m_ptFlag, (CPoint{-20, -20}));
    }

    void keyStepsClampAtBound_data() {
        QTest::addColumn<CPoint>("start");
        QTest::addColumn<int>("key");
        QTest::addColumn<CPoint>("expected");
        QTest::newRow("right") << CPoint{2000, 1500} << VK_RIGHT << CPoint{2100, 1500};
        QTest::newRow("right at bound") << CPoint{4800, 1500} << VK_RIGHT << CPoint{4880, 1500};
        QTest::newRow("left at bound") << CPoint{200, 1500} << VK_LEFT << CPoint{120, 1500};
        QTest::newRow("up") << CPoint{2000, 1500} << VK_UP << CPoint{2000, 1400};
        QTest::newRow("down at bound") << CPoint{2000, 3800} << VK_DOWN << CPoint{2000, 3866};
        QTest::newRow("other key") << CPoint{2000, 1500} << 0x41 << CPoint{2000, 1500};
    }
    void keyStepsClampAtBound() {
        QFETCH(CPoint, start);
        QFETCH(int, key);
        QFETCH(CPoint, expected);
        CFakeView view;
        view.Open(10, 8, start);
        QCOMPARE(view.OnKeyUp(key), key != 0x41);
        QCOMPARE(view.m_ptCentre, expected);
        QCOMPARE(view.m_nPresents, key != 0x41 ? 1 : 0);
    }

    void zoomStopsAtLimits() {
        CFakeView view;
        view.Open(10, 8);
        QList<double> zooms;
        for (int i = 0; i < 3; ++i) {
            view.OnZoomOut();
            zooms << view.m_dZoom;
        }
        for (int i = 0; i < 4; ++i) {
            view.OnZoomIn();
            zooms << view.m_dZoom;
        }
        QCOMPARE(zooms, (QList<double>{0.5, 0.25, 0.25, 0.5, 1.0, 2.0, 2.0}));
        view.Forget();
        view.OnZoomIn(); // at the limit: nothing is redrawn
        QCOMPARE(view.m_nPresents, 0);
    }

    void zoomKeepsMiddle() {
        CFakeView view;
        view.Open(10, 8, {2000, 1500});
        view.OnZoomIn();
        QCOMPARE(view.m_ptCentre, (CPoint{4000, 3000}));
        QCOMPARE(view.m_nMapWidth, 10000);
        QCOMPARE(view.m_nMapHeight, 8000);
        view.OnZoomOut();
        QCOMPARE(view.m_ptCentre, (CPoint{2000, 1500}));
    }

    void initialCentreAndPendingPosition() {
        CFakeView view;
        view.Open(10, 8);
        view.m_ptCentre = {};
        view.SetInitialCentre();
        QCOMPARE(view.m_ptCentre, (CPoint{2500, 2000}));
        view.m_ptCentre = {};
        view.m_ptPending = {3000, 0}; // counts as set only with both coordinates
        view.SetInitialCentre();
        QCOMPARE(view.m_ptCentre, (CPoint{0, 0}));
        view.ApplyZoom(240, 268, 0.5);
        QCOMPARE(view.m_ptPending, (CPoint{3000, 0}));
        view.m_ptPending = {3000, 2000};
        view.ApplyZoom(240, 268, 0.5); // a map position taken at the zoom in force
        QCOMPARE(view.m_ptCentre, (CPoint{1500, 1000}));
        QCOMPARE(view.m_ptPending, (CPoint{0, 0}));
    }

    void goToHome_data() {
        QTest::addColumn<bool>("saved");
        QTest::addColumn<QPoint>("home");
        QTest::addColumn<bool>("found");
        QTest::newRow("home") << true << QPoint(3000, 2000) << true;
        QTest::newRow("no home") << false << QPoint() << false;
        QTest::newRow("zero x") << true << QPoint(0, 2000) << false;
        QTest::newRow("zero y") << true << QPoint(3000, 0) << false;
    }
    void goToHome() {
        QFETCH(bool, saved);
        QFETCH(QPoint, home);
        QFETCH(bool, found);
        CTestRoot root;
        if (saved)
            QVERIFY(SavePlace(QStringLiteral("Testmap"), QStringLiteral("Home"), home));
        CFakeView view;
        view.m_szMapTitle = QStringLiteral("Testmap");
        view.Open(10, 8, {800, 900});
        view.OnZoomOut();
        view.Forget();
        QCOMPARE(view.GoToHome(), found);
        QCOMPARE(view.m_dZoom, 0.5);
        QCOMPARE(view.m_ptCentre, (found ? CPoint{1500, 1000} : CPoint{400, 450}));
        QCOMPARE(view.m_nPresents, found ? 1 : 0);
    }

    void resetViewState() {
        CFakeView view;
        view.Open(10, 8);
        view.m_ptMe = {100, 100};
        view.m_bMePlaced = view.m_bMarkFlagArmed = view.m_bShowDistance = true;
        view.m_bShowTargetCross = true;
        view.m_strLastSearch = QStringLiteral("High");
        view.OnZoomIn();
        view.m_buttons.clear();
        view.m_szTilePrefix.clear();
        QVERIFY(view.ResetViewState());
        QCOMPARE(view.m_buttons, (QStringList{"me:0", "flag:0"}));
        QCOMPARE(view.m_ptMe, (CPoint{-20, -20}));
        QCOMPARE(view.m_dZoom, 1.0);
        QCOMPARE(view.m_ptCentre, (CPoint{0, 0}));
        QCOMPARE(view.m_nMapWidth, 0);
        QVERIFY(!view.m_bMePlaced && !view.m_bMarkFlagArmed && !view.m_bShowDistance);
        QVERIFY(!view.m_bMapOpen);
        // Kept across a reset: the target cross switch, the client size and the search.
        QVERIFY(view.m_bShowTargetCross);
        QCOMPARE(view.m_nClientWidth, 240);
        QCOMPARE(view.m_strLastSearch, QStringLiteral("High"));
    }
};

QTEST_GUILESS_MAIN(TestMapViewCore)
#include "test_map_view_core.moc"
