// The overlays: markers, target cross, direction arrow and distance read-out.

#include "view/readouts.h"
#include "view_test_support.h"

#include <QPainter>
#include <QTest>

namespace {

using P = CPoint;
const QRgb kCyan = qRgb(0, 255, 255), kWhite = qRgb(255, 255, 255);

// A 240 x 268 client area over 10 x 8 tiles (or one at zoom 0.25), presented
// centred on a requested zoomed position (clamped).
CViewport Screen(P request, bool small = false) {
    CViewport viewport;
    viewport.SetTileGrid(small ? 1 : 10, small ? 1 : 8, 500);
    viewport.ZoomTo(240, 268, small ? 0.25 : 1.0);
    viewport.SetCentre(request.x, request.y);
    viewport.SetBufferOrigin({viewport.BufferWindow().x0, viewport.BufferWindow().y0});
    viewport.PresentAt(viewport.Centre().x, viewport.Centre().y);
    return viewport;
}

// The overlays drawn over a white client image.
QImage Drawn(COverlays& overlays, const CViewport& viewport, int32_t scale = 0) {
    QImage image(240, 268, QImage::Format_RGB32);
    image.fill(kWhite);
    QPainter painter(&image);
    overlays.DrawOverlays(painter, viewport, scale);
    return image;
}

// Arms a marker and places it at a zoomed position, as a tap does.
void Place(COverlays& overlays, int marker, P position) {
    overlays.ToggleMarker(marker);
    overlays.PlaceArmed(position);
    overlays.EndArming();
}

// A flag at offset (zoomed pixels) from the middle (120, 134): the arrow's
// tip and head ends (none when too close) and the read-out at zoom and scale.
// clang-format off
struct Flag { const char* tag; P offset; double zoom; int scale; P tip, head1, head2; const char* text; };
const Flag kFlags[] = {
    {"100 px right", {100, 0}, 1.0, 21115, {170, 134}, {149, 117}, {149, 150}, "253 Yds, 231 Ms"},
    {"exactly 50 away", {30, 40}, 1.0, 21115, {}, {}, {}, "126 Yds, 115 Ms"},
    {"just beyond", {30, 41}, 1.0, 21115, {149, 174}, {150, 148}, {124, 167}, "128 Yds, 117 Ms"},
    {"1000 px up", {0, -1000}, 1.0, 21115, {120, 84}, {103, 104}, {136, 104}, "1.4 Mls, 2.3 Kms"},
    {"zoom 2.0", {-60, 80}, 2.0, 21115, {90, 174}, {115, 167}, {89, 148}, "126 Yds, 115 Ms"},
    {"zoom 0.25", {25, 0}, 0.25, 21115, {}, {}, {}, "253 Yds, 231 Ms"},
    {"no calibration", {0, 100}, 1.0, 0, {120, 184}, {136, 163}, {103, 163}, "n/a"},
};
// clang-format on

} // namespace

class TestOverlays : public QObject {
    Q_OBJECT
private slots:
    // A placed marker is drawn while its centre is on the screen (beside a
    // small map the absent one's (-20, -20) is too); the cross only where the
    // clamp kept the requested centre off the middle.
    void markersAndCross() {
        for (const auto& [me, flag, request, onScreen, cross] :
             {std::tuple{P{2120, 1466}, P{1980, 1634}, P{2000, 1500}, true, false},
              {P{241, 100}, P{100, 269}, P{0, 0}, false, true},
              {P{-20, -20}, P{-20, -20}, P{}, false, true}}) {
            COverlays overlays;
            QVERIFY(overlays.CreateMarkerImages());
            if (me.x > 0) {
                Place(overlays, COverlays::MARKER_ME, me);
                Place(overlays, COverlays::MARKER_FLAG, flag);
            }
            overlays.SetShowTargetCross(true);
            const CViewport viewport = Screen(request, me.x < 0);
            const P o = viewport.ScreenOrigin();
            const QImage shown = Drawn(overlays, viewport);
            for (const auto& [marker, p] : {std::pair{COverlays::MARKER_ME, me}, {1, flag}}) {
                // The screen pixel nearest the marker's position.
                const int x = std::clamp(p.x - o.x, 0, 239), y = std::clamp(p.y - o.y, 0, 267);
                const QImage& image = overlays.MarkerImage(marker);
                QCOMPARE(shown.pixel(x, y),
                         onScreen ? image.pixel(x - p.x + o.x + 6, y - p.y + o.y + 6) : kWhite);
            }
            QCOMPARE(overlays.MarkerImage(1).pixel(3, 1), qRgb(81, 200, 2));
            // A pixel on the cross through the requested point.
            const P at{request.x - o.x + 5, request.y - o.y + 5};
            QCOMPARE(shown.pixel(at.x, at.y) == qRgb(255, 0, 0), cross);
        }
    }

    // The read-out needs its switch and a flag, and follows the presented
    // middle; the arrow is cyan over a black shadow.
    void arrowAndReadoutFollowTheMiddle() {
        COverlays overlays;
        CViewport viewport = Screen({2000, 1500}); // screen origin (1880, 1366)
        overlays.ToggleShowDistance();
        overlays.ToggleShowDirection();
        Drawn(overlays, viewport, 21115);
        QVERIFY(!overlays.IsReadoutVisible()); // no flag yet

        Place(overlays, COverlays::MARKER_FLAG, {2100, 1500}); // 100 pixels right of the middle
        QImage image = Drawn(overlays, viewport, 21115);
        QVERIFY(overlays.IsReadoutVisible());
        QCOMPARE(overlays.ReadoutText(), QStringLiteral("253 Yds, 231 Ms"));
        QCOMPARE(image.pixel(140, 134), kCyan);         // on the shaft
        QCOMPARE(image.pixel(140, 137), qRgb(0, 0, 0)); // its shadow below
        QCOMPARE(image.pixel(120, 140), kWhite);        // off the arrow
        QVERIFY(image.pixel(150, 118) == kCyan || image.pixel(149, 117) == kCyan); // a head end
        viewport.PresentAt(1950, 1500); // a drag step: the middle 150 pixels left of the flag
        Drawn(overlays, viewport, 21115);
        QCOMPARE(overlays.ReadoutText(), QStringLiteral("379 Yds, 346 Ms"));

        overlays.ToggleShowDistance();
        overlays.ToggleShowDirection();
        image = Drawn(overlays, viewport, 21115);
        QVERIFY(!overlays.IsReadoutVisible() && image.pixel(140, 134) == kWhite);
    }

    // No arrow within 50 pixels; yards and metres up to 500 metres, else
    // miles and kilometres, alike for a map spot at any zoom.
    void arrowAndDistance_data() {
        QTest::addColumn<int>("row");
        for (size_t i = 0; i < std::size(kFlags); ++i)
            QTest::newRow(kFlags[i].tag) << int(i);
    }
    void arrowAndDistance() {
        QFETCH(int, row);
        const Flag& r = kFlags[row];
        const P c{120, 134}, f{c.x + r.offset.x, c.y + r.offset.y};
        const CArrow arrow = ComputeArrow(c, f);
        QCOMPARE(arrow.bTooClose, r.tip == P{});
        QCOMPARE(arrow.tip, r.tip == P{} ? c : r.tip);
        QCOMPARE(arrow.head1, r.tip == P{} ? c : r.head1);
        QCOMPARE(arrow.head2, r.tip == P{} ? c : r.head2);
        QCOMPARE(DistanceReadoutText(c, f, r.scale, r.zoom), QString(r.text));
        QCOMPARE(FormatDistance(500.0), QStringLiteral("547 Yds, 500 Ms"));
        QCOMPARE(FormatDistance(500.001), QStringLiteral("0.3 Mls, 0.5 Kms"));
    }
};

QTEST_GUILESS_MAIN(TestOverlays)
#include "test_overlays.moc"
