// Tests of the widget-free map view on a synthetic map whose every pixel
// tells its map position: clamping, the back buffer's window and reuse,
// stretched cells, overlays and navigation.

#include "test_support.h"
#include "view/map_view_core.h"
#include "view_test_support.h"

#include <QTest>

Q_DECLARE_METATYPE(CSpan)

namespace {

using P = CPoint;
using Names = QStringList;

} // namespace

class TestMapViewCore : public QObject {
    Q_OBJECT
private slots:
    void clipSpan_data() {
        QTest::addColumn<int>("delta");
        QTest::addColumn<int>("sizeB");
        QTest::addColumn<CSpan>("expected");
        QTest::newRow("right") << 100 << 500 << CSpan{100, 0, 400};
        QTest::newRow("left") << -100 << 500 << CSpan{0, 100, 400};
        QTest::newRow("no overlap") << 600 << 500 << CSpan{600, 0, -100};
        QTest::newRow("client inside") << -130 << 240 << CSpan{0, 130, 240};
    }
    void clipSpan() {
        QFETCH(int, delta);
        QFETCH(int, sizeB);
        QFETCH(CSpan, expected);
        QVERIFY(CMapViewCore::ClipSpan(delta, 500, sizeB) == expected);
    }

    void centreClampsAndBufferWindow_data() {
        QTest::addColumn<double>("zoom");
        QTest::addColumn<P>("request");
        QTest::addColumn<P>("centre");
        QTest::addColumn<P>("origin");
        QTest::addColumn<Names>("tiles");
        QTest::newRow("top-left") << 1.0 << P{0, 0} << P{120, 134} << P{0, 0} << Names{"TST1_1"};
        QTest::newRow("bottom-right")
            << 1.0 << P{6000, 6000} << P{4880, 3866} << P{4500, 3500} << Names{"TST8_10"};
        QTest::newRow("inside") << 1.0 << P{2000, 1500} << P{2000, 1500} << P{1750, 1250}
                                << Names{"TST3_4", "TST3_5", "TST4_4", "TST4_5"};
        // Zoomed cells stretch one tile pixel over 2 x 2, from its block at (125, 200).
        QTest::newRow("zoom 2.0") << 2.0 << P{1500, 650} << P{1500, 650} << P{1250, 400}
                                  << Names{"TST1_2"};
    }
    void centreClampsAndBufferWindow() {
        QFETCH(double, zoom);
        QFETCH(P, request);
        QFETCH(P, centre);
        QFETCH(P, origin);
        QFETCH(Names, tiles);
        CFakeView view;
        view.Open({1000, 1000}, zoom);
        view.SetCentre(request.x, request.y);
        QCOMPARE(view.m_ptCentre, centre);
        QVERIFY(view.RedrawMap(false));
        QCOMPARE(view.m_ptBufferOrigin, origin);
        QCOMPARE(view.Fetched(), tiles);
        QCOMPARE(view.m_nPresents, 1);
        QVERIFY2(view.BufferMismatch().isEmpty(), qPrintable(view.BufferMismatch()));
        // The client image's top-right pixel.
        QCOMPARE(RawPixel(view.m_hbmCompose, 239, 0), view.Zoomed(centre.x + 119, centre.y - 134));
        // The client area is held to the back buffer's size.
        view.ApplyZoom(600, 0xFFFF, zoom);
        QCOMPARE(QSize(view.m_nClientWidth, view.m_nClientHeight), QSize(500, 500));
    }

    // The grid comes from the converted files (counted in the picture test);
    // without a first row it is empty and draws nothing (nor divides by zero).
    void emptyTileGridDrawsNothing() {
        CTestRoot root;
        for (const char* name : {"TST2_1.cbm", "TST2_2.cbm", "TST1_1.map"})
            QVERIFY(root.WriteFile(QStringLiteral("Veldra/Maps/Test/") + name, "x"));
        CFakeView view;
        QVERIFY(view.CreateDrawingSurfaces());
        view.m_szMapFolder = QStringLiteral("\\Veldra\\Maps\\Test");
        view.m_szTilePrefix = QStringLiteral("TST");
        view.ResetViewState();
        QCOMPARE(QSize(view.m_nTileColumns, view.m_nTileRows), QSize(0, 0));
        QVERIFY(view.TileFileExists(1, 1)); // as .cbm or as .map
        view.SetInitialCentre();
        view.ApplyZoom(240, 268, 1.0);
        QVERIFY(view.m_fetched.isEmpty());
    }

    // Key releases step the centre and redraw reusing the buffer: only the
    // cells the old buffer did not hold are fetched.
    void keysAndReuseRedraw_data() {
        QTest::addColumn<P>("start");
        QTest::addColumn<int>("key"); // 0: a reuse redraw without a move
        QTest::addColumn<P>("centre");
        QTest::addColumn<Names>("tiles");
        QTest::newRow("unchanged") << P{2000, 1500} << 0 << P{2000, 1500} << Names{};
        QTest::newRow("right") << P{2000, 1500} << VK_RIGHT << P{2100, 1500}
                               << Names{"TST3_5", "TST4_5"};
        QTest::newRow("up") << P{2000, 1500} << VK_UP << P{2000, 1400} << Names{"TST3_4", "TST3_5"};
        QTest::newRow("right at bound") << P{4800, 1500} << VK_RIGHT << P{4880, 1500} << Names{};
        QTest::newRow("other key") << P{2000, 1500} << 0x41 << P{2000, 1500} << Names{};
    }
    void keysAndReuseRedraw() {
        QFETCH(P, start);
        QFETCH(int, key);
        QFETCH(P, centre);
        QFETCH(Names, tiles);
        CFakeView view;
        view.Open(start);
        QCOMPARE(key == 0 ? view.RedrawMap(true) : view.OnKeyUp(key), key != 0x41);
        QCOMPARE(view.m_ptCentre, centre);
        QCOMPARE(view.Fetched(), tiles);
        QCOMPARE(view.m_nPresents, key == 0x41 ? 0 : 1);
        // Kept and fetched parts together show the map where it belongs.
        QVERIFY2(view.BufferMismatch().isEmpty(), qPrintable(view.BufferMismatch()));
    }

    void failedFetchStopsWithoutPresenting() {
        CFakeView view;
        view.Open({120, 134});
        view.m_failing.insert(QStringLiteral("TST4_4"));
        view.SetCentre(2000, 1500);
        QVERIFY(!view.RedrawMap(false));
        QCOMPARE(view.m_fetched, (Names{"TST3_4", "TST3_5", "TST4_4"}));
        QCOMPARE(view.m_nPresents, 0);
        QCOMPARE(view.m_ptScreenOrigin, (P{0, 0})); // the screen keeps its image
    }

    // A marker is drawn while its centre lies inside the client area, edges included.
    void markersDrawnInsideClientBounds_data() {
        QTest::addColumn<P>("me");
        QTest::addColumn<P>("flag");
        QTest::addColumn<bool>("drawn");
        QTest::newRow("right and bottom edges") << P{240, 100} << P{100, 268} << true;
        QTest::newRow("just beyond") << P{241, 100} << P{100, 269} << false;
        QTest::newRow("none") << P{-20, -20} << P{-20, -20} << false;
    }
    void markersDrawnInsideClientBounds() {
        QFETCH(P, me);
        QFETCH(P, flag);
        QFETCH(bool, drawn);
        CFakeView view;
        view.Open({120, 134}); // screen origin (0, 0)
        view.m_ptMe = me;
        view.m_ptFlag = flag;
        const QImage shown = view.RenderClientImage();
        if (!drawn)
            QCOMPARE(shown, view.Plain());
        else { // the markers' pixels just inside the edges
            const auto& images = view.m_hMarkerImages;
            QCOMPARE(RawPixel(shown, 239, 100),
                     Rgb565(images[CMapViewCore::MARKER_ME].pixel(5, 6)));
            QCOMPARE(RawPixel(shown, 100, 267),
                     Rgb565(images[CMapViewCore::MARKER_FLAG].pixel(6, 5)));
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
        QCOMPARE(shown != view.Plain(), drawn);
        // A pixel on the cross through the requested point.
        const P t{request.x - view.m_ptScreenOrigin.x + 5, request.y - view.m_ptScreenOrigin.y + 5};
        QCOMPARE(RawPixel(shown, t.x, t.y) == Rgb565(qRgb(255, 0, 0)), drawn);
    }

    void dragPresentsWithoutFetching() {
        CFakeView view;
        view.Open();
        view.OnLButtonDown(100, 100);
        view.OnMouseMove(400, 120); // the image centred on (1700, 1480)
        QCOMPARE(view.m_ptCentre, (P{2000, 1500}));
        QCOMPARE(view.m_ptScreenOrigin, (P{1580, 1346}));
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
    }

    // Drawn from converted tiles on disk, zooming 1.0 -> 0.25 -> 0.5 -> 1.0
    // -> 0.25 fetches by the same rules and shows the same pixels with kept
    // tiles as without, but reads each tile file only once.
    void keptTilesReadEachFileOnce() {
        CTestRoot root;
        QVERIFY(WriteTemplate(root) && root.MakeDir("Veldra/Maps/Round"));
        struct CCountingView : CMapViewCore {
            bool FetchTile(const QString& name, const QImage*& bitmap) override {
                m_fetched.append(name);
                return CMapViewCore::FetchTile(name, bitmap);
            }
            Names m_fetched;
        } plain, kept;
        plain.m_tileCache.SetCacheLimit(0);
        QImage tile(500, 500, kDisplayFormat);
        for (int r = 1; r <= 5; ++r)
            for (int c = 1; c <= 6; ++c) {
                for (int y = 0; y < 500; ++y)
                    for (int x = 0; x < 500; ++x)
                        reinterpret_cast<quint16*>(tile.scanLine(y))[x] =
                            MapPixel(500 * (c - 1) + x, 500 * (r - 1) + y);
                QVERIFY(WriteCompressedTile(
                    "\\Veldra\\Maps\\Round", QStringLiteral("tst%1_%2").arg(r).arg(c), tile));
            }
        for (CCountingView* view : {&plain, &kept}) {
            view->m_szMapFolder = "\\Veldra\\Maps\\Round";
            view->m_szTilePrefix = "tst";
            QVERIFY(view->CreateDrawingSurfaces() && view->ResetViewState());
            view->m_ptPending = {1400, 1300};
        }
        for (double zoom : {1.0, 0.25, 0.5, 1.0, 0.25}) {
            plain.ApplyZoom(240, 268, zoom);
            kept.ApplyZoom(240, 268, zoom);
            QVERIFY(kept.m_hbmBuffer == plain.m_hbmBuffer);
        }
        QCOMPARE(kept.m_fetched, plain.m_fetched);
        const QSet<QString> tiles(kept.m_fetched.begin(), kept.m_fetched.end());
        QVERIFY(kept.m_fetched.size() > tiles.size() + 4);
        QCOMPARE(plain.m_tileCache.m_nTileReads, uint64_t(plain.m_fetched.size()));
        QCOMPARE(kept.m_tileCache.m_nTileReads, uint64_t(tiles.size()));
    }
};

QTEST_GUILESS_MAIN(TestMapViewCore)
#include "test_map_view_core.moc"
