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
    painter.fillRect(480, 470, 60, 70, QColor(200, 30, 30));
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
