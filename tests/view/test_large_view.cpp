// Tests of the map view beyond the 500 x 500 client area and of zooming about
// a point: the back buffer's size, the strips fetched after a step or a drag
// on a large window, a resize there and back, and wheel zoom.

#include "view_test_support.h"

#include <QTest>

namespace {

using P = CPoint;
using Names = QStringList;

// Sizes the fake view's client area, growing its buffer as the widget does.
void Resize(CFakeView& view, int width, int height) {
    QVERIFY(view.ResizeBackBuffer(width, height));
    view.ApplyZoom(width, height, view.m_dZoom);
}

} // namespace

class TestLargeView : public QObject {
    Q_OBJECT
private slots:
    void bufferEdgeFollowsTheClient_data() {
        QTest::addColumn<int>("client");
        QTest::addColumn<int>("buffer");
        for (const auto& [client, buffer] : {std::pair{0, 500},
                                             {240, 500},
                                             {500, 500},
                                             {501, 1500},
                                             {800, 1500},
                                             {1280, 2000},
                                             {1500, 2000},
                                             {99999, 9000}})
            QTest::addRow("%d", client) << client << buffer;
    }
    void bufferEdgeFollowsTheClient() {
        QFETCH(int, client);
        QFETCH(int, buffer);
        CFakeView view;
        view.Open();
        QVERIFY(view.ResizeBackBuffer(client, 268));
        QCOMPARE(QSize(view.m_nBufferWidth, view.m_nBufferHeight), QSize(buffer, 500));
        QCOMPARE(view.m_hbmBuffer.size(), view.m_hbmCompose.size());
        QCOMPARE(view.m_hbmBuffer.size(), QSize(buffer, 500));
    }

    // 1280 x 800 centred on (2000, 1500): the 2000 x 1500 buffer spans x
    // 1000-3000, y 750-2250. A step or a short drag fetches only the cells
    // of the strip it uncovers; a drag itself fetches nothing and still shows
    // map, not white, at the client's edge.
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
        if (key != 0) {
            view.OnKeyUp(key);
        } else {
            view.OnLButtonDown(600, 400);
            view.OnMouseMove(650, 400);
            QCOMPARE(view.Fetched(), Names{});
            QCOMPARE(RawPixel(view.m_hbmCompose, 0, 0), MapPixel(1310, 1100));
            view.OnLButtonUp(650, 400);
        }
        QCOMPARE(view.m_ptCentre, centre);
        QCOMPARE(view.Fetched(), tiles);
        QVERIFY2(view.BufferMismatch().isEmpty(), qPrintable(view.BufferMismatch()));
        QCOMPARE(RawPixel(view.m_hbmCompose, 1279, 799), MapPixel(centre.x + 639, centre.y + 399));
    }

    // Up to 1280 x 800 and back: the centre stays, and the small window is
    // again exactly what it was (buffer, origin, picture).
    void resizeToLargeAndBackKeepsTheCentre() {
        CFakeView view, fresh;
        view.Open();
        fresh.Open();
        Resize(view, 1280, 800);
        QCOMPARE(view.m_ptCentre, (P{2000, 1500}));
        QCOMPARE(QSize(view.m_nClientWidth, view.m_nClientHeight), QSize(1280, 800));
        QCOMPARE(view.m_ptScreenOrigin, (P{1360, 1100}));
        Resize(view, 240, 268);
        QCOMPARE(view.m_ptCentre, (P{2000, 1500}));
        QCOMPARE(QSize(view.m_nBufferWidth, view.m_nBufferHeight), QSize(500, 500));
        QCOMPARE(view.m_ptBufferOrigin, fresh.m_ptBufferOrigin);
        QCOMPARE(view.Plain(), fresh.Plain());
        QCOMPARE(view.m_hbmBuffer, fresh.m_hbmBuffer);
    }

    // A wheel notch zooms one step about the pointer: the map position under
    // it stays there unless the map's edge holds the centre; at a limit
    // nothing happens.
    void wheelZoomAboutThePointer_data() {
        QTest::addColumn<P>("start");
        QTest::addColumn<double>("zoom");
        QTest::addColumn<P>("pointer");
        QTest::addColumn<bool>("in");
        QTest::addColumn<double>("newZoom");
        QTest::addColumn<P>("centre");
        QTest::newRow("in") << P{2000, 1500} << 1.0 << P{40, 34} << true << 2.0 << P{3920, 2900};
        QTest::newRow("out") << P{2000, 1500} << 1.0 << P{40, 34} << false << 0.5 << P{1040, 800};
        QTest::newRow("held by the edge")
            << P{4880, 3866} << 1.0 << P{0, 0} << false << 0.5 << P{2380, 1866};
        QTest::newRow("in at the limit")
            << P{1000, 750} << 2.0 << P{40, 34} << true << 2.0 << P{2000, 1500};
        QTest::newRow("out at the limit")
            << P{2000, 1500} << 0.25 << P{40, 34} << false << 0.25 << P{500, 375};
    }
    void wheelZoomAboutThePointer() {
        QFETCH(P, start);
        QFETCH(double, zoom);
        QFETCH(P, pointer);
        QFETCH(bool, in);
        QFETCH(double, newZoom);
        QFETCH(P, centre);
        CFakeView view;
        view.Open(start, zoom);
        QCOMPARE(view.ZoomAt(pointer.x, pointer.y, in), newZoom != zoom);
        QCOMPARE(view.m_dZoom, newZoom);
        QCOMPARE(view.m_ptCentre, centre);
        QCOMPARE(view.m_nPresents, newZoom != zoom ? 1 : 0);
        if (newZoom != zoom && view.m_ptCentre == view.m_ptRequested) {
            const int x = pointer.x - 120 + centre.x, y = pointer.y - 134 + centre.y;
            QCOMPARE(RawPixel(view.m_hbmCompose, pointer.x, pointer.y), view.Zoomed(x, y));
            QCOMPARE((P{int(x / newZoom), int(y / newZoom)}),
                     (P{int((pointer.x - 120) / zoom) + start.x,
                        int((pointer.y - 134) / zoom) + start.y}));
        }
        // No zoom during a drag.
        view.OnLButtonDown(10, 10);
        QVERIFY(!view.ZoomAt(10, 10, !in));
    }
};

QTEST_GUILESS_MAIN(TestLargeView)
#include "test_large_view.moc"
