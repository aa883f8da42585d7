// The view at device pixel ratio 2: map pixels as 2 x 2 blocks (the default)
// or 1:1 on device pixels, never blurred; the pointer in map pixels.

#include "ui_test_support.h"
#include "view/status_line.h"

#include <QPixmap>
#include <QTest>

class TestHighDensity : public QObject {
    Q_OBJECT
public:
    static void initMain() { qputenv("QT_SCALE_FACTOR", "2"); }

private slots:
    void mapPixelsOnDevicePixels_data() {
        QTest::addColumn<int>("scale"); // device pixels per map pixel
        QTest::newRow("scaled") << 2;
        QTest::newRow("native") << 1;
    }
    void mapPixelsOnDevicePixels() {
        QFETCH(int, scale);
        using Mode = CVeldraViewerView::PixelMode;
        CVeldraViewerView::SetPixelMode(scale == 1 ? Mode::Native : Mode::Scaled);
        CSyntheticView w;
        CVeldraViewerView::SetPixelMode(Mode::Scaled);
        CVeldraViewerView& view = w.view;
        view.resize(240, 268);
        view.show();
        const CViewport& viewport = view.Viewport();
        QCOMPARE(QSize(viewport.ClientWidth(), viewport.ClientHeight()), QSize(480, 536) / scale);
        const QImage shown = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shown.size(), QSize(480, 536));
        const QImage composed = w.canvas.ClientImage().convertToFormat(QImage::Format_RGB32);
        // A native client of 480 x 536 is beyond the handheld size: the
        // status line covers the bottom rows.
        const int mapRows =
            scale == 1 ? 536 - int(CStatusLine::HEIGHT * view.devicePixelRatioF()) : 536;
        for (int y = 0; y < mapRows; y += 3)
            for (int x = 0; x < 480; x += 3)
                QCOMPARE(shown.pixel(x, y), composed.pixel(x / scale, y / scale));
        // A drag of (10, 5) logical pixels moves the map by the map pixels under it.
        const CPoint centre = viewport.Centre();
        SendMouse(view, QEvent::MouseButtonPress, {100, 100});
        SendMouse(view, QEvent::MouseButtonRelease, {90, 95});
        QCOMPARE(viewport.Centre(), (CPoint{centre.x + 20 / scale, centre.y + 10 / scale}));
    }
};

QTEST_MAIN(TestHighDensity)
#include "test_high_density.moc"
