// The view over a real converted map: a picture is cut into tiles, stored as
// .cbm files through the tile pipeline, and the composed client image must
// show the picture's pixels where they belong.

#include "platform/image_codec.h"
#include "store/tile_cache.h"
#include "test_support.h"
#include "view/map_view_core.h"

#include <QPainter>
#include <QTest>
#include <cstdlib>

class TestMapViewPicture : public QObject {
    Q_OBJECT
private slots:
    void showsThePictureWhereItBelongs() {
        CTestRoot root;
        const QString folder = QStringLiteral("\\Veldra\\Maps\\Harbour");
        // A 1500 x 1000 picture: a smooth colour ramp with a few sharp shapes.
        QImage picture(1500, 1000, kDisplayFormat);
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                picture.setPixel(x, y, qRgb(x * 255 / 1500, y * 255 / 1000, 128));
        QPainter painter(&picture);
        painter.fillRect(480, 470, 60, 70, QColor(200, 30, 30));
        painter.setPen(QPen(Qt::black, 2));
        painter.drawLine(0, 0, 1499, 999);
        painter.end();
        // The template tile the pipeline loads tiles into, and the picture as
        // the converted map "Harbour" (prefix HAR) of 3 x 2 tiles.
        QVERIFY(WriteTemplate(root) && root.MakeDir("Veldra/Maps/Harbour"));
        for (int i = 0; i < 6; ++i)
            QVERIFY(WriteCompressedTile(
                folder, QStringLiteral("HAR%1_%2").arg(i / 3 + 1).arg(i % 3 + 1),
                picture.copy(i % 3 * 500, i / 3 * 500, 500, 500)));

        CMapViewCore view;
        QVERIFY(view.CreateDrawingSurfaces());
        view.m_szMapFolder = folder;
        view.m_szTilePrefix = QStringLiteral("HAR");
        view.ResetViewState();
        QCOMPARE(QSize(view.m_nTileColumns, view.m_nTileRows), QSize(3, 2));
        view.m_bMapOpen = true;
        view.m_ptPending = {510, 505};
        view.ApplyZoom(240, 268, 1.0);
        QCOMPARE(view.m_ptScreenOrigin, (CPoint{390, 371}));

        // Zoom 1.0: every client pixel is the picture's pixel, bit for bit.
        const QImage shown = view.RenderClientImage();
        QCOMPARE(shown.format(), kDisplayFormat);
        QCOMPARE(shown, picture.copy(390, 371, 240, 268));

        // Zoom 0.5: each client pixel comes from a 2 x 2 block of the picture
        // (the sharp shapes included, the red block straddling four tiles).
        view.OnZoomOut();
        QCOMPARE(view.m_ptCentre, (CPoint{255, 252}));
        const CPoint origin = view.m_ptScreenOrigin;
        const QImage half = view.RenderClientImage();
        const auto near = [](QRgb a, QRgb b) {
            return std::abs(qRed(a) - qRed(b)) <= 8 && std::abs(qGreen(a) - qGreen(b)) <= 8 &&
                   std::abs(qBlue(a) - qBlue(b)) <= 8;
        };
        for (int y = 0; y < 268; y += 3)
            for (int x = 0; x < 240; x += 3) {
                const int mx = 2 * (origin.x + x), my = 2 * (origin.y + y);
                const QRgb got = half.pixel(x, y);
                QVERIFY(near(got, picture.pixel(mx, my)) || near(got, picture.pixel(mx + 1, my)) ||
                        near(got, picture.pixel(mx, my + 1)) ||
                        near(got, picture.pixel(mx + 1, my + 1)));
            }
    }
};

QTEST_GUILESS_MAIN(TestMapViewPicture)
#include "test_map_view_picture.moc"
