// A map of a real place, as a user meets it: made by the packaging tool from a
// real OpenStreetMap extract (Kirchberg an der Iller), installed, converted
// after the start-up splash and shown in the view; and the distance
// read-out's scale gives the great-circle distance between two nodes of the
// extract, and its geo-reference places every node where the tool drew it.

#include "platform/image_codec.h"
#include "store/convert_map_dlg.h"
#include "tools/osm_map.h"
#include "ui_test_support.h"
#include "view/map_view.h"
#include "view/readouts.h"

#include <QPointer>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString kExtract = QStringLiteral(VELDRA_TEST_DATA "/kirchberg.osm");

// Great-circle metres on the mean Earth sphere.
double Haversine(QPointF a, QPointF b) {
    const double r = 6371008.8, rad = kPi / 180;
    const double dlat = (b.y() - a.y()) * rad, dlon = (b.x() - a.x()) * rad;
    const double h = std::pow(std::sin(dlat / 2), 2) + std::cos(a.y() * rad) *
                                                           std::cos(b.y() * rad) *
                                                           std::pow(std::sin(dlon / 2), 2);
    return 2 * r * std::asin(std::sqrt(h));
}

} // namespace

class TestOsmMapView : public QObject {
    Q_OBJECT
private slots:
    void realPlaceOpensAndMeasures() {
        CTestRoot root;
        OsmMapRequest request;
        request.input = kExtract;
        request.metresPerPixel = 0.5;
        OsmMap map;
        QString error;
        QVERIFY2(ReadOsmMap(request, map, error), qPrintable(error));
        PackageRequest package;
        package.title = u"Kirchberg"_s;
        package.pictureSize = QSize(map.scene.width, map.scene.height);
        package.drawPart = [&](const QRect& part) { return RenderMapScenePart(map.scene, part); };
        package.calibration = map.calibration;
        package.places = map.places;
        package.geoReference = map.geo;
        QVERIFY2(PackageMap(package, error), qPrintable(error));
        QVERIFY2(EnsureTemplateTile(error), qPrintable(error));

        CScriptedUi ui; // "Convert" pressed, every message box answered OK
        ui.OnDialog<CConvertMapDlg>([](CConvertMapDlg& convert) {
            convert.OnConvert();
            return convert.result();
        });
        QPointer<CMainFrame> frame = MakeFrame(/*keepStartup=*/true);
        frame->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame));
        CVeldraViewerView* view = frame->GetActiveView();
        CMapCanvas& canvas = view->Canvas();
        const CViewport& viewport = view->Viewport();
        // Start-up goes on by itself: the splash, then the open of the only
        // installed map, without the library, after its conversion.
        QTRY_VERIFY(canvas.IsMapOpen());
        QCOMPARE(ui.m_events, QStringList({"CSplashDlg", "CConvertMapDlg", "message"}));
        QCOMPARE(ui.MessageTexts(), QStringList{"Conversion process complete"});
        QCOMPARE(canvas.MapTitle(), u"Kirchberg"_s);
        QCOMPARE(canvas.Calibration().nScale, 4570); // 0.5 m a pixel

        // The converted map shows the picture, drawn a row of tiles at a time,
        // pixel for pixel, padded white to whole tiles.
        QImage picture(1000, 1000, QImage::Format_RGB32);
        picture.fill(Qt::white);
        QPainter(&picture).drawImage(0, 0, RenderMapScene(map.scene));
        picture = picture.convertToFormat(kDisplayFormat);
        const QPoint origin(viewport.ScreenOrigin().x, viewport.ScreenOrigin().y);
        QCOMPARE(
            canvas.RenderClientImage(),
            picture.copy(QRect(origin, QSize(viewport.ClientWidth(), viewport.ClientHeight()))));

        // Two nodes of the extract some hundred metres apart: the distance
        // read-out between them shows metres within 1 % of the great circle.
        QFile file(kExtract);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString xml = QString::fromUtf8(file.readAll());
        std::vector<QPointF> nodes; // lon, lat
        const QRegularExpression node(u"<node [^>]*lat=\"([-\\d.]+)\" lon=\"([-\\d.]+)\""_s);
        for (auto it = node.globalMatch(xml); it.hasNext();) {
            const auto m = it.next();
            nodes.emplace_back(m.captured(2).toDouble(), m.captured(1).toDouble());
        }
        QVERIFY(nodes.size() > 100);
        const CMercatorProjection projection(map.box, 0.5);
        int pairs = 0;
        for (size_t i = 0; i < nodes.size(); i += 3) {
            for (size_t j = i + 1; j < nodes.size(); j += 5) {
                const double truth = Haversine(nodes[i], nodes[j]);
                if (truth < 150 || truth > 450)
                    continue;
                const QPointF a = projection.ToPixel(nodes[i].x(), nodes[i].y());
                const QPointF b = projection.ToPixel(nodes[j].x(), nodes[j].y());
                const QString text =
                    DistanceReadoutText({int(std::lround(a.x())), int(std::lround(a.y()))},
                                        {int(std::lround(b.x())), int(std::lround(b.y()))},
                                        canvas.Calibration().nScale, 1.0);
                QVERIFY2(text.endsWith(u" Ms"_s), qPrintable(text)); // "%.0f Yds, %.0f Ms"
                const double metres = text.section(u", "_s, 1).chopped(3).toDouble();
                QVERIFY2(std::abs(metres / truth - 1) < 0.01,
                         qPrintable(u"%1 for %2 m"_s.arg(text).arg(truth)));
                ++pairs;
            }
        }
        QVERIFY2(pairs > 20, qPrintable(QString::number(pairs)));

        // The viewer knows where the map lies: every node converts to where the
        // tool drew it, and back, within a millimetre.
        const std::optional<CGeoReference>& geo = canvas.GeoReference();
        QVERIFY(geo);
        for (const QPointF& n : nodes) {
            const QPointF at = geo->ToMap({n.y(), n.x()});
            QVERIFY(QLineF(at, projection.ToPixel(n.x(), n.y())).length() * 0.5 < 1e-3);
            const GeoPoint back = geo->ToGeo(at);
            QVERIFY(Haversine(n, {back.lon, back.lat}) < 1e-3);
        }
        delete frame;
    }
};

QTEST_MAIN(TestOsmMapView)
#include "test_osm_map_view.moc"
