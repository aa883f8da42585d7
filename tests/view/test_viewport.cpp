// The viewport alone: clamping, zooming, the back buffer, conversions.

#include "view_test_support.h"

#include <QTest>

namespace {

using P = CPoint;

// A 240 x 268 client area over 10 x 8 tiles (or one), centred on a map position.
CViewport Viewport(P mapCentre, double zoom = 1.0, bool oneTile = false) {
    CViewport viewport;
    viewport.SetTileGrid(oneTile ? 1 : 10, oneTile ? 1 : 8, 500);
    viewport.SetPending(mapCentre);
    viewport.ZoomTo(240, 268, zoom);
    return viewport;
}

// From zoom 1.0 a zoom about a client offset from the middle, then a centre
// requested: the centres after each, and the buffer's window.
// clang-format off
struct Step { const char* tag; P start; double newZoom; P about, zoomed, request, centre; CArea window; };
const Step kSteps[] = {
    {"top-left", {2000, 1500}, 1.0, {}, {2000, 1500}, {0, 0}, {120, 134}, {0, 0, 500, 500}},
    {"bottom-right", {2000, 1500}, 1.0, {}, {2000, 1500}, {6000, 6000}, {4880, 3866}, {4500, 3500, 5000, 4000}},
    {"zoom 2.0 about a point", {2000, 1500}, 2.0, {-80, -100}, {3920, 2900}, {1500, 650}, {1500, 650}, {1250, 400, 1750, 900}},
    {"zoom 0.5 about a point", {2000, 1500}, 0.5, {-80, -100}, {1040, 800}, {1040, 800}, {1040, 800}, {790, 550, 1290, 1050}},
    {"zoom 0.5 at the edge", {4880, 3866}, 0.5, {-80, -100}, {2380, 1866}, {2380, 1866}, {2380, 1866}, {2000, 1500, 2500, 2000}},
    {"zoom not above 0: nothing", {2000, 1500}, 0.0, {}, {2000, 1500}, {2000, 1500}, {2000, 1500}, {1750, 1250, 2250, 1750}},
    // A map narrower and lower than the client area: the upper bound wins.
    {"small map", {0, 0}, 0.25, {}, {5, -9}, {0, 0}, {5, -9}, {0, 0, 125, 125}},
};
// clang-format on

} // namespace

class TestViewport : public QObject {
    Q_OBJECT
private slots:
    // The spot under the offset stays unless the edge holds the centre;
    // clamping takes lower bounds, then upper; the window stays in the map.
    void zoomAndClamp_data() {
        QTest::addColumn<int>("row");
        for (size_t i = 0; i < std::size(kSteps); ++i)
            QTest::newRow(kSteps[i].tag) << int(i);
    }
    void zoomAndClamp() {
        QFETCH(int, row);
        const Step& s = kSteps[row];
        CViewport viewport = Viewport(s.start, 1.0, s.newZoom == 0.25);
        const std::optional<double> ratio = viewport.ZoomTo(240, 268, s.newZoom, s.about);
        QCOMPARE(ratio, s.newZoom > 0 ? std::optional<double>(s.newZoom) : std::nullopt);
        QCOMPARE(viewport.Zoom(), ratio ? s.newZoom : 1.0);
        QCOMPARE(viewport.Centre(), s.zoomed);
        viewport.SetCentre(s.request.x, s.request.y);
        QCOMPARE(viewport.Centre(), s.centre);
        QCOMPARE(viewport.Requested(), s.request);
        QCOMPARE(viewport.BufferWindow(), s.window);
    }

    // 500 up to 500; beyond, the client plus 250 each side rounded up to
    // whole tiles, the client counted at most 8192.
    void bufferEdge() {
        for (const auto& [client, edge] : {std::pair{240, 500},
                                           {500, 500},
                                           {501, 1500},
                                           {1280, 2000},
                                           {4000, 4500},
                                           {99999, 9000}})
            QCOMPARE(CViewport::BufferEdgeFor(client), edge);
    }

    // Client points to zoomed and map positions (truncated); the client area
    // held to the back buffer.
    void conversions() {
        CViewport viewport = Viewport({1501, 1203}, 2.0); // centre (3002, 2406)
        QCOMPARE(viewport.MapPositionAtMiddle(), (P{1501, 1203}));
        viewport.SetCentre(3003, 2405);
        QCOMPARE(viewport.MapPositionAtMiddle(), (P{1501, 1202})); // truncated
        QCOMPARE(viewport.PositionAt(10, 20), (std::optional<P>{P{2893, 2291}}));
        QCOMPARE(viewport.PositionAt(239, 267), (std::optional<P>{P{3122, 2538}}));
        QVERIFY(!viewport.PositionAt(240, 20) && !viewport.PositionAt(10, -1));

        viewport.ZoomTo(600, 0xFFFF, 2.0);
        QCOMPARE(QSize(viewport.ClientWidth(), viewport.ClientHeight()), QSize(500, 500));
        viewport.SetBufferSize(1500, 1000);
        viewport.ZoomTo(1280, 1200, 2.0);
        QCOMPARE(QSize(viewport.ClientWidth(), viewport.ClientHeight()), QSize(1280, 1000));
    }
};

QTEST_GUILESS_MAIN(TestViewport)
#include "test_viewport.moc"
