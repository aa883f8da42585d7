// The veldra-pack command itself, as a user runs it: what it makes and what
// it refuses.

#include "map_packager.h"
#include "test_support.h"

#include "gazetteer/index_search.h"
#include "store/geo_reference.h"

#include <QBuffer>
#include <QProcess>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// Soft colours: many of them, yet small as PNG.
QImage Picture(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb((x / 3) % 256, (y / 2) % 256, ((x + y) / 4) % 256));
    return image;
}

// A file of the tests' data folder.
QByteArray Data(const char* name) {
    QFile file(QStringLiteral(VELDRA_TEST_DATA "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Run {
    int status = -1;
    QString out, err;
};

// Runs veldra-pack with the arguments and waits for it.
Run PackTool(const QStringList& arguments) {
    QProcess tool;
    tool.start(QStringLiteral(VELDRA_PACK_PATH), arguments);
    if (!tool.waitForFinished(60000) || tool.exitStatus() != QProcess::NormalExit)
        return {};
    return {tool.exitCode(), QString::fromUtf8(tool.readAllStandardOutput()),
            QString::fromUtf8(tool.readAllStandardError())};
}

} // namespace

class TestVeldraPack : public QObject {
    Q_OBJECT

private slots:
    void commandMakesAMap() {
        CTestRoot root;
        const QString picture = root.Host(u"town.png"_s);
        QVERIFY(Picture(900, 400).save(picture));
        // A byte-order mark, a comment, CRLF, a blank line, blanks around fields.
        QVERIFY(root.WriteFile(u"places.tsv"_s,
                               "\xef\xbb\xbf# category\tname\textra1\textra2\tx\ty\r\n"
                               "Streets\t Caf\xc3\xa9 Lane \tTT1 1\tTest Town\t 100 \t200\r\n"
                               "\r\n"
                               "Hospitals\tTest Town NHS Clinic\t\t\t300\t50"));
        // A world file beside the picture, in degrees: 0.0001 a pixel from 10 E, 48.4 N.
        QVERIFY(root.WriteFile(u"town.pgw"_s, "0.0001\n0\n0\n-0.0001\n10.00005\n48.39995\n"));

        const Run run = PackTool({u"make"_s, u"--root"_s, root.Path(), u"--title"_s, u"Test Town"_s,
                                  u"--picture"_s, picture, u"--places"_s,
                                  root.Host(u"places.tsv"_s), u"--calibration"_s, u"1,2,-3,4,5"_s});
        QVERIFY2(run.status == 0, qPrintable(run.err));
        QVERIFY(run.out.contains(u"tile 4/4"_s)); // 2 tiles, a tile at 0.5 and one at 0.25
        const QString folder = u"Veldra/Maps/Test Town/"_s;
        QStringList files = QDir(root.Host(folder)).entryList(QDir::Files);
        files.sort();
        QCOMPARE(files, QStringList({"Hospitals.idx", "Hospitals.search", "Map.dat", "Map.geo",
                                     "Streets.idx", "Streets.search", "tes1_1.map", "tes1_2.map"}));
        const auto geo = ReadGeoReference(u"\\Veldra\\Maps\\Test Town"_s);
        QVERIFY(geo && std::abs(geo->East() - 10.09) < 1e-9 &&
                std::abs(geo->South() - 48.36) < 1e-9);
        QCOMPARE(root.ReadFile(folder + u"Streets.idx"_s),
                 QByteArray("|caf\xe9 lane|TT1 1|Test Town|100|200|#"));
        QCOMPARE(root.ReadFile(folder + u"Map.dat"_s), MakeMapDat({1, 2, -3, 4, 5}));

        // A real place: progress while reading, then the tiles; only the
        // categories that have names get an index file, and names spelt with
        // capitals inside a word their display spellings.
        const Run osm = PackTool({u"osm"_s, u"--root"_s, root.Path(), u"--title"_s, u"Kirchberg"_s,
                                  u"--input"_s, QStringLiteral(VELDRA_TEST_DATA "/kirchberg.osm"),
                                  u"--metres-per-pixel"_s, u"0.5"_s});
        QVERIFY2(osm.status == 0, qPrintable(osm.err));
        QVERIFY2(osm.out.contains(u"Kirchberg: reading 100%"_s) && osm.out.contains(u"tile 6/6"_s),
                 qPrintable(osm.out));
        files = QDir(root.Host(u"Veldra/Maps/Kirchberg"_s)).entryList(QDir::Files);
        files.sort();
        QCOMPARE(files,
                 QStringList({"Addresses.idx", "Addresses.names", "Addresses.search", "Map.dat",
                              "Map.geo", "Streets.idx", "Streets.names", "Streets.search",
                              "kir1_1.map", "kir1_2.map", "kir2_1.map", "kir2_2.map"}));
        // The viewer's search lists the name as it is written.
        const auto wagner = SearchIndex(u"\\Veldra\\Maps\\Kirchberg"_s, u"Streets"_s, u"wagner"_s);
        QVERIFY(wagner && wagner->matches.size() == 1);
        QCOMPARE(wagner->matches[0].name, u"Richard-Wagner-Straße"_s);
        // A house is found by its street and number.
        const auto door =
            SearchIndex(u"\\Veldra\\Maps\\Kirchberg"_s, u"Addresses"_s, u"goethestraße 13"_s);
        QVERIFY(door && door->matches.size() == 1);
        QCOMPARE(door->matches[0].name, u"Goethestraße 13"_s);

        // Nothing the style draws: a warning with what was read, and the map.
        QVERIFY(root.WriteFile(u"boundary.osm"_s,
                               "<osm version=\"0.6\"><node id=\"1\" lat=\"48\" lon=\"10\">"
                               "<tag k=\"place\" v=\"city\"/><tag k=\"name\" v=\"Karl\"/>"
                               "</node><node id=\"2\" lat=\"48.01\" lon=\"10.01\"/>"
                               "<way id=\"3\"><nd ref=\"1\"/><nd ref=\"2\"/><nd ref=\"1\"/></way>"
                               "<relation id=\"4\"><member type=\"way\" ref=\"3\" role=\"outer\"/>"
                               "<tag k=\"boundary\" v=\"administrative\"/></relation></osm>"));
        const Run blank =
            PackTool({u"osm"_s, u"--root"_s, root.Path(), u"--title"_s, u"Karl"_s, u"--input"_s,
                      root.Host(u"boundary.osm"_s), u"--metres-per-pixel"_s, u"20"_s});
        QVERIFY2(blank.status == 0 &&
                     blank.err.contains(u"warning: boundary.osm holds nothing "
                                        "the map style draws (read: nodes 2, "
                                        "ways 1, relations 1"_s) &&
                     blank.out.contains(u" tiles, about "_s),
                 qPrintable(blank.err + blank.out));
    }

    void commandRefusesBadInput_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        const QStringList make = {u"make"_s, u"--title"_s, u"Town"_s, u"--picture"_s};
        const QString good = u"@dir/good.png"_s, places = u"--places"_s;
        QTest::newRow("unreadable picture")
            << make + QStringList{u"@dir/garbage.png"_s} << 1 << "cannot read the picture";
        QTest::newRow("truncated picture")
            << make + QStringList{u"@dir/cut.png"_s} << 1 << "cut.png: the file ends early";
        QTest::newRow("damaged picture") << make + QStringList{u"@dir/damaged.png"_s} << 1
                                         << "damaged.png: the IDAT chunk is damaged";
        QTest::newRow("bad title")
            << QStringList{u"make"_s, u"--title"_s, u"../Town"_s, u"--picture"_s, good} << 1
            << "map title";
        QTest::newRow("bad calibration")
            << make + QStringList{good, u"--calibration"_s, u"1,2,3,4"_s} << 2 << "calibration";
        QTest::newRow("places line 2: five fields")
            << make + QStringList{good, places, u"@dir/five.tsv"_s} << 1 << "line 2";
        QTest::newRow("places line 3: x not a number")
            << make + QStringList{good, places, u"@dir/ten.tsv"_s} << 1 << "line 3";
        QTest::newRow("places not UTF-8")
            << make + QStringList{good, places, u"@dir/latin.tsv"_s} << 1 << "UTF-8";
        QTest::newRow("no title") << QStringList{u"make"_s, u"--picture"_s, good} << 2 << "--title";
        QTest::newRow("rotated world file") << make + QStringList{u"@dir/tilted.png"_s} << 1
                                            << "tilted.pgw: the world file "
                                               "describes a rotated picture";
        QTest::newRow("edges not a box")
            << make + QStringList{good, u"--edges"_s, u"10,48,9,49"_s} << 2 << "--edges wants";
        const QStringList osm = {u"osm"_s, u"--title"_s, u"Town"_s, u"--input"_s};
        const QString real = u"@data/kirchberg.osm"_s;
        QTest::newRow("osm: truncated XML")
            << osm + QStringList{u"@dir/cut.osm"_s} << 1 << "cannot read the extract cut.osm";
        QTest::newRow("osm: truncated bzip2") << osm + QStringList{u"@dir/cut.osm.bz2"_s} << 1
                                              << "cannot read the extract cut.osm.bz2";
        QTest::newRow("osm: not PBF") << osm + QStringList{u"@dir/garbage.osm.pbf"_s} << 1
                                      << "cannot read the extract garbage.osm.pbf";
        QTest::newRow("osm: empty")
            << osm + QStringList{u"@dir/empty.osm"_s} << 1 << "holds no map data";
        QTest::newRow("osm: too large") << osm + QStringList{real, u"--bbox"_s, u"9,48,10.5,49"_s,
                                                             u"--metres-per-pixel"_s, u"0.25"_s}
                                        << 1 << "100000 pixels";
        QTest::newRow("osm: scale out of range")
            << osm + QStringList{real, u"--metres-per-pixel"_s, u"0.2"_s} << 1 << "0.25 and 20";
        QTest::newRow("osm: bbox without data")
            << osm + QStringList{real, u"--bbox"_s, u"10.1,48.1,10.11,48.11"_s} << 1
            << "no map data of kirchberg.osm inside the bbox";
        QTest::newRow("osm: scale not a number")
            << osm + QStringList{real, u"--metres-per-pixel"_s, u"abc"_s} << 2 << "wants a number";
        QTest::newRow("osm: coordinate with an exponent")
            << osm + QStringList{u"@dir/exponent.osm"_s, u"--bbox"_s, u"9,48,10.5,48.2"_s} << 1
            << "(-0.0931e3005), which cannot be read";
        QTest::newRow("osm: input a folder") << osm + QStringList{u"@dir"_s} << 1 << "is a folder";
        QTest::newRow("osm: no input")
            << QStringList{u"osm"_s, u"--title"_s, u"Town"_s} << 2 << "--input";
    }

    void commandRefusesBadInput() {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QByteArray png, damaged;
        QBuffer buffer(&png);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && Picture(100, 100).save(&buffer, "png"));
        damaged = png;
        damaged[png.size() / 2] = char(damaged[png.size() / 2] ^ 1); // among the pixels
        const std::pair<const char*, QByteArray> inputs[] = {
            {"garbage.png", "\x89PNG but not really a picture"},
            {"cut.png", png.left(png.size() / 2)},
            {"damaged.png", damaged},
            {"five.tsv", "Streets\tA\tB\tC\t1\t2\nStreets\tA\tB\t1\t2\n"},
            {"ten.tsv", "\n\nStreets\tA\tB\tC\tten\t2\n"},
            {"latin.tsv", "Streets\tCaf\xe9\t\t\t1\t2\n"},
            {"cut.osm", Data("kirchberg.osm").left(6000)},
            {"cut.osm.bz2", Data("West-Oakland.osm.bz2").left(8000)},
            {"garbage.osm.pbf", "not a PBF file at all"},
            {"empty.osm", "<?xml version='1.0'?>\n<osm version=\"0.6\">\n</osm>\n"},
            {"exponent.osm", "<osm version='0.6'><node id='1' lat='48.1' lon='10.1'/>"
                             "<node id='2' lat = '-0.0931e3005' lon='10.1'/></osm>"},
            {"tilted.pgw", "1\n0.5\n0\n-1\n10\n48\n"}};
        for (const auto& [name, bytes] : inputs) {
            QFile file(dir.filePath(QLatin1String(name)));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        }
        QVERIFY(Picture(100, 100).save(dir.filePath(u"good.png"_s)));
        QVERIFY(Picture(100, 100).save(dir.filePath(u"tilted.png"_s)));
        const QString root = dir.filePath(u"root"_s);
        arguments.replaceInStrings(u"@dir"_s, dir.path());
        arguments.replaceInStrings(u"@data"_s, QStringLiteral(VELDRA_TEST_DATA));

        const Run run = PackTool(arguments << u"--root"_s << root);
        QCOMPARE(run.status, status);
        QVERIFY2(run.err.startsWith(u"veldra-pack: "_s) && run.err.count(u'\n') == 1 &&
                     run.err.contains(message),
                 qPrintable(run.err));
        QVERIFY(!QFileInfo::exists(root)); // nothing made: no map folder, no registry
    }
};

QTEST_GUILESS_MAIN(TestVeldraPack)
#include "test_veldra_pack.moc"
