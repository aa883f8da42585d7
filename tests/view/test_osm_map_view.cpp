// Maps of real places packaged from OpenStreetMap extracts, installed,
// converted at start-up and shown (overview levels too); the read-out's
// scale and the geo-reference agree with the extract's nodes.

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

// A level's picture (-1: the map) inside shown, drawn a row of tiles at a
// time as the packager draws it, white beyond the map.
QImage LevelPicture(const MapScene& scene, int level, const QRect& shown) {
    const double zoom = level < 0 ? 1.0 : LEVEL_ZOOMS[level];
    QImage picture(shown.size(), QImage::Format_RGB32);
    picture.fill(Qt::white);
    const QRect drawn(0, 0, int(std::ceil(scene.width * zoom)), int(std::ceil(scene.height * zoom)));
    QPainter painter(&picture);
    for (int y = 0; y < drawn.height(); y += TILE_SIZE) {
        const QRect row = QRect(0, y, drawn.width(), TILE_SIZE) & drawn;
        if (row.intersects(shown))
            painter.drawImage(row.topLeft() - shown.topLeft(),
                              RenderMapScenePart(scene, row, level));
    }
    painter.end();
    return picture.convertToFormat(kDisplayFormat);
}

// True when a pixel within one of p has a road's fill colour at a level.
bool OnRoad(const QImage& image, QPoint p) {
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            const QPoint q = p + QPoint(dx, dy);
            if (!image.rect().contains(q))
                continue;
            const QColor c = image.pixelColor(q);
            for (const QColor& fill : {QColor(Qt::white), QColor(0xfb, 0xd8, 0x8f),
                                       QColor(0xf7, 0xb5, 0x9a), QColor(0xc9, 0xc2, 0xb0)})
                if (std::abs(c.red() - fill.red()) + std::abs(c.green() - fill.green()) +
                        std::abs(c.blue() - fill.blue()) < 20)
                    return true;
        }
    return false;
}

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
    void realPlaceOpensAndMeasures_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("extract");
        QTest::addColumn<double>("metresPerPixel");
        QTest::addColumn<int>("scale");
        QTest::newRow("Kirchberg") << u"Kirchberg"_s << kExtract << 0.5 << 4570;
        QTest::newRow("West Oakland")
            << u"West Oakland"_s << QStringLiteral(VELDRA_TEST_DATA "/West-Oakland.osm.bz2") << 1.0
            << 9141;
    }
    void realPlaceOpensAndMeasures() {
        QFETCH(QString, title);
        QFETCH(QString, extract);
        QFETCH(double, metresPerPixel);
        QFETCH(int, scale);
        CTestRoot root;
        OsmMapRequest request;
        request.input = extract;
        request.metresPerPixel = metresPerPixel;
        if (title == u"West Oakland"_s) // where the extract has its data
            request.bbox = GeoBox{-122.3143, 37.8040, -122.2908, 37.8176};
        OsmMap map;
        QString error;
        QVERIFY2(ReadOsmMap(request, map, error), qPrintable(error));
        PackageRequest package;
        package.title = title;
        package.pictureSize = QSize(map.scene.width, map.scene.height);
        package.drawPart = [&](const QRect& part) { return RenderMapScenePart(map.scene, part); };
        package.drawLevelPart = [&](int level, const QRect& part) {
            return RenderMapScenePart(map.scene, part, level);
        };
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
        // Start-up: the splash, the conversion, the only map opened.
        QTRY_VERIFY(canvas.IsMapOpen());
        QCOMPARE(ui.m_events, QStringList({"CSplashDlg", "CConvertMapDlg", "message"}));
        QCOMPARE(ui.MessageTexts(), QStringList{"Conversion process complete"});
        QCOMPARE(canvas.MapTitle(), title);
        QCOMPARE(canvas.Calibration().nScale, scale); // metres a pixel

        // The picture pixel for pixel; at 0.5 and 0.25 the levels', with nearly
        // every street's gazetteer position on a road.
        const QSize client(viewport.ClientWidth(), viewport.ClientHeight());
        for (double zoom : {1.0, 0.5, 0.25}) {
            const int level = LevelOf(zoom);
            canvas.ApplyZoom(client.width(), client.height(), zoom);
            QCOMPARE(canvas.DrawsFromLevel(zoom), level >= 0);
            const QRect shown(QPoint(viewport.ScreenOrigin().x, viewport.ScreenOrigin().y), client);
            const QImage image = canvas.ClientImage();
            // Where the map is: the buffer beyond it keeps what it held.
            const QRect mapArea =
                QRect(0, 0, viewport.MapWidth(), viewport.MapHeight()).translated(-shown.topLeft()) &
                image.rect();
            QCOMPARE(image.copy(mapArea), LevelPicture(map.scene, level, shown).copy(mapArea));
            if (level < 0)
                continue;
            const QImage whole = LevelPicture(
                map.scene, level, QRect(0, 0, viewport.MapWidth(), viewport.MapHeight()));
            int streets = 0, onRoad = 0;
            for (const PlaceRecord& p : map.places)
                if (p.category == u"Streets"_s) {
                    ++streets;
                    onRoad += OnRoad(whole, QPoint(int(p.x * zoom), int(p.y * zoom)));
                }
            QVERIFY2(streets >= 3 && onRoad >= streets * 9 / 10,
                     qPrintable(u"%1 of %2 at %3"_s.arg(onRoad).arg(streets).arg(zoom)));
        }
        if (title != u"Kirchberg"_s) {
            delete frame;
            return;
        }

        // Nodes some hundred metres apart: the read-out within 1 % of the great circle.
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

        // Every node converts to where the tool drew it, and back, within 1 mm.
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
