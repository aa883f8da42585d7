// The map canvas on the synthetic map (tiles fetched, buffer and client image
// after moves, zooms, markers, Home) and on converted maps on disk.

#include "places/place_files.h"
#include "platform/file_system.h"
#include "view_test_support.h"

#include <QPainter>
#include <QTest>

namespace {

using P = CPoint;
using Names = QStringList;

// A move from a map position at the middle of a client area: a key released
// (0: a drag from client (600, 400) by drag), the centre and the tiles fetched.
const QSize kSmall(240, 268), kLarge(1280, 800);
// clang-format off
struct Move { const char* tag; QSize client; P start; int key; P drag; P centre; QString tiles; };
const Move kMoves[] = {
    {"tap", kSmall, {2000, 1500}, 0, {}, {2000, 1500}, ""},
    {"right", kSmall, {2000, 1500}, Qt::Key_Right, {}, {2100, 1500}, "tes3_5 tes4_5"},
    {"up", kSmall, {2000, 1500}, Qt::Key_Up, {}, {2000, 1400}, "tes3_4 tes3_5"},
    {"right at bound", kSmall, {4800, 1500}, Qt::Key_Right, {}, {4880, 1500}, ""},
    {"other key", kSmall, {2000, 1500}, Qt::Key_A, {}, {2000, 1500}, ""},
    {"drag beyond the map", kSmall, {2000, 1500}, 0, {-9000, -9000}, {4880, 3866}, "tes8_10"},
    {"large: right", kLarge, {2000, 1500}, Qt::Key_Right, {}, {2100, 1500}, "tes2_7 tes3_7 tes4_7 tes5_7"},
    {"large: up", kLarge, {2000, 1500}, Qt::Key_Up, {}, {2000, 1400}, "tes2_3 tes2_4 tes2_5 tes2_6"},
    {"large: drag", kLarge, {2000, 1500}, 0, {50, 0}, {1950, 1500}, "tes2_2 tes3_2 tes4_2 tes5_2"},
};
// clang-format on

} // namespace

class TestMapCanvas : public QObject {
    Q_OBJECT
private slots:
    // A redraw fetches only the cells the old buffer did not hold (1280 x 800:
    // it spans x 1000-3000, y 750-2250); a drag fetches nothing.
    void movesFetchOnlyTheUncoveredCells_data() {
        QTest::addColumn<int>("row");
        for (size_t i = 0; i < std::size(kMoves); ++i)
            QTest::newRow(kMoves[i].tag) << int(i);
    }
    void movesFetchOnlyTheUncoveredCells() {
        QFETCH(int, row);
        const Move& m = kMoves[row];
        CTestCanvas t;
        t.Open(m.start);
        t.canvas.Resize(m.client.width(), m.client.height());
        t.Forget();
        if (m.key != 0) {
            QCOMPARE(t.canvas.OnKeyUp(m.key), m.key != Qt::Key_A);
        } else {
            t.canvas.OnLButtonDown(600, 400);
            if (m.drag != P{}) {
                t.canvas.OnMouseMove(600 + m.drag.x, 400 + m.drag.y);
                QCOMPARE(t.viewport.Centre(), m.start);
                QCOMPARE(t.Fetched(), Names{});
                QVERIFY2(t.Mismatch().isEmpty(), qPrintable(t.Mismatch()));
                if (m.client.width() > 500) // map, not white, at the client's edge
                    QVERIFY(RawPixel(t.canvas.ClientImage(), 0, 0) != 0xFFFF);
            }
            t.canvas.OnLButtonUp(600 + m.drag.x, 400 + m.drag.y);
            QVERIFY(!t.canvas.IsDragging());
        }
        QCOMPARE(t.viewport.Centre(), m.centre);
        QCOMPARE(t.Fetched(), m.tiles.isEmpty() ? Names{} : m.tiles.split(u' '));
        QCOMPARE(t.nPresents, m.key == Qt::Key_A ? 0 : m.drag == P{} ? 1 : 2);
        QVERIFY2(t.Mismatch().isEmpty(), qPrintable(t.Mismatch()));
    }

    // No first row of converted files: no grid. A tile exists as .cbm or .map.
    void tileGridFromTheFolder() {
        CTestCanvas t;
        for (const char* name : {"tes2_1.cbm", "tes2_2.cbm", "tes1_1.map"})
            QVERIFY(t.root.WriteFile(QStringLiteral("Veldra/Maps/Other/") + name, "x"));
        t.canvas.ShowMap({.strTitle = QStringLiteral("Testmap"),
                          .strFolder = QStringLiteral("\\Veldra\\Maps\\Other")});
        QCOMPARE(QSize(t.viewport.TileColumns(), t.viewport.TileRows()), QSize(0, 0));
        QVERIFY(t.canvas.IsMapOpen() && t.map.fetched.isEmpty());
        QVERIFY(t.canvas.TileFileExists(1, 1) && !t.canvas.TileFileExists(1, 2));
        t.Open();
        QCOMPARE(QSize(t.viewport.TileColumns(), t.viewport.TileRows()), QSize(10, 8));
    }

    // Zoom steps (0.25 to 2.0) keep the middle's and markers' map spots, a
    // wheel notch the spot under the pointer; none at a limit or in a drag.
    void zoomStepsKeepTheMapSpots() {
        CTestCanvas t;
        t.Open();
        t.canvas.OnMarkMe();
        t.Tap(10, 20); // "me" at (1890, 1386)
        const auto me = [&] { return t.overlays.MarkerPosition(COverlays::MARKER_ME); };
        t.canvas.OnZoomIn();
        QCOMPARE(t.viewport.Centre(), (P{4000, 3000}));
        QCOMPARE(me(), (P{3780, 2772}));
        QVERIFY2(t.Mismatch().isEmpty(), qPrintable(t.Mismatch()));
        t.canvas.OnZoomIn(); // held at 2.0
        QVERIFY(!t.canvas.ZoomAt(40, 34, true));
        t.canvas.OnZoomOut();
        QCOMPARE(t.viewport.Centre(), (P{2000, 1500}));
        for (int i = 0; i < 3; ++i) {
            t.canvas.OnZoomOut(); // 0.5, 0.25, held
            QVERIFY2(t.Mismatch().isEmpty(), qPrintable(t.Mismatch()));
        }
        QCOMPARE(t.viewport.Zoom(), 0.25);
        QCOMPARE(me(), (P{472, 346}));
        t.canvas.OnZoomIn();
        t.canvas.OnZoomIn();
        QCOMPARE(me(), (P{1888, 1384})); // truncated on the way
        t.Forget();
        QVERIFY(t.canvas.ZoomAt(40, 34, true)); // 80 left of and 100 above the middle
        QCOMPARE(RawPixel(t.canvas.ClientImage(), 40, 34), MapPixel(1920, 1400));
        QCOMPARE(t.nPresents, 1);
        t.canvas.OnLButtonDown(10, 10);
        QVERIFY(!t.canvas.ZoomAt(10, 10, false));
        QCOMPARE(t.viewport.Zoom(), 2.0);
    }

    // Scripts: M / F "Mark me" / "Mark flag", T a tap at client (10, 20),
    // zoomed (1890, 1386), O a tap one past the right edge.
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
        // Both armed: the tap places "me", the release counts both as placed.
        QTest::newRow("me then flag armed") << "MFT" << tapped << none << "11 00 11";
        QTest::newRow("then Mark flag") << "MFTF" << tapped << none << "10 00 10";
    }
    void markerStates() {
        QFETCH(QString, script);
        QFETCH(P, me);
        QFETCH(P, flag);
        QFETCH(QString, state);
        CTestCanvas t;
        t.Open();
        for (const QChar step : script) {
            if (step == u'M')
                t.canvas.OnMarkMe();
            else if (step == u'F')
                t.canvas.OnMarkFlag();
            else
                t.Tap(step == u'T' ? 10 : 240, 20);
        }
        const int ME = COverlays::MARKER_ME, FLAG = COverlays::MARKER_FLAG;
        QCOMPARE(t.overlays.MarkerPosition(ME), me);
        QCOMPARE(t.overlays.MarkerPosition(FLAG), flag);
        const auto bits = [](bool a, bool b) { return QString::number(a) + QString::number(b); };
        QCOMPARE(bits(t.overlays.IsPlaced(ME), t.overlays.IsPlaced(FLAG)) + u' ' +
                     bits(t.overlays.IsArmed(ME), t.overlays.IsArmed(FLAG)) + u' ' +
                     bits(t.bButton[ME], t.bButton[FLAG]),
                 state);
        QVERIFY(!t.canvas.IsDragging());
        QCOMPARE(t.viewport.Centre(), (P{2000, 1500}));
        QCOMPARE(t.Fetched(), Names{}); // marking fetches no tile

        // Opening a map clears both markers, both buttons and both switches.
        t.canvas.OnShowDirection();
        t.canvas.OnShowDistance();
        t.canvas.ResetViewState();
        QCOMPARE(bits(t.overlays.IsPlaced(ME), t.overlays.IsPlaced(FLAG)) +
                     bits(t.overlays.IsArming(), t.bButton[ME] || t.bButton[FLAG]) +
                     bits(t.overlays.ShowDirection(), t.overlays.ShowDistance()),
                 QStringLiteral("000000"));
        QCOMPARE(t.overlays.MarkerPosition(ME), (P{-20, -20}));
        QCOMPARE(t.overlays.MarkerPosition(FLAG), (P{-20, -20}));
    }

    // "Goto flag" / "Goto me" centre on the marker, clamped, at the zoom in
    // use; without one the view stays. (Zoom 0.5; (0, 0): none placed.)
    void gotoMarkerClampsAndKeepsTheZoom() {
        for (const auto& [marker, centre] : {std::pair{P{1200, 900}, P{1200, 900}},
                                             {P{30, 40}, P{120, 134}},
                                             {P{}, P{1700, 1650}}}) {
            CTestCanvas t;
            t.Open({2000, 1500}, 0.5);
            for (int m : {COverlays::MARKER_ME, COverlays::MARKER_FLAG})
                if (marker != P{}) {
                    t.overlays.ToggleMarker(m);
                    t.overlays.PlaceArmed(marker);
                    t.overlays.EndArming();
                }
            t.viewport.SetCentre(1700, 1650);
            t.canvas.RedrawMap(false);
            t.Forget();
            t.canvas.OnGotoFlag();
            QCOMPARE(t.viewport.Centre(), centre);
            QCOMPARE(t.viewport.Zoom(), 0.5);
            QCOMPARE(t.nPresents, 1);
            t.viewport.SetCentre(1700, 1650);
            t.canvas.OnGotoMe();
            QCOMPARE(t.viewport.Centre(), centre);
        }
    }

    // "Go to Home" at the zoom in force; "Set as Home" saves the middle, and
    // a failed write keeps the old Home. (0, 0): no Home file.
    void home() {
        for (const auto& [saved, found] : {std::pair{QPoint(3000, 2000), true},
                                           {QPoint(), false},
                                           {QPoint(0, 2000), false},
                                           {QPoint(3000, 0), false}}) {
            CTestCanvas t;
            const QString title = QStringLiteral("Testmap");
            t.Open({800, 900}, 0.5);
            if (!saved.isNull())
                QVERIFY(SavePlace(title, kHomePlace, saved));
            QCOMPARE(t.canvas.GoToHome(), found);
            QCOMPARE(t.viewport.Centre(), (found ? P{1500, 1000} : P{400, 450}));
            QCOMPARE(t.nPresents, found ? 1 : 0);

            t.canvas.CentreOnMapPosition({1501, 1203}, 2.0, CTargetCross::Keep); // taken at 0.5
            QCOMPARE(t.viewport.Centre(), (P{3000, 2404}));
            t.canvas.OnSetHome();
            QCOMPARE(LoadPlace(title, kHomePlace), QPoint(1500, 1202));
            QVERIFY(t.root.MakeDir(QStringLiteral("Veldra/My Places/Testmap/Home.plc") +
                                   QLatin1String(SIDE_FILE_EXTENSION) + QStringLiteral("/x")));
            t.viewport.SetCentre(400, 300);
            t.canvas.OnSetHome();
            QCOMPARE(LoadPlace(title, kHomePlace), QPoint(1500, 1202));
        }
    }

    // The buffer follows the client size; back at 240 x 268 nothing changed.
    void resizeSizesTheBufferAndKeepsTheCentre() {
        CTestCanvas t, fresh;
        t.Open();
        fresh.Open();
        for (const auto& [w, h, bw, bh] :
             {std::array{1280, 800, 2000, 1500}, {4000, 1500, 4500, 2000}, {240, 268, 500, 500}}) {
            t.canvas.Resize(w, h);
            QCOMPARE(t.canvas.BackBuffer().size(), QSize(bw, bh));
            QCOMPARE(t.viewport.Centre(), (P{2000, 1500}));
            QVERIFY2(t.Mismatch().isEmpty(), qPrintable(t.Mismatch()));
        }
        QCOMPARE(t.viewport.BufferOrigin(), fresh.viewport.BufferOrigin());
        QCOMPARE(t.canvas.ClientImage(), fresh.canvas.ClientImage());
        QCOMPARE(t.canvas.BackBuffer(), fresh.canvas.BackBuffer());
    }

    // A map smaller than a large window sits in its middle, white around it
    // (not stale buffer pixels), through a drag too; a tap on the white marks nothing.
    void smallMapSitsInTheMiddleOfALargeWindow() {
        for (const auto& [w, h, origin] :
             {std::tuple{1600, 1200, P{-175, -100}}, {1280, 800, P{-15, 0}}}) {
            CTestCanvas t;
            t.Open();
            t.canvas.Resize(w, h); // zoom-1 pixels in the buffer beyond the 1250 x 1000 map
            t.canvas.CentreOnMapPosition({160, 120}, 0.25, CTargetCross::Keep);
            t.canvas.OnLButtonDown(300, 300);
            t.canvas.OnMouseMove(100, 300);
            QCOMPARE(t.viewport.ScreenOrigin(), origin);
            QVERIFY2(t.Mismatch().isEmpty(), qPrintable(t.Mismatch()));
            t.canvas.OnLButtonUp(100, 300); // a reuse redraw
            QCOMPARE(t.viewport.ScreenOrigin(), origin);
            QVERIFY2(t.Mismatch().isEmpty(), qPrintable(t.Mismatch()));
            t.canvas.OnMarkFlag();
            t.Tap(40 - origin.x, 30 - origin.y);
            QCOMPARE(t.overlays.MarkerPosition(COverlays::MARKER_FLAG), (P{40, 30}));
            QCOMPARE(t.canvas.RenderClientImage().pixel(40 - origin.x, 30 - origin.y),
                     t.overlays.MarkerImage(COverlays::MARKER_FLAG).pixel(6, 6));
            t.canvas.OnMarkMe();
            t.Tap(1255 - origin.x, 300); // in the white right of the map
            QVERIFY(!COverlays::IsPresent(t.overlays.MarkerPosition(COverlays::MARKER_ME)));
        }
    }

    // A picture in 3 x 2 converted tiles shows bit for bit; with kept tiles it
    // draws alike at every zoom, fetching alike, reading each file once.
    void convertedMapOnDisk() {
        CTestRoot root;
        const QString folder = QStringLiteral("\\Veldra\\Maps\\Harbour");
        QImage picture(1500, 1000, kDisplayFormat);
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                picture.setPixel(x, y, qRgb(x * 255 / 1500, y * 255 / 1000, 128));
        QPainter painter(&picture);
        painter.fillRect(480, 470, 60, 70, QColor(200, 30, 30));
        painter.setPen(QPen(Qt::black, 2));
        painter.drawLine(0, 0, 1499, 999);
        painter.end();
        QVERIFY(WriteTemplate(root) && root.MakeDir("Veldra/Maps/Harbour"));
        for (int i = 0; i < 6; ++i)
            QVERIFY(WriteCompressedTile(folder,
                                        QStringLiteral("har%1_%2").arg(i / 3 + 1).arg(i % 3 + 1),
                                        picture.copy(i % 3 * 500, i / 3 * 500, 500, 500)));

        struct CDiskCanvas {
            CViewport viewport;
            COverlays overlays;
            CMapCanvas canvas{viewport, overlays};
            Names fetched;
        } plain, kept;
        plain.canvas.Tiles().SetCacheLimit(0);
        for (CDiskCanvas* each : {&plain, &kept}) {
            each->canvas.SetTileSource([each, folder](const QString& name, const QImage*& tile) {
                each->fetched.append(name);
                return each->canvas.Tiles().GetTileBitmap(folder, name, tile);
            });
            QVERIFY(each->canvas.CreateDrawingSurfaces());
            each->canvas.Resize(240, 268);
            each->canvas.ShowMap({.strTitle = QStringLiteral("Harbour"), .strFolder = folder});
            each->canvas.CentreOnMapPosition({510, 505}, 1.0, CTargetCross::Keep);
        }
        QCOMPARE(QSize(kept.viewport.TileColumns(), kept.viewport.TileRows()), QSize(3, 2));
        QCOMPARE(kept.viewport.ScreenOrigin(), (P{390, 371}));
        const QImage shown = kept.canvas.RenderClientImage();
        QCOMPARE(shown.format(), kDisplayFormat);
        QCOMPARE(shown, picture.copy(390, 371, 240, 268));
        for (double zoom : {0.5, 0.25, 0.5, 1.0, 0.25, 0.5}) {
            plain.canvas.ApplyZoom(240, 268, zoom);
            kept.canvas.ApplyZoom(240, 268, zoom);
            QVERIFY(kept.canvas.BackBuffer() == plain.canvas.BackBuffer());
        }
        QCOMPARE(kept.fetched, plain.fetched);
        const QSet<QString> tiles(kept.fetched.begin(), kept.fetched.end());
        QVERIFY(kept.fetched.size() > tiles.size() + 4);
        QCOMPARE(plain.canvas.Tiles().m_nTileReads, uint64_t(plain.fetched.size()));
        QCOMPARE(kept.canvas.Tiles().m_nTileReads, uint64_t(tiles.size()));
    }

    // Overview levels unlike the shrunk map show at 0.5 and 0.25; one missing
    // a tile, damaged or reached through a link is left for the shrunk tiles.
    // Going back to a zoom reads no file again.
    void overviewLevels_data() {
        QTest::addColumn<QString>("damage");
        QTest::newRow("complete") << "";
        QTest::newRow("a tile missing") << "missing";
        QTest::newRow("a tile damaged") << "damaged";
        QTest::newRow("level folder a link") << "link";
    }
    void overviewLevels() {
        QFETCH(QString, damage);
        CTestRoot root;
        const QString folder = QStringLiteral("\\Veldra\\Maps\\Harbour");
        auto ramp = [](int w, int h, int blue) {
            QImage image(w, h, kDisplayFormat);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    image.setPixel(x, y, qRgb(x * 255 / w, y * 255 / h, blue));
            return image;
        };
        const QImage picture = ramp(1500, 1000, 128);
        const QImage levels[2] = {ramp(1000, 500, 40), ramp(500, 500, 240)};
        QVERIFY(WriteTemplate(root) && root.MakeDir("Veldra/Maps/Harbour/Zoom 0.5") &&
                root.MakeDir(damage == "link" ? "Elsewhere" : "Veldra/Maps/Harbour/Zoom 0.25"));
        for (int i = 0; i < 6; ++i)
            QVERIFY(WriteCompressedTile(folder,
                                        QStringLiteral("har%1_%2").arg(i / 3 + 1).arg(i % 3 + 1),
                                        picture.copy(i % 3 * 500, i / 3 * 500, 500, 500)));
        for (int c = 1; c <= 2; ++c)
            QVERIFY(WriteCompressedTile(folder + QStringLiteral("\\Zoom 0.5"),
                                        QStringLiteral("har1_%1").arg(c),
                                        levels[0].copy((c - 1) * 500, 0, 500, 500)));
        QVERIFY(WriteCompressedTile(damage == "link" ? QStringLiteral("\\Elsewhere")
                                                     : folder + QStringLiteral("\\Zoom 0.25"),
                                    QStringLiteral("har1_1"), levels[1]));
        if (damage == "link")
            QVERIFY(
                QFile::link(root.Host("Elsewhere"), root.Host("Veldra/Maps/Harbour/Zoom 0.25")));
        if (damage == "missing")
            QVERIFY(QFile::remove(root.Host("Veldra/Maps/Harbour/Zoom 0.25/har1_1.cbm")));
        if (damage == "damaged")
            QVERIFY(root.WriteFile("Veldra/Maps/Harbour/Zoom 0.25/har1_1.cbm", "\x10\0\0\0xx"));

        CViewport viewport;
        COverlays overlays;
        CMapCanvas canvas{viewport, overlays};
        QVERIFY(canvas.CreateDrawingSurfaces());
        canvas.Resize(240, 268);
        canvas.ShowMap({.strTitle = QStringLiteral("Harbour"), .strFolder = folder});
        canvas.CentreOnMapPosition({700, 505}, 1.0, CTargetCross::Keep);
        uint64_t reads = 0;
        for (int pass = 0; pass < 2; ++pass) {
            for (double zoom : {0.5, 0.25, 2.0, 1.0}) {
                canvas.ApplyZoom(240, 268, zoom);
                const int level = zoom == 0.5 ? 0 : zoom == 0.25 ? 1 : -1;
                const bool fromLevel = level == 0 || (level == 1 && damage.isEmpty());
                QCOMPARE(canvas.DrawsFromLevel(zoom), fromLevel);
                const QRect shown(viewport.ScreenOrigin().x, viewport.ScreenOrigin().y, 240, 268);
                const QImage client = canvas.ClientImage();
                if (fromLevel) {
                    const QRect map(0, 0, viewport.MapWidth(), viewport.MapHeight());
                    QCOMPARE(client.copy((map & shown).translated(-shown.topLeft())),
                             levels[level].copy(map & shown));
                } else {
                    // A plain stretch: at 0.25 the map's (4x + 1, 4y + 1).
                    const int x = shown.x() + 37, y = shown.y() + 61;
                    const QPoint from = zoom == 0.25 ? QPoint(4 * x + 1, 4 * y + 1)
                                                     : QPoint(int(x / zoom), int(y / zoom));
                    QCOMPARE(client.pixel(37, 61), picture.pixel(from));
                }
            }
            if (pass == 0)
                reads = canvas.Tiles().m_nTileReads;
        }
        QCOMPARE(canvas.Tiles().m_nTileReads, reads);
    }
};

QTEST_GUILESS_MAIN(TestMapCanvas)
#include "test_map_canvas.moc"
