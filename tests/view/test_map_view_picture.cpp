// The view over a real converted map: a picture is cut into tiles, stored as
// .cbm files through the tile pipeline, and the composed client image must
// show the picture's pixels where they belong.

#include "platform/image_codec.h"
#include "store/tile_cache.h"
#include "test_support.h"
#include "view/map_view_core.h"

#include <QBuffer>
#include <QPainter>
#include <QTest>
#include <cstdlib>

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\Harbour");

// A 1500 x 1000 picture: a smooth colour ramp with a few sharp shapes.
QImage MakePicture() {
    QImage picture(1500, 1000, kDisplayFormat);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, qRgb(x * 255 / 1500, y * 255 / 1000, 128));
    QPainter painter(&picture);
    painter.fillRect(480, 470, 60, 70, QColor(200, 30, 30)); // across four tiles
    painter.setPen(QPen(Qt::black, 2));
    painter.drawLine(0, 0, 1499, 999);
    return picture;
}

// Writes the picture as the converted map "Harbour" (prefix HAR) and the
// template tile the pipeline loads tiles into.
bool WriteConvertedMap(const CTestRoot& root, const QImage& picture) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImage(500, 500, QImage::Format_RGB32).save(&buffer, "PNG");
    if (!root.WriteFile(QStringLiteral("Veldra/Maps/tpl.tmp"), png) ||
        !root.MakeDir(QStringLiteral("Veldra/Maps/Harbour")))
        return false;
    TileCache cache;
    for (int row = 1; row <= picture.height() / 500; ++row)
        for (int column = 1; column <= picture.width() / 500; ++column) {
            const QImage tile = picture.copy((column - 1) * 500, (row - 1) * 500, 500, 500);
            if (!cache.SaveCompressedTile(kFolder, QStringLiteral("HAR%1_%2").arg(row).arg(column),
                                          tile))
                return false;
        }
    return true;
}

} // namespace

class TestMapViewPicture : public QObject {
    Q_OBJECT
private slots:
    void showsThePictureWhereItBelongs() {
        CTestRoot root;
        const QImage picture = MakePicture();
        QVERIFY(WriteConvertedMap(root, picture));

        CMapViewCore view;
        QVERIFY(view.CreateDrawingSurfaces());
        view.m_szMapTitle = QStringLiteral("Harbour");
        view.m_szMapFolder = kFolder;
        view.m_szTilePrefix = QStringLiteral("HAR");
        view.ResetViewState();
        QCOMPARE(view.m_nTileColumns, 3);
        QCOMPARE(view.m_nTileRows, 2);
        view.m_bMapOpen = true;
        view.m_ptPending = {510, 505};
        view.ApplyZoom(240, 268, 1.0);
        QCOMPARE(view.m_ptScreenOrigin, (CPoint{390, 371}));

        // Zoom 1.0: every client pixel is the picture's pixel, bit for bit.
        const QImage expected = picture.copy(390, 371, 240, 268);
        const QImage shown = view.RenderClientImage();
        QCOMPARE(shown.format(), kDisplayFormat);
        QCOMPARE(shown, expected);

        // Zoom 0.5: each client pixel comes from a 2 x 2 block of the picture.
        view.OnZoomOut();
        QCOMPARE(view.m_ptCentre, (CPoint{255, 252}));
        const CPoint origin = view.m_ptScreenOrigin;
        const QImage half = view.RenderClientImage();
        int far = 0;
        for (int y = 0; y < 268; y += 3)
            for (int x = 0; x < 240; x += 3) {
                const int mx = 2 * (origin.x + x), my = 2 * (origin.y + y);
                if (mx < 0 || my < 0 || mx + 1 >= 1500 || my + 1 >= 1000)
                    continue;
                const QRgb got = half.pixel(x, y);
                bool close = false;
                for (int dy = 0; dy < 2 && !close; ++dy)
                    for (int dx = 0; dx < 2 && !close; ++dx) {
                        const QRgb want = picture.pixel(mx + dx, my + dy);
                        close = std::abs(qRed(got) - qRed(want)) <= 8 &&
                                std::abs(qGreen(got) - qGreen(want)) <= 8 &&
                                std::abs(qBlue(got) - qBlue(want)) <= 8;
                    }
                far += close ? 0 : 1;
            }
        QCOMPARE(far, 0);
        // The red block straddling the tile corner shows at half size.
        QCOMPARE(half.pixel(510 / 2 - origin.x, 505 / 2 - origin.y), picture.pixel(510, 505));
    }
};

QTEST_GUILESS_MAIN(TestMapViewPicture)
#include "test_map_view_picture.moc"
