// A map of a real place, as a user meets it: made by the packaging tool from a
// real OpenStreetMap extract (Kirchberg an der Iller), installed, converted at
// start-up and shown in the view; a street found by its accented name lies on
// its drawn road; and the distance read-out's scale gives the great-circle
// distance between two nodes of the extract.

#include "gazetteer/index_search.h"
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
    void realPlaceOpensSearchesAndMeasures() {
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
        QTRY_VERIFY(view->m_bMapOpen);
        QCOMPARE(view->m_szMapTitle, u"Kirchberg"_s);
        QCOMPARE(view->m_calibration.nScale, 4570); // 0.5 m a pixel

        // The converted map shows the picture, drawn a row of tiles at a time,
        // pixel for pixel, padded white to whole tiles.
        QImage picture(1000, 1000, QImage::Format_RGB32);
        picture.fill(Qt::white);
        QPainter(&picture).drawImage(0, 0, RenderMapScene(map.scene));
        picture = picture.convertToFormat(kDisplayFormat);
        const QPoint origin(view->m_ptScreenOrigin.x, view->m_ptScreenOrigin.y);
        QCOMPARE(view->RenderClientImage(),
                 picture.copy(QRect(origin, QSize(view->m_nClientWidth, view->m_nClientHeight))));

        // "Straße" finds the streets stored with the byte 0xDF; each match
        // shown on the map lies on a road (white, the fill of a residential street).
        QVERIFY(root.ReadFile(u"Veldra/Maps/Kirchberg/Streets.idx"_s)
                    .contains("|goethestra\xdf"
                              "e|"));
        const auto result = SearchIndex(view->m_szMapFolder, u"Streets"_s, u"Straße"_s);
        QVERIFY(result);
        QStringList names;
        for (const IndexMatch& m : result->matches) {
            names << m.name;
            view->m_ptPending = {m.x, m.y};
            view->ApplyZoom(view->m_nClientWidth, view->m_nClientHeight, 1.0);
            const QImage client = view->RenderClientImage();
            const QPoint at(m.x - view->m_ptScreenOrigin.x, m.y - view->m_ptScreenOrigin.y);
            int road = 0;
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx)
                    road += client.pixel(at + QPoint(dx, dy)) == qRgb(255, 255, 255);
            QVERIFY2(road >= 5, qPrintable(m.name));
        }
        names.sort();
        QCOMPARE(names,
                 QStringList({u"Goethestraße"_s, u"Haydnstraße"_s, u"Richard-Wagner-Straße"_s}));

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
                                        view->m_calibration.nScale, 1.0);
                QVERIFY2(text.endsWith(u" Ms"_s), qPrintable(text)); // "%.0f Yds, %.0f Ms"
                const double metres = text.section(u", "_s, 1).chopped(3).toDouble();
                QVERIFY2(std::abs(metres / truth - 1) < 0.01,
                         qPrintable(u"%1 for %2 m"_s.arg(text).arg(truth)));
                ++pairs;
            }
        }
        QVERIFY2(pairs > 20, qPrintable(QString::number(pairs)));
        delete frame;
    }
};

QTEST_MAIN(TestOsmMapView)
#include "test_osm_map_view.moc"
