// The map view beyond a 500 x 500 client area, and zoom about a point.

#include "view_test_support.h"

#include <QTest>

using P = CPoint;
using Names = QStringList;

namespace {
// Sizes the client area, growing the buffer as the widget does.
void Resize(CFakeView& view, int width, int height) {
    QVERIFY(view.ResizeBackBuffer(width, height));
    view.ApplyZoom(width, height, view.m_dZoom);
}
} // namespace

class TestLargeView : public QObject {
    Q_OBJECT
private slots:
    // The buffer is the client plus 250 each side, rounded up to whole tiles,
    // and 500 up to 500. Back at 240 x 268 the view is what it was.
    void resizeSizesTheBufferAndKeepsTheCentre() {
        CFakeView view, fresh;
        view.Open();
        fresh.Open();
        for (const auto& [w, h, bw, bh] : {std::array{501, 500, 1500, 500},
                                           {1280, 800, 2000, 1500},
                                           {4000, 1500, 4500, 2000},
                                           {240, 268, 500, 500}}) {
            Resize(view, w, h);
            QCOMPARE(QSize(view.m_nBufferWidth, view.m_nBufferHeight), QSize(bw, bh));
            QCOMPARE(view.m_hbmCompose.size(), QSize(bw, bh));
            QCOMPARE(view.m_ptCentre, (P{2000, 1500}));
            QVERIFY2(view.BufferMismatch().isEmpty(), qPrintable(view.BufferMismatch()));
        }
        QCOMPARE(CMapViewCore::BufferEdgeFor(99999), 9000); // the largest client edge is 8192
        QCOMPARE(view.m_ptBufferOrigin, fresh.m_ptBufferOrigin);
        QCOMPARE(view.Plain(), fresh.Plain());
        QCOMPARE(view.m_hbmBuffer, fresh.m_hbmBuffer);
    }

    // 1280 x 800 at (2000, 1500): the buffer spans x 1000-3000, y 750-2250. A
    // step or a short drag fetches only the strip it uncovers; the drag
    // itself fetches nothing and shows map, not white, at the client's edge.
    void largeWindowFetchesOnlyTheUncoveredStrip_data() {
        QTest::addColumn<int>("key"); // 0: a drag of 50 pixels to the right
        QTest::addColumn<P>("centre");
        QTest::addColumn<Names>("tiles");
        QTest::newRow("right") << VK_RIGHT << P{2100, 1500}
                               << Names{"TST2_7", "TST3_7", "TST4_7", "TST5_7"};
        QTest::newRow("up") << VK_UP << P{2000, 1400}
                            << Names{"TST2_3", "TST2_4", "TST2_5", "TST2_6"};
        QTest::newRow("drag") << 0 << P{1950, 1500}
                              << Names{"TST2_2", "TST3_2", "TST4_2", "TST5_2"};
    }
    void largeWindowFetchesOnlyTheUncoveredStrip() {
        QFETCH(int, key);
        QFETCH(P, centre);
        QFETCH(Names, tiles);
        CFakeView view;
        view.Open();
        Resize(view, 1280, 800);
        QCOMPARE(view.m_ptBufferOrigin, (P{1000, 750}));
        view.Forget();
        if (key == 0) {
            view.OnLButtonDown(600, 400);
            view.OnMouseMove(650, 400);
            QCOMPARE(view.Fetched(), Names{});
            QCOMPARE(RawPixel(view.m_hbmCompose, 0, 0), MapPixel(1310, 1100));
            view.OnLButtonUp(650, 400);
        } else {
            view.OnKeyUp(key);
        }
        QCOMPARE(view.m_ptCentre, centre);
        QCOMPARE(view.Fetched(), tiles);
        QVERIFY2(view.BufferMismatch().isEmpty(), qPrintable(view.BufferMismatch()));
        QCOMPARE(RawPixel(view.m_hbmCompose, 1279, 799), MapPixel(centre.x + 639, centre.y + 399));
    }

    // A wheel notch zooms a step about the pointer: the map under it stays
    // unless the edge holds the centre; nothing at a limit or during a drag.
    void wheelZoomAboutThePointer_data() {
        QTest::addColumn<P>("start"); // map position at the middle
        QTest::addColumn<double>("zoom");
        QTest::addColumn<bool>("in");
        QTest::addColumn<double>("newZoom");
        QTest::addColumn<P>("centre");
        QTest::newRow("in") << P{2000, 1500} << 1.0 << true << 2.0 << P{3920, 2900};
        QTest::newRow("out") << P{2000, 1500} << 1.0 << false << 0.5 << P{1040, 800};
        QTest::newRow("edge") << P{4880, 3866} << 1.0 << false << 0.5 << P{2380, 1866};
        QTest::newRow("top limit") << P{1000, 750} << 2.0 << true << 2.0 << P{2000, 1500};
        QTest::newRow("low limit") << P{2000, 1500} << 0.25 << false << 0.25 << P{500, 375};
    }
    void wheelZoomAboutThePointer() {
        QFETCH(P, start);
        QFETCH(double, zoom);
        QFETCH(bool, in);
        QFETCH(double, newZoom);
        QFETCH(P, centre);
        CFakeView view;
        view.Open(start, zoom);
        QCOMPARE(view.ZoomAt(40, 34, in), newZoom != zoom); // 80 left, 100 above the middle
        QCOMPARE(view.m_dZoom, newZoom);
        QCOMPARE(view.m_ptCentre, centre);
        QCOMPARE(view.m_nPresents, newZoom != zoom ? 1 : 0);
        if (newZoom == 2.0 && zoom == 1.0)
            QCOMPARE(RawPixel(view.m_hbmCompose, 40, 34), MapPixel(1920, 1400));
        view.OnLButtonDown(10, 10);
        QVERIFY(!view.ZoomAt(10, 10, !in));
    }
};

QTEST_GUILESS_MAIN(TestLargeView)
#include "test_large_view.moc"
