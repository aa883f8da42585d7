// Maps of real places: a small made-up extract read in every format the tool
// takes, its gazetteers, and its picture (roads, names, water, clipping at the
// edge, upright labels that do not overlap); the scale number; index text.

#include "osm_map.h"
#include "picture_bands.h"
#include "test_support.h"

#include "gazetteer/index_search.h"

#include <osmium/io/any_input.hpp>
#include <osmium/io/any_output.hpp>

#include <QDirIterator>
#include <QFontMetricsF>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// data/testbury.osm, a made-up town of about a square mile: Mill Road in two
// joined ways and one apart, an avenue (drawn from east to west) that runs past
// the bounds, a river, a pond, a park, a railway with a station, a hospital, a
// cafe and the town. Written as name (".osm", ".osm.bz2", ".osm.gz",
// ".osm.pbf") in dir.
QString WriteExtract(const QTemporaryDir& dir, const QString& name) {
    const QString xml = QStringLiteral(VELDRA_TEST_DATA "/testbury.osm");
    if (name.endsWith(u".osm"_s))
        return xml;
    const QString path = dir.filePath(name);
    osmium::io::Reader reader(xml.toStdString());
    osmium::io::Writer writer(path.toStdString(), reader.header());
    while (osmium::memory::Buffer buffer = reader.read())
        writer(std::move(buffer));
    writer.close();
    reader.close();
    return path;
}

// The map of an extract read with the default request; an empty scene, with
// the reason printed, when it cannot be read.
OsmMap ReadExtract(const QString& input) {
    OsmMapRequest request;
    request.input = input;
    OsmMap map;
    QString error;
    if (!ReadOsmMap(request, map, error))
        qWarning("%s", qPrintable(error));
    return map;
}

QString Text(const LabelRun& run) {
    QString text;
    for (const Glyph& g : run.glyphs)
        text += g.text;
    return text;
}

// True when a pixel within radius of p has the colour (within tolerance,
// summed over red, green and blue).
bool Near(const QImage& image, QPoint p, QRgb colour, int radius = 2, int tolerance = 0) {
    for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx) {
            const QPoint q = p + QPoint(dx, dy);
            if (!image.rect().contains(q))
                continue;
            const QRgb c = image.pixel(q);
            if (std::abs(qRed(c) - qRed(colour)) + std::abs(qGreen(c) - qGreen(colour)) +
                    std::abs(qBlue(c) - qBlue(colour)) <=
                tolerance)
                return true;
        }
    return false;
}

// The pixels of a that differ from b by more than rounding (drawn apart, a
// dash may end a fraction of a pixel away).
int PixelsOff(const QImage& a, const QImage& b) {
    int off = a.size() == b.size() ? 0 : 1;
    for (int y = 0; off == 0 && y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            off += !Near(a, {x, y}, b.pixel(x, y), 0, 48);
    return off;
}

// Two labels whose glyph centres lie closer than half their widths, or
// nothing.
QString Overlap(const std::vector<LabelRun>& labels) {
    for (size_t a = 0; a < labels.size(); ++a)
        for (size_t b = a + 1; b < labels.size(); ++b)
            for (const Glyph& g : labels[a].glyphs)
                for (const Glyph& h : labels[b].glyphs)
                    if (QLineF(g.at, h.at).length() <= std::min(g.advance, h.advance) / 2 + 1)
                        return Text(labels[a]) + u" / "_s + Text(labels[b]);
    return {};
}

// Every file of an installed map folder, its levels' included: path in the
// folder and bytes, with the index file's time that side files (.names,
// .search) record in bytes 16-23 zeroed.
std::map<QString, QByteArray> MapFiles(const CTestRoot& root, const QString& title) {
    std::map<QString, QByteArray> files;
    const QDir folder(root.Host(u"Veldra/Maps/"_s + title));
    QDirIterator it(folder.path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        QByteArray& bytes = files[folder.relativeFilePath(it.filePath())];
        bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        if (!it.fileName().endsWith(u".idx"_s) && !it.fileName().endsWith(u".map"_s) &&
            bytes.startsWith("VldIdx") && bytes.size() >= 24)
            bytes.replace(16, 8, QByteArray(8, 0));
    }
    return files;
}

// A small extract: nodes 1 to 4 on a square at Kirchberg, then body.
QByteArray Extract(const QByteArray& body) {
    return "<?xml version='1.0'?>\n<osm version=\"0.6\">\n"
           "<node id=\"1\" lat=\"48.100\" lon=\"10.100\"/>\n"
           "<node id=\"2\" lat=\"48.100\" lon=\"10.102\"/>\n"
           "<node id=\"3\" lat=\"48.102\" lon=\"10.102\"/>\n"
           "<node id=\"4\" lat=\"48.102\" lon=\"10.100\"/>\n" +
           body + "</osm>\n";
}

} // namespace

class TestOsmMap : public QObject {
    Q_OBJECT

private slots:
    void formats_data() {
        QTest::addColumn<QString>("file");
        for (const char* name : {"source.osm", "town.osm.bz2", "town.osm.gz", "town.osm.pbf"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    // Every format gives the same gazetteer: one Streets record per connected
    // stretch with the postcode of the stretch, and the kinds, phone and places;
    // a house whose address stands on two points a few metres apart, once.
    void formats() {
        QFETCH(QString, file);
        QTemporaryDir dir;
        const OsmMap map = ReadExtract(WriteExtract(dir, file));
        QVERIFY(map.scene.width > 0);
        QString error;
        // 0.01 degrees of longitude at 51.503 degrees, 0.006 of latitude, and the margins.
        QCOMPARE(map.scene.width, 693 + 2 * OSM_MARGIN);
        QCOMPARE(map.scene.height, 668 + 2 * OSM_MARGIN);
        QStringList records;
        for (const PlaceRecord& p : map.places) {
            QVERIFY(p.x >= 1 && p.y >= 1 && p.x < map.scene.width && p.y < map.scene.height);
            records << p.category + u'|' + p.name + u'|' + p.extra1;
        }
        records.sort();
        QCOMPARE(records,
                 QStringList({u"Addresses|Lódz Avenue 3|"_s, u"Addresses|Mill Road 12|"_s,
                              u"Hospitals|St Mary's|+44 20 1234"_s, u"Places|Café Nero|Cafe"_s,
                              u"Places|Green Park|Park"_s, u"Stations|Central|Railway station"_s,
                              u"Streets|Lódz Avenue|"_s, u"Streets|Mill Road|"_s,
                              u"Streets|Mill Road|AB1 2CD"_s, u"Towns|Testbury Parish|Area"_s,
                              u"Towns|Testbury|Town"_s}));
        std::vector<std::pair<QString, QByteArray>> files;
        QVERIFY2(
            BuildIndexFiles(map.places, QSize(map.scene.width, map.scene.height), files, error),
            qPrintable(error));
        // A house is found by its street and number as typed, at its middle.
        const auto addresses = std::find_if(
            files.begin(), files.end(), [](const auto& f) { return f.first == u"Addresses"_s; });
        QVERIFY(addresses != files.end());
        const QByteArray& bytes = addresses->second;
        const SearchResult found =
            SearchIndexBytes(reinterpret_cast<const unsigned char*>(bytes.constData()),
                             size_t(bytes.size()), EncodeSearchText(u"łódź avenue 3"_s));
        QCOMPARE(found.matches.size(), size_t(1));
        const QPoint house = CMercatorProjection(map.box, 1.0).ToPixel(-0.0959, 51.5035).toPoint();
        QVERIFY(std::abs(found.matches[0].x - house.x()) <= 1 &&
                std::abs(found.matches[0].y - house.y()) <= 1);
    }

    void picture() {
        QTemporaryDir dir;
        const OsmMap map = ReadExtract(WriteExtract(dir, u"source.osm"_s));
        QVERIFY(map.scene.width > 0);
        const QImage image = RenderMapScene(map.scene);
        // Drawn part by part, the picture is the same.
        const QRect lower(0, 500, image.width(), image.height() - 500);
        QCOMPARE(PixelsOff(RenderMapScenePart(map.scene, lower), image.copy(lower)), 0);

        const CMercatorProjection projection(map.box, 1.0);
        auto at = [&](double lon, double lat) { return projection.ToPixel(lon, lat).toPoint(); };
        const QRgb water = qRgb(0xa7, 0xcf, 0xe6), white = qRgb(255, 255, 255);
        const QPoint edge = at(-0.09, 51.503);
        QVERIFY(Near(image, at(-0.09175, 51.502), water));                   // the pond
        QVERIFY(Near(image, at(-0.093, 51.5057), water));                    // the river
        QVERIFY(Near(image, at(-0.094, 51.501), white));                     // Mill Road
        QVERIFY(Near(image, at(-0.0982, 51.504), qRgb(0xc9, 0xe6, 0xae)));   // the park
        QVERIFY(Near(image, at(-0.098, 51.502), qRgb(0xc7, 0x6b, 0x1a), 4)); // the café's symbol
        QVERIFY(Near(image, at(-0.0945, 51.5018), qRgb(0xc9, 0x8a, 0), 4));  // the post box's
        QVERIFY(Near(image, at(-0.0905, 51.5018), qRgb(0xa0, 0x5c, 0xb0), 5, 30)); // the boundary
        QVERIFY(Near(image, at(-0.0955, 51.5025), qRgb(0x3a, 0x6f, 0xd8), 2, 60)); // the cycleway
        // The tunnel: no road fill, a dashed casing either side.
        QVERIFY(!Near(image, at(-0.095, 51.504), white, 3));
        QVERIFY(Near(image, at(-0.095, 51.504), qRgb(0x9a, 0x93, 0x8a), 8, 40));
        // One-way arrows along the avenue, and its number in a shield.
        int arrow = 0;
        for (int x = 0; x < image.width(); ++x)
            arrow += Near(image, QPoint(x, edge.y()), qRgb(0x5b, 0x5b, 0x8f), 0, 30);
        QVERIFY2(arrow >= 8, qPrintable(QString::number(arrow)));
        // The avenue leaves the picture: drawn up to the right edge, cut cleanly.
        QVERIFY(!Near(image, at(-0.097, 51.501), qRgb(0x5b, 0x5b, 0x8f), 6, 30)); // two-way
        QVERIFY(Near(image, QPoint(image.width() - 1, edge.y()), qRgb(0xf7, 0xb5, 0x9a)));
        for (const PlaceRecord& p : map.places)
            if (p.category == u"Streets"_s)
                QVERIFY2(Near(image, {p.x, p.y},
                              p.name == u"Mill Road"_s ? white : qRgb(0xf7, 0xb5, 0x9a)),
                         qPrintable(p.name));

        // Names: each street name written along its road, upright; the station,
        // the hospital and the town named; every label inked; no two labels overlap.
        QStringList texts;
        for (const LabelRun& run : map.scene.labels) {
            texts << Text(run);
            QVERIFY2(Ink(image, run.bounds.toAlignedRect() & image.rect(), 140) >= 10,
                     qPrintable(Text(run)));
            for (const Glyph& g : run.glyphs)
                QVERIFY2(std::abs(g.angle) <= kPi / 2 + 0.1, qPrintable(Text(run)));
        }
        for (const char* name :
             {"Mill Road", "Lódz Avenue", "River Test", "Central", "St Mary's", "TESTBURY",
              "Swan Pond", "Café Nero", "12", "3", "A5", "Testbury Parish"})
            QVERIFY2(texts.contains(QString::fromUtf8(name)), name);
        QVERIFY(Overlap(map.scene.labels).isEmpty());
        for (const LabelRun& run : map.scene.labels)
            if (Text(run) == u"A5"_s) {
                const Glyph& g = run.glyphs.front();
                QVERIFY(run.shield &&
                        Near(image, (g.at + QPointF(g.advance / 2 + 1.5, 0)).toPoint(),
                             qRgb(0xfd, 0xf3, 0xc4), 1, 10));
            }
    }

    // A building's outline lies just outside it whichever way its ring winds;
    // the fill covers the rest.
    void buildingOutlines() {
        const QPolygonF square({{10, 10}, {30, 10}, {30, 30}, {10, 30}});
        for (const bool reversed : {false, true}) {
            MapScene scene;
            scene.width = scene.height = 60;
            scene.background = Qt::white;
            QPolygonF ring = square;
            if (reversed)
                std::reverse(ring.begin(), ring.end());
            scene.AddArea(AreaKind::Building, {ring});
            const QImage image = RenderMapScene(scene);
            const QRgb edge = qRgb(0xc4, 0xb3, 0xa1), fill = qRgb(0xe2, 0xd7, 0xcb);
            for (const QPoint outside : {QPoint(20, 9), QPoint(30, 20), QPoint(20, 30)})
                QVERIFY(Near(image, outside, edge, 0, 40));
            QVERIFY(Near(image, QPoint(20, 20), fill, 0));
            QCOMPARE(image.pixel(20, 7), qRgb(255, 255, 255));
        }
    }

    // Long dashed lines (a railway, a footpath) keep their dashes where parts
    // of the map drawn apart meet: any part equals the same part of the whole.
    void dashesAcrossParts() {
        MapScene scene;
        scene.width = 6000;
        scene.height = 2000;
        scene.background = Qt::white;
        QPolygonF rail, path;
        for (int i = 0; i <= 90; ++i)
            rail << QPointF(10 + i * 66.1, 100 + i * 13.1 + (i % 3) * 0.37);
        for (int i = 0; i <= 300; ++i)
            path << QPointF(10 + i * 19.7, 1900 - i * 6.1);
        scene.AddLine(LineKind::Rail, rail);
        scene.AddLine(LineKind::Road, path, RoadKind::Path);
        const QImage whole = RenderMapScene(scene);
        for (const QRect part : {QRect(4000, 0, 1000, 2000), QRect(0, 1000, 6000, 500)})
            QCOMPARE(PixelsOff(RenderMapScenePart(scene, part), whole.copy(part)), 0);
    }

    // The overview levels: at 0.5 the streets keep their names, at 0.25 only
    // the town, the main road and the water are named; each level's labels
    // are inked where the map shrunk to that zoom shows next to no ink, in
    // text at least 11 pixels high, never overlapping.
    void levels() {
        QTemporaryDir dir;
        const OsmMap map = ReadExtract(WriteExtract(dir, u"source.osm"_s));
        QVERIFY(map.scene.width > 0);
        const QImage image = RenderMapScene(map.scene);
        for (int level : {0, 1}) {
            const double zoom = level == 0 ? 0.5 : 0.25;
            const QRect rect(0, 0, int(image.width() * zoom), int(image.height() * zoom));
            const QImage picture = RenderMapScenePart(map.scene, rect, level);
            const QImage shrunk = image.scaled(rect.size()); // as the viewer shrinks
            QStringList texts;
            for (const LabelRun& run : map.scene.levelRuns[level]) {
                texts << Text(run);
                QVERIFY2(run.font.pixelSize() >= 11, qPrintable(Text(run)));
                const QRect box = run.bounds.toAlignedRect() & rect;
                const int ink = Ink(picture, box), shrunkInk = Ink(shrunk, box);
                QVERIFY2(ink >= 12 && ink > 2 * shrunkInk,
                         qPrintable(u"%1: %2 / %3"_s.arg(Text(run)).arg(ink).arg(shrunkInk)));
            }
            texts.sort();
            const QStringList wanted =
                level == 0 ? QStringList{"Central",    "Lódz Avenue", "Mill Road",
                                         "River Test", "St Mary's",   "TESTBURY"}
                           : QStringList{"Central", "Lódz Avenue", "River Test", "TESTBURY"};
            for (const QString& name : wanted)
                QVERIFY2(texts.contains(name),
                         qPrintable(name + u" at level "_s + QString::number(level)));
            QVERIFY2(level == 0 || !texts.contains(u"Mill Road"_s), "minor street thinned out");
            QVERIFY(Overlap(map.scene.levelRuns[level]).isEmpty());
        }
    }

    // The tiles and level tiles made on several workers, drawn part by part,
    // cut from a whole picture or from the same picture read from a PNG in
    // bands, are those of one worker byte for byte; the whole picture and
    // its PNG make the same map.
    void workersMakeTheSameMap() {
        CTestRoot root;
        OsmMapRequest osm;
        osm.input = QStringLiteral(VELDRA_TEST_DATA "/West-Oakland.osm.bz2");
        osm.bbox = GeoBox{-122.3143, 37.8040, -122.2908, 37.8176};
        OsmMap map;
        QString error;
        QVERIFY2(ReadOsmMap(osm, map, error), qPrintable(error));
        const QString png = root.Host(u"oakland.png"_s);
        QVERIFY(RenderMapScene(map.scene).save(png));
        std::map<QString, QByteArray> wholeMap;
        for (const char* source : {"drawn", "whole", "png"}) {
            std::map<QString, QByteArray> first;
            for (const int workers : {1, 3}) {
                PackageRequest request;
                request.title = u"Oakland"_s;
                request.replace = true;
                request.workers = workers;
                request.places = map.places;
                if (source == std::string_view("whole")) {
                    request.picture = RenderMapScene(map.scene);
                } else if (source == std::string_view("png")) {
                    QVERIFY2(OpenPicture(png, request, error) && request.readRows,
                             qPrintable(error));
                } else {
                    request.pictureSize = QSize(map.scene.width, map.scene.height);
                    request.drawPart = [&](const QRect& r) {
                        return RenderMapScenePart(map.scene, r);
                    };
                    request.drawLevelPart = [&](int level, const QRect& r) {
                        return RenderMapScenePart(map.scene, r, level);
                    };
                }
                QVERIFY2(PackageMap(request, error), qPrintable(error));
                const auto files = MapFiles(root, u"Oakland"_s);
                QCOMPARE(std::count_if(files.begin(), files.end(),
                                       [](const auto& f) { return f.first.endsWith(u".map"_s); }),
                         20); // 5 x 4 tiles
                QCOMPARE(std::count_if(files.begin(), files.end(),
                                       [](const auto& f) { return f.first.endsWith(u".cbm"_s); }),
                         8); // 3 x 2 and 2 x 1 level tiles
                if (workers == 1)
                    first = files;
                else
                    for (const auto& [name, bytes] : files)
                        QVERIFY2(first[name] == bytes, qPrintable(name));
                if (source == std::string_view("whole"))
                    wholeMap = files;
                else if (source == std::string_view("png"))
                    QVERIFY(files == wholeMap);
            }
        }
    }

    // Extracts a reader must take in its stride (or refuse with the reason).
    void awkwardExtracts_data() {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<bool>("large");
        QTest::addColumn<QString>("error"); // empty: read
        QTest::addColumn<int>("lines");
        const QByteArray road = "<way id=\"5\"><nd ref=\"1\"/><nd ref=\"3\"/>"
                                "<tag k=\"highway\" v=\"residential\"/></way>\n";
        QTest::newRow("tagged way without nodes")
            << Extract(road + "<way id=\"10\"><tag k=\"highway\" v=\"residential\"/></way>\n"
                              "<way id=\"11\"><tag k=\"building\" v=\"yes\"/></way>\n"
                              "<relation id=\"12\"><tag k=\"type\" v=\"multipolygon\"/>"
                              "<tag k=\"landuse\" v=\"forest\"/></relation>\n")
            << false << QString() << 1;
        QTest::newRow("negative ids")
            << Extract(road).replace("id=\"", "id=\"-").replace("ref=\"", "ref=\"-") << false
            << QString() << 1;
        // A name that starts with a word in capitals gains a '!' when stored.
        QTest::newRow("99 characters, capitals first")
            << Extract("<way id=\"5\"><nd ref=\"1\"/><nd ref=\"3\"/>"
                       "<tag k=\"highway\" v=\"residential\"/><tag k=\"name\" v=\"NHS " +
                       QByteArray(95, 'a') + "\"/></way>\n")
            << false << QString() << 1;
        const QByteArray far = "<?xml version='1.0'?>\n<osm version=\"0.6\">\n"
                               "<node id=\"1\" lat=\"48.0\" lon=\"10.0\"><tag k=\"place\" "
                               "v=\"town\"/><tag k=\"name\" v=\"A\"/></node>\n"
                               "<node id=\"2\" lat=\"48.6\" lon=\"10.9\"/>\n</osm>\n";
        QTest::newRow("18,000 tiles") << far << false << u"--large"_s << 0;
        QTest::newRow("18,000 tiles, --large") << far << true << QString() << 0;
    }

    void awkwardExtracts() {
        QFETCH(QByteArray, xml);
        QFETCH(bool, large);
        QFETCH(QString, error);
        QFETCH(int, lines);
        QTemporaryDir dir;
        QFile file(dir.filePath(u"x.osm"_s));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(xml) == xml.size());
        file.close();
        OsmMapRequest request;
        request.input = file.fileName();
        request.large = large;
        OsmMap map;
        QString got;
        QCOMPARE(ReadOsmMap(request, map, got), error.isEmpty());
        QVERIFY2(got.contains(error), qPrintable(got));
        if (!error.isEmpty())
            return;
        QCOMPARE(int(map.scene.lines.size()), lines);
        // Every name found is one the index files can store.
        std::vector<std::pair<QString, QByteArray>> files;
        QVERIFY2(BuildIndexFiles(map.places, QSize(map.scene.width, map.scene.height), files, got),
                 qPrintable(got));
        QCOMPARE(files.size(), size_t(map.places.empty() ? 0 : 1));
    }

    void scale_data() {
        QTest::addColumn<double>("metresPerPixel");
        QTest::addColumn<int>("scale");
        QTest::newRow("0.25") << 0.25 << 2285;
        QTest::newRow("1") << 1.0 << 9141;
        QTest::newRow("20") << 20.0 << 182815;
    }

    // S makes the read-out's d x S x 0.0001 x 1.094 equal d x metresPerPixel; the
    // edges of Map.dat span the picture in Web Mercator metres.
    void scale() {
        QFETCH(double, metresPerPixel);
        QFETCH(int, scale);
        const GeoBox box{-0.1, 51.5, -0.09, 51.506};
        const CMercatorProjection projection(box, metresPerPixel);
        const MapCalibration c = projection.Calibration();
        QCOMPARE(c.nScale, scale);
        QVERIFY(std::abs(c.nScale * 0.0001 * 1.094 / metresPerPixel - 1) <= 0.5 / c.nScale);
        const double mercatorPerPixel = metresPerPixel / std::cos(51.503 * kPi / 180);
        QVERIFY(std::abs((c.nEast - c.nWest) - projection.Width() * mercatorPerPixel) <= 1);
        QVERIFY(std::abs((c.nNorth - c.nSouth) - projection.Height() * mercatorPerPixel) <= 1);
        QVERIFY(std::abs(c.nWest - (-11131.95 - OSM_MARGIN * mercatorPerPixel)) <= 1);
    }

    void indexText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("stored");
        QTest::newRow("Windows-1252 kept")
            << u"Goethestraße €5 Café"_s << u"Goethestraße €5 Café"_s;
        QTest::newRow("base letters")
            << u"Łódź Şişli Dębowa Őrház"_s << u"Lódz Sisli Debowa Orház"_s;
        QTest::newRow("no base letter") << u"Αθήνα 東京 Station"_s << u"Station"_s;
        QTest::newRow("bars, bangs, controls") << u"#A|B!C\tD\nE"_s << u"ABC D E"_s;
        QTest::newRow("long") << QString(120, u'x') << QString(99, u'x');
    }

    void indexText() {
        QFETCH(QString, text);
        QFETCH(QString, stored);
        QCOMPARE(IndexText(text), stored);
    }
};

QTEST_MAIN(TestOsmMap)
#include "test_osm_map.moc"
