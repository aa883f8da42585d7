// Tests of the view on a screen of device pixel ratio 2: map pixels are never
// blurred, either drawn as 2 x 2 blocks (the default) or 1:1 on device pixels.

#include "view/map_view.h"
#include "view_test_support.h"

#include <QMouseEvent>
#include <QPixmap>
#include <QTest>

namespace {

class CTestWidget : public CSyntheticView<CVeldraViewerView> {
public:
    bool event(QEvent* event) override {
        return event->type() == WM_SHOWSPLASH || event->type() == WM_OPENMAP ||
               CVeldraViewerView::event(event);
    }
};

} // namespace

class TestHighDensity : public QObject {
    Q_OBJECT
public:
    static void initMain() { qputenv("QT_SCALE_FACTOR", "2"); }

private slots:
    void cleanup() { CVeldraViewerView::SetPixelMode(CVeldraViewerView::PixelMode::Scaled); }

    // A 240 x 268 window: Scaled shows 240 x 268 map pixels of 2 x 2 device
    // pixels, Native 480 x 536 map pixels one on one. A drag moves the map by
    // the map pixels under the pointer's path.
    void mapPixelsOnDevicePixels_data() {
        QTest::addColumn<bool>("native");
        QTest::newRow("scaled") << false;
        QTest::newRow("native") << true;
    }
    void mapPixelsOnDevicePixels() {
        QFETCH(bool, native);
        CVeldraViewerView::SetPixelMode(native ? CVeldraViewerView::PixelMode::Native
                                               : CVeldraViewerView::PixelMode::Scaled);
        CTestWidget view;
        view.SetSyntheticMap();
        view.resize(240, 268);
        view.show();
        QCOMPARE(view.devicePixelRatioF(), 2.0);
        const int scale = native ? 1 : 2;
        QCOMPARE(QSize(view.m_nClientWidth, view.m_nClientHeight), QSize(480, 536) / scale);

        const QImage shown = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shown.size(), QSize(480, 536));
        const QImage composed = view.m_hbmCompose.convertToFormat(QImage::Format_RGB32);
        for (int y = 0; y < 536; y += 3)
            for (int x = 0; x < 480; x += 3)
                QCOMPARE(shown.pixel(x, y), composed.pixel(x / scale, y / scale));

        const CPoint centre = view.m_ptCentre;
        for (const auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            const QPointF at =
                type == QEvent::MouseButtonPress ? QPointF(100, 100) : QPointF(90, 95);
            QMouseEvent event(type, at, view.mapToGlobal(at), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                              Qt::NoModifier);
            QCoreApplication::sendEvent(&view, &event);
        }
        QCOMPARE(view.m_ptCentre, (CPoint{centre.x + 20 / scale, centre.y + 10 / scale}));
    }
};

QTEST_MAIN(TestHighDensity)
#include "test_high_density.moc"
