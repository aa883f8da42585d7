// Tests of the map packaging library: names and titles, index files, Map.dat,
// tile images and their encryption, and installing a map without ever leaving
// half a map behind.

#include "map_packager.h"
#include "test_support.h"

#include "gazetteer/index_search.h"
#include "platform/registry.h"
#include "store/map_calibration.h"
#include "store/tile_crypto.h"

#include <QBuffer>
#include <QImageReader>
#include <QPainter>
#include <QRandomGenerator>
#include <QtTest>

namespace {

const QString kMaps = QStringLiteral("Veldra/Maps");

QString KeyOf(const QString& title) {
    return QStringLiteral("Software\\Apps\\Veldra Pocket map of ") + title;
}

// A picture that compresses well as a straight PNG: soft gradients and a few
// shapes, with far more than 256 colours.
QImage SmoothPicture(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = qRgb(x * 255 / std::max(1, width - 1), y * 255 / std::max(1, height - 1),
                           (x + y) % 256);
    }
    QPainter painter(&image);
    painter.fillRect(QRect(40, 30, 200, 120), QColor(30, 60, 200));
    painter.fillRect(QRect(width - 90, height - 70, 80, 60), QColor(220, 20, 20));
    return image;
}

// Random pixels of the given number of colours: beyond what PNG can squeeze.
QImage NoisePicture(int width, int height, int colours, quint32 seed) {
    QRandomGenerator random(seed);
    QList<QRgb> palette;
    for (int i = 0; i < colours; ++i)
        palette.push_back(qRgb(random.bounded(256), random.bounded(256), random.bounded(256)));
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = palette[random.bounded(colours)];
    }
    return image;
}

// The decrypted image of a .map file, read through the viewer's decryption.
QByteArray DecryptedImage(const QString& mapDevicePath, const CTestRoot& root) {
    const QString tmp = mapDevicePath + QStringLiteral(".check.tmp");
    if (!DecryptTileFile(mapDevicePath, tmp))
        return {};
    QFile file(HostPath(tmp));
    file.open(QIODevice::ReadOnly);
    const QByteArray bytes = file.readAll();
    file.close();
    QFile::remove(HostPath(tmp));
    Q_UNUSED(root);
    return bytes;
}

PlaceRecord Place(const QString& category, const QString& name, const QString& extra1,
                  const QString& extra2, int x, int y) {
    PlaceRecord place;
    place.category = category;
    place.name = name;
    place.extra1 = extra1;
    place.extra2 = extra2;
    place.x = x;
    place.y = y;
    return place;
}

// Nothing of the map titled title is left: no folder, no staging folder, no key.
void VerifyNothingInstalled(const CTestRoot& root, const QString& title) {
    QVERIFY(!RegKeyExists(KeyOf(title)));
    QVERIFY(!root.Exists(kMaps + QLatin1Char('/') + title));
    const QStringList leftovers =
        QDir(root.Host(kMaps))
            .entryList({QStringLiteral(".*partial"), QStringLiteral(".*previous")},
                       QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(QLatin1Char(','))));
}

} // namespace

class TestMapPackager : public QObject {
    Q_OBJECT

private slots:
    void titles_data();
    void titles();
    void tileNames();
    void mapFolders_data();
    void mapFolders();
    void storedNames_data();
    void storedNames();
    void indexFileBytes();
    void indexFilesReadByTheGazetteer();
    void badPlaces_data();
    void badPlaces();
    void placesFile();
    void placesFileErrors_data();
    void placesFileErrors();
    void mapDat();
    void calibrationText_data();
    void calibrationText();
    void cutTilePadsWhite();
    void tileImageStraightOrPalette();
    void paletteKeepsFewColoursExactly();
    void encryptedTileDecryptsToTheImage();
    void templateOnlyWhenMissing();
    void installsACompleteMap();
    void keyOnlyAfterTheFolderIsComplete();
    void failuresLeaveNothing_data();
    void failuresLeaveNothing();
    void unwritableRoot();
    void registryFailureRemovesTheFolder();
    void replaceOnlyWhenAsked();
};

void TestMapPackager::titles_data() {
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("usable");
    QTest::newRow("plain") << "Northcombe" << true;
    QTest::newRow("blanks and apostrophe") << "St John's Wood" << true;
    QTest::newRow("one letter") << "A" << true;
    QTest::newRow("non-ASCII") << QStringLiteral("Ålesund Hafen") << true;
    QTest::newRow("dot after the prefix") << "Map v1.2" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("leading blank") << " Northcombe" << false;
    QTest::newRow("trailing blank") << "Northcombe " << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("slash") << "North/combe" << false;
    QTest::newRow("backslash") << "North\\combe" << false;
    QTest::newRow("tab") << "North\tcombe" << false;
    QTest::newRow("newline") << "North\ncombe" << false;
    QTest::newRow("wildcard") << "North*" << false;
    QTest::newRow("colon") << "C:" << false;
    QTest::newRow("dot in the prefix") << "St. Albans" << false;
    QTest::newRow("trailing dot") << "Northcombe." << false;
    QTest::newRow("too long") << QString(MAX_TITLE_CHARS + 1, QLatin1Char('x')) << false;
    QTest::newRow("longest") << QString(MAX_TITLE_CHARS, QLatin1Char('x')) << true;
}

void TestMapPackager::titles() {
    QFETCH(QString, title);
    QFETCH(bool, usable);
    QString error;
    QCOMPARE(CheckMapTitle(title, error), usable);
    QCOMPARE(error.isEmpty(), usable);
}

void TestMapPackager::tileNames() {
    QCOMPARE(TilePrefix(QStringLiteral("Northcombe")), QStringLiteral("nor"));
    QCOMPARE(TilePrefix(QStringLiteral("EASTMOOR")), QStringLiteral("eas"));
    QCOMPARE(TilePrefix(QStringLiteral("Ab")), QStringLiteral("ab"));
    QCOMPARE(TilePrefix(QStringLiteral("St John's")), QStringLiteral("st "));
    QCOMPARE(TileName(QStringLiteral("nor"), 10, 2), QStringLiteral("nor10_2"));
    QCOMPARE(TileName(QStringLiteral("ab"), 1, 1), QStringLiteral("ab1_1"));
}

void TestMapPackager::mapFolders_data() {
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("expected"); // empty: refused
    const QString fortyNine = QStringLiteral("\\Maps\\") + QString(43, QLatin1Char('m'));
    QTest::newRow("default") << "Northcombe"
                             << ""
                             << "\\Veldra\\Maps\\Northcombe";
    QTest::newRow("slashes") << "T"
                             << "/Veldra/Maps/Other/"
                             << "\\Veldra\\Maps\\Other";
    QTest::newRow("no leading separator") << "T"
                                          << "Cards\\Town"
                                          << "\\Cards\\Town";
    QTest::newRow("doubled separators") << "T"
                                        << "\\\\Cards\\\\Town"
                                        << "\\Cards\\Town";
    QTest::newRow("49 characters") << "T" << fortyNine << fortyNine;
    QTest::newRow("50 characters") << "T" << fortyNine + QLatin1Char('m') << "";
    QTest::newRow("default too long") << QString(37, QLatin1Char('t')) << ""
                                      << "";
    QTest::newRow("default longest") << QString(36, QLatin1Char('t')) << ""
                                     << "\\Veldra\\Maps\\" + QString(36, QLatin1Char('t'));
    QTest::newRow("the map store") << "T"
                                   << "\\Veldra\\Maps"
                                   << "";
    QTest::newRow("its parent") << "T"
                                << "/veldra"
                                << "";
    QTest::newRow("place files") << "T"
                                 << "\\Veldra\\My Places\\T"
                                 << "";
    QTest::newRow("parent step") << "T"
                                 << "\\Cards\\..\\Town"
                                 << "";
    QTest::newRow("root only") << "T"
                               << "\\"
                               << "";
}

void TestMapPackager::mapFolders() {
    QFETCH(QString, title);
    QFETCH(QString, folder);
    QFETCH(QString, expected);
    QString resolved, error;
    const bool ok = ResolveMapFolder(title, folder, resolved, error);
    QCOMPARE(ok, !expected.isEmpty());
    if (ok)
        QCOMPARE(resolved, expected);
    else
        QVERIFY(!error.isEmpty());
}

void TestMapPackager::storedNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("shown"); // as the viewer shows the stored name
    QTest::newRow("plain") << "High Street"
                           << "high street"
                           << "High Street";
    QTest::newRow("capitals inside") << "St John's Wood NHS Centre"
                                     << "st john's wood!nhs centre"
                                     << "St John's Wood NHS Centre";
    QTest::newRow("capitals first") << "BBX Centre"
                                    << "!bbx centre"
                                    << "BBX Centre";
    QTest::newRow("capitals with digits") << "NC4 Depot"
                                          << "!nc4 depot"
                                          << "NC4 Depot";
    QTest::newRow("one capital letter") << "A1 Road"
                                        << "a1 road"
                                        << "A1 Road";
    QTest::newRow("hyphens") << "Stoke-on-Trent"
                             << "stoke-on-trent"
                             << "Stoke-on-trent";
    QTest::newRow("blanks squeezed") << "  Mill   Lane "
                                     << "mill lane"
                                     << "Mill Lane";
    QTest::newRow("already stored") << "old!fc ground"
                                    << "old!fc ground"
                                    << "Old FC Ground";
    QTest::newRow("stored, lower-cased") << "Old!FC Ground"
                                         << "old!fc ground"
                                         << "Old FC Ground";
}

void TestMapPackager::storedNames() {
    QFETCH(QString, name);
    QFETCH(QString, stored);
    QFETCH(QString, shown);
    QCOMPARE(StoredPlaceName(name), stored);
    QCOMPARE(MakeDisplayName(StoredPlaceName(name)), shown);
}

void TestMapPackager::indexFileBytes() {
    const std::vector<PlaceRecord> places = {
        Place(QStringLiteral("Streets"), QStringLiteral("High Street"), QStringLiteral("NC1 2"),
              QStringLiteral("Northcombe"), 10, 20),
        Place(QStringLiteral("Towns"), QStringLiteral("Brackwell"), QStringLiteral("NC2 1"),
              QString(), 300, 400),
        Place(QStringLiteral("Streets"), QStringLiteral("Riverside NHS Walk-in Centre"), QString(),
              QString(), 5, 6),
        Place(QStringLiteral("Streets"), QStringLiteral("Café Row"), QStringLiteral("€5 – fee"),
              QString(), 999, 499)};
    std::vector<std::pair<QString, QByteArray>> files;
    QString error;
    QVERIFY2(BuildIndexFiles(places, QSize(1000, 500), files, error), qPrintable(error));
    QCOMPARE(files.size(), size_t(2));
    QCOMPARE(files[0].first, QStringLiteral("Streets"));
    QCOMPARE(files[0].second, QByteArray("|high street|NC1 2|Northcombe|10|20|#"
                                         "|riverside!nhs walk-in centre|||5|6|#"
                                         "|caf\xe9 row|\x80"
                                         "5 \x96 fee||999|499|#"));
    QCOMPARE(files[1].first, QStringLiteral("Towns"));
    QCOMPARE(files[1].second, QByteArray("|brackwell|NC2 1||300|400|#"));
}

void TestMapPackager::indexFilesReadByTheGazetteer() {
    CTestRoot root;
    std::vector<PlaceRecord> places;
    for (int i = 1; i <= 45; ++i)
        places.push_back(Place(QStringLiteral("Streets"), QStringLiteral("Kestrel Lane %1").arg(i),
                               QStringLiteral("NC%1 1").arg(i), QStringLiteral("Dunmere"), i,
                               2 * i));
    places.push_back(Place(QStringLiteral("Hospitals"),
                           QStringLiteral("Riverside NHS Walk-in Centre"), QStringLiteral("NC11 8"),
                           QStringLiteral("Walk-in"), 2772, 3729));
    std::vector<std::pair<QString, QByteArray>> files;
    QString error;
    QVERIFY2(BuildIndexFiles(places, QSize(5000, 4000), files, error), qPrintable(error));
    for (const auto& [category, bytes] : files)
        QVERIFY(root.WriteFile(kMaps + QStringLiteral("/T/") + category + QStringLiteral(".idx"),
                               bytes));

    const QString folder = QStringLiteral("\\Veldra\\Maps\\T");
    QCOMPARE(ListCategories(folder).value(0), QStringLiteral("Streets"));
    const auto hospitals = SearchIndex(folder, QStringLiteral("Hospitals"), QStringLiteral("NHS"));
    QVERIFY(hospitals.has_value());
    QCOMPARE(hospitals->matches.size(), size_t(1));
    QCOMPARE(hospitals->matches[0].name, QStringLiteral("Riverside NHS Walk-in Centre"));
    QCOMPARE(hospitals->matches[0].extra1, QStringLiteral("NC11 8"));
    QCOMPARE(hospitals->matches[0].extra2, QStringLiteral("Walk-in"));
    QCOMPARE(hospitals->matches[0].x, 2772);
    QCOMPARE(hospitals->matches[0].y, 3729);
    const auto streets = SearchIndex(folder, QStringLiteral("Streets"), QStringLiteral("kestrel"));
    QVERIFY(streets.has_value());
    QCOMPARE(streets->matches.size(), size_t(MAX_MATCHES));
    QVERIFY(streets->more);
    QCOMPARE(streets->matches[39].name, QStringLiteral("Kestrel Lane 40"));
    QCOMPARE(streets->matches[39].y, 80);
}

void TestMapPackager::badPlaces_data() {
    QTest::addColumn<QString>("category");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("extra1");
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::addColumn<bool>("accepted");
    const QString s = QStringLiteral("Streets");
    QTest::newRow("good") << s << "Mill Lane"
                          << "NC1 1" << 1 << 1 << true;
    QTest::newRow("bar in name") << s << "Mill|Lane"
                                 << "" << 5 << 5 << false;
    QTest::newRow("bar in extra") << s << "Mill Lane"
                                  << "NC|1" << 5 << 5 << false;
    QTest::newRow("name begins with #") << s << "#1 Mill Lane"
                                        << "" << 5 << 5 << false;
    QTest::newRow("extra begins with #") << s << "Mill Lane"
                                         << "#5" << 5 << 5 << false;
    QTest::newRow("# inside is fine") << s << "No #5 Mill Lane"
                                      << "a#b" << 5 << 5 << true;
    QTest::newRow("99 bytes") << s << QString(99, QLatin1Char('a')) << QString(99, QChar(0xe9)) << 5
                              << 5 << true;
    QTest::newRow("100 bytes") << s << QString(100, QLatin1Char('a')) << "" << 5 << 5 << false;
    QTest::newRow("extra 100 bytes")
        << s << "Mill Lane" << QString(100, QLatin1Char('b')) << 5 << 5 << false;
    QTest::newRow("outside Windows-1252")
        << s << QStringLiteral("Łąka Street") << "" << 5 << 5 << false;
    QTest::newRow("control character") << s << "Mill\x01Lane"
                                       << "" << 5 << 5 << false;
    QTest::newRow("no name") << s << "  "
                             << "" << 5 << 5 << false;
    QTest::newRow("only a mark") << s << "!"
                                 << "" << 5 << 5 << false;
    QTest::newRow("x zero") << s << "Mill Lane"
                            << "" << 0 << 5 << false;
    QTest::newRow("y zero") << s << "Mill Lane"
                            << "" << 5 << 0 << false;
    QTest::newRow("negative") << s << "Mill Lane"
                              << "" << -3 << 5 << false;
    QTest::newRow("last pixel") << s << "Mill Lane"
                                << "" << 799 << 599 << true;
    QTest::newRow("x off the map") << s << "Mill Lane"
                                   << "" << 800 << 5 << false;
    QTest::newRow("y off the map") << s << "Mill Lane"
                                   << "" << 5 << 600 << false;
    QTest::newRow("category with slash") << "A/B"
                                         << "Mill Lane"
                                         << "" << 5 << 5 << false;
    QTest::newRow("empty category") << ""
                                    << "Mill Lane"
                                    << "" << 5 << 5 << false;
    QTest::newRow("category dot dot") << ".."
                                      << "Mill Lane"
                                      << "" << 5 << 5 << false;
}

void TestMapPackager::badPlaces() {
    QFETCH(QString, category);
    QFETCH(QString, name);
    QFETCH(QString, extra1);
    QFETCH(int, x);
    QFETCH(int, y);
    QFETCH(bool, accepted);
    std::vector<std::pair<QString, QByteArray>> files;
    QString error;
    const std::vector<PlaceRecord> places = {Place(category, name, extra1, QString(), x, y)};
    QCOMPARE(BuildIndexFiles(places, QSize(800, 600), files, error), accepted);
    QCOMPARE(error.isEmpty(), accepted);
}

void TestMapPackager::placesFile() {
    CTestRoot root;
    QVERIFY(root.WriteFile(QStringLiteral("places.tsv"),
                           "\xef\xbb\xbf# category\tname\textra1\textra2\tx\ty\r\n"
                           "Streets\tHigh Street\tNC1 2\tNorthcombe\t10\t20\r\n"
                           "\r\n"
                           "Towns\t Brackwell \tNC2 1\t\t 300 \t400\n"
                           "Places\tCaf\xc3\xa9 Royal\t\t\t7\t8"));
    std::vector<PlaceRecord> places;
    QString error;
    QVERIFY2(ReadPlacesFile(root.Host(QStringLiteral("places.tsv")), places, error),
             qPrintable(error));
    QCOMPARE(places.size(), size_t(3));
    QCOMPARE(places[0].category, QStringLiteral("Streets"));
    QCOMPARE(places[0].extra2, QStringLiteral("Northcombe"));
    QCOMPARE(places[0].line, 2);
    QCOMPARE(places[1].name, QStringLiteral("Brackwell"));
    QCOMPARE(places[1].extra2, QString());
    QCOMPARE(places[1].x, 300);
    QCOMPARE(places[2].name, QStringLiteral("Café Royal"));
    QCOMPARE(places[2].y, 8);
}

void TestMapPackager::placesFileErrors_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("mentions");
    QTest::newRow("five fields") << QByteArray("Streets\tA\tB\tC\t1\t2\nStreets\tA\tB\t1\t2\n")
                                 << "line 2";
    QTest::newRow("seven fields") << QByteArray("Streets\tA\tB\tC\t1\t2\t3\n") << "line 1";
    QTest::newRow("x not a number") << QByteArray("\n\nStreets\tA\tB\tC\tten\t2\n") << "line 3";
    QTest::newRow("not UTF-8") << QByteArray("Streets\tCaf\xe9\t\t\t1\t2\n") << "UTF-8";
}

void TestMapPackager::placesFileErrors() {
    QFETCH(QByteArray, content);
    QFETCH(QString, mentions);
    CTestRoot root;
    QVERIFY(root.WriteFile(QStringLiteral("places.tsv"), content));
    std::vector<PlaceRecord> places;
    QString error;
    QVERIFY(!ReadPlacesFile(root.Host(QStringLiteral("places.tsv")), places, error));
    QVERIFY2(error.contains(mentions), qPrintable(error));
    QVERIFY(!ReadPlacesFile(root.Host(QStringLiteral("missing.tsv")), places, error));
}

void TestMapPackager::mapDat() {
    CTestRoot root;
    const MapCalibration written{290670, 283280, 411720, 402220, 21115};
    const QByteArray bytes = MakeMapDat(written);
    QCOMPARE(bytes.toHex(' '), QByteArray("7b 52 00 00 6e 6f 04 00 48 48 06 00 90 52 04 00 "
                                          "2c 23 06 00"));
    // The viewer reads back what was written, not its built-in table.
    QVERIFY(root.WriteFile(QStringLiteral("Veldra/Maps/X/Map.dat"), MakeMapDat({-1, 2, 3, 4, 5})));
    MapCalibration read;
    QVERIFY(ReadMapCalibration(QStringLiteral("Northcombe"), QStringLiteral("\\Veldra\\Maps\\X"),
                               read));
    QCOMPARE(read.nNorth, -1);
    QCOMPARE(read.nSouth, 2);
    QCOMPARE(read.nEast, 3);
    QCOMPARE(read.nWest, 4);
    QCOMPARE(read.nScale, 5);
}

void TestMapPackager::calibrationText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::newRow("example") << "290670,283280,411720,402220,21115" << true;
    QTest::newRow("blanks and sign") << " 677502, 669003 ,-328999,316998,23844" << true;
    QTest::newRow("four values") << "1,2,3,4" << false;
    QTest::newRow("six values") << "1,2,3,4,5,6" << false;
    QTest::newRow("not numbers") << "a,b,c,d,e" << false;
    QTest::newRow("over 32 bits") << "2147483648,1,1,1,1" << false;
    QTest::newRow("empty value") << "1,,3,4,5" << false;
}

void TestMapPackager::calibrationText() {
    QFETCH(QString, text);
    QFETCH(bool, ok);
    MapCalibration calibration;
    QString error;
    QCOMPARE(ParseCalibration(text, calibration, error), ok);
    if (ok && text.startsWith(QLatin1Char(' '))) {
        QCOMPARE(calibration.nNorth, 677502);
        QCOMPARE(calibration.nSouth, 669003);
        QCOMPARE(calibration.nEast, -328999);
        QCOMPARE(calibration.nWest, 316998);
        QCOMPARE(calibration.nScale, 23844);
    }
}

void TestMapPackager::cutTilePadsWhite() {
    QImage picture = SmoothPicture(700, 600);
    const QImage whole = CutTile(picture, 1, 1);
    QCOMPARE(whole.size(), QSize(TILE_SIZE, TILE_SIZE));
    QCOMPARE(whole, picture.copy(0, 0, 500, 500));
    const QImage corner = CutTile(picture, 2, 2);
    QCOMPARE(corner.pixel(0, 0), picture.pixel(500, 500));
    QCOMPARE(corner.pixel(199, 99), picture.pixel(699, 599));
    QCOMPARE(corner.pixel(200, 99), qRgb(255, 255, 255));
    QCOMPARE(corner.pixel(199, 100), qRgb(255, 255, 255));
    QCOMPARE(corner.pixel(499, 499), qRgb(255, 255, 255));

    // Transparent parts of a picture come out white, opaque ones as they are.
    QImage clear(600, 300, QImage::Format_ARGB32);
    clear.fill(Qt::transparent);
    clear.setPixel(10, 10, qRgba(10, 20, 30, 255));
    const QImage tile = CutTile(clear.convertToFormat(QImage::Format_ARGB32_Premultiplied), 1, 1);
    QCOMPARE(tile.pixel(10, 10), qRgb(10, 20, 30));
    QCOMPARE(tile.pixel(11, 10), qRgb(255, 255, 255));
}

void TestMapPackager::tileImageStraightOrPalette() {
    struct Case {
        const char* what;
        QImage tile;
        bool fits;
        QImage::Format decoded;
    } cases[] = {
        {"smooth", SmoothPicture(500, 500), true, QImage::Format_RGB32},
        // Eight colours at random: too big as a straight PNG, small as a palette.
        {"eight colours", NoisePicture(500, 500, 8, 7), true, QImage::Format_Indexed8},
        // 256 colours at random: too big even with a palette.
        {"noise", NoisePicture(500, 500, 256, 11), false, QImage::Format_Invalid},
    };
    for (const Case& c : cases) {
        QByteArray image;
        QString error;
        QVERIFY2(EncodeTileImage(c.tile, image, error) == c.fits, c.what);
        if (!c.fits) {
            QVERIFY(!error.isEmpty());
            continue;
        }
        QVERIFY2(image.size() <= MAX_TILE_IMAGE_BYTES, c.what);
        QBuffer buffer(&image);
        QImageReader reader(&buffer, "png");
        const QImage decoded = reader.read();
        QCOMPARE(decoded.format(), c.decoded);
        // Straight or with an exact palette, every pixel survives.
        QCOMPARE(decoded.convertToFormat(QImage::Format_RGB32), c.tile);
    }
}

void TestMapPackager::paletteKeepsFewColoursExactly() {
    const QImage few = NoisePicture(300, 200, 200, 3);
    QCOMPARE(ToPaletteImage(few).convertToFormat(QImage::Format_RGB32), few);

    // More than 256 colours: at most 256 remain, each pixel close to its colour.
    const QImage many = SmoothPicture(400, 300);
    const QImage reduced = ToPaletteImage(many);
    QCOMPARE(reduced.format(), QImage::Format_Indexed8);
    QVERIFY(reduced.colorCount() <= 256);
    QVERIFY(reduced.colorCount() > 200);
    int worst = 0;
    for (int y = 0; y < many.height(); ++y)
        for (int x = 0; x < many.width(); ++x) {
            const QRgb a = many.pixel(x, y), b = reduced.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                              std::abs(qBlue(a) - qBlue(b))});
        }
    QVERIFY2(worst <= 48, qPrintable(QString::number(worst)));
}

void TestMapPackager::encryptedTileDecryptsToTheImage() {
    CTestRoot root;
    const QByteArray image = QByteArray("not really an image, ") + QByteArray(300, 'x');
    const QByteArray file = EncryptTileImage(image);
    QCOMPARE(file.size(), TILE_HEADER_BYTES + image.size());
    QVERIFY(!file.contains(image.left(16)));
    QVERIFY(root.WriteFile(QStringLiteral("Veldra/Maps/X/a1_1.map"), file));
    QCOMPARE(DecryptedImage(QStringLiteral("\\Veldra\\Maps\\X\\a1_1.map"), root), image);
}

void TestMapPackager::templateOnlyWhenMissing() {
    CTestRoot root;
    QString error;
    QVERIFY2(EnsureTemplateTile(error), qPrintable(error));
    const QByteArray image = DecryptedImage(QStringLiteral("\\Veldra\\Maps\\tpl.map"), root);
    QImage decoded;
    QVERIFY(decoded.loadFromData(image));
    QCOMPARE(decoded.size(), QSize(TILE_SIZE, TILE_SIZE));

    // One already there, in whatever letter case, is left alone.
    QVERIFY(QFile::remove(root.Host(QStringLiteral("Veldra/Maps/tpl.map"))));
    QVERIFY(root.WriteFile(QStringLiteral("Veldra/Maps/TPL.MAP"), "mine"));
    QVERIFY(EnsureTemplateTile(error));
    QCOMPARE(root.ReadFile(QStringLiteral("Veldra/Maps/TPL.MAP")), QByteArray("mine"));
    QVERIFY(!root.Exists(QStringLiteral("Veldra/Maps/tpl.map")));
}

void TestMapPackager::installsACompleteMap() {
    CTestRoot root;
    PackageRequest request;
    request.title = QStringLiteral("Test Town");
    request.picture = SmoothPicture(1200, 700);
    request.calibration = MapCalibration{290670, 283280, 411720, 402220, 21115};
    request.places = {Place(QStringLiteral("Streets"), QStringLiteral("Mill Lane"),
                            QStringLiteral("TT1 1"), QString(), 100, 200),
                      Place(QStringLiteral("Towns"), QStringLiteral("Test Town"), QString(),
                            QString(), 600, 350)};
    std::vector<std::pair<int, int>> progress;
    QString error;
    QVERIFY2(PackageMap(request, error,
                        [&](int done, int total) { progress.emplace_back(done, total); }),
             qPrintable(error));

    const QString folder = kMaps + QStringLiteral("/Test Town");
    QStringList files = QDir(root.Host(folder)).entryList(QDir::Files | QDir::Hidden);
    files.sort();
    QCOMPARE(files, QStringList({"Map.dat", "Streets.idx", "Towns.idx", "tes1_1.map", "tes1_2.map",
                                 "tes1_3.map", "tes2_1.map", "tes2_2.map", "tes2_3.map"}));
    for (const QString& name : files)
        if (name.endsWith(QLatin1String(".map")))
            QVERIFY(root.ReadFile(folder + QLatin1Char('/') + name).size() <= MAX_TILE_FILE_BYTES);
    QCOMPARE(root.ReadFile(folder + QStringLiteral("/Map.dat")), MakeMapDat(*request.calibration));
    QCOMPARE(root.ReadFile(folder + QStringLiteral("/Streets.idx")),
             QByteArray("|mill lane|TT1 1||100|200|#"));
    QVERIFY(root.Exists(QStringLiteral("Veldra/Maps/tpl.map")));
    QCOMPARE(RegQueryString(KeyOf(request.title), QStringLiteral("InstallDir")),
             std::optional<QString>(QStringLiteral("\\Veldra\\Maps\\Test Town")));
    QCOMPARE(progress.size(), size_t(6));
    QCOMPARE(progress.back(), std::make_pair(6, 6));
    VerifyNothingInstalled(root, QStringLiteral("Other")); // and no staging folder is left
}

void TestMapPackager::keyOnlyAfterTheFolderIsComplete() {
    CTestRoot root;
    PackageRequest request;
    request.title = QStringLiteral("Late");
    request.picture = SmoothPicture(1100, 400);
    int calls = 0;
    bool early = false;
    QString error;
    QVERIFY(PackageMap(request, error, [&](int, int) {
        ++calls;
        // While tiles are still being written nothing is visible to the viewer.
        early = early || RegKeyExists(KeyOf(request.title)) ||
                root.Exists(QStringLiteral("Veldra/Maps/Late"));
    }));
    QCOMPARE(calls, 3);
    QVERIFY(!early);
    QVERIFY(RegKeyExists(KeyOf(request.title)));
}

void TestMapPackager::failuresLeaveNothing_data() {
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<bool>("badPlace");
    const QImage good = SmoothPicture(600, 300);
    QTest::newRow("empty title") << ""
                                 << "" << good << false;
    QTest::newRow("slash in title") << "a/b"
                                    << "" << good << false;
    QTest::newRow("dot dot title") << ".."
                                   << "" << good << false;
    QTest::newRow("blank-edged title") << " Town"
                                       << "" << good << false;
    QTest::newRow("folder too long") << "Town" << QString(60, QLatin1Char('f')) << good << false;
    QTest::newRow("no picture") << "Town"
                                << "" << QImage() << false;
    QTest::newRow("bad place") << "Town"
                               << "" << good << true;
    // The second tile of the noise picture cannot fit: the first is written
    // already when it fails.
    QImage noisy = SmoothPicture(1000, 500);
    QPainter(&noisy).drawImage(500, 0, NoisePicture(500, 500, 256, 5));
    QTest::newRow("tile too big") << "Town"
                                  << "" << noisy << false;
}

void TestMapPackager::failuresLeaveNothing() {
    QFETCH(QString, title);
    QFETCH(QString, folder);
    QFETCH(QImage, picture);
    QFETCH(bool, badPlace);
    CTestRoot root;
    PackageRequest request;
    request.title = title;
    request.folder = folder;
    request.picture = picture;
    if (badPlace)
        request.places = {Place(QStringLiteral("Streets"), QStringLiteral("Mill|Lane"), QString(),
                                QString(), 1, 1)};
    QString error;
    QVERIFY(!PackageMap(request, error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!error.contains(QLatin1Char('\n')));
    VerifyNothingInstalled(root, title);
    QVERIFY(!RegEnumSubkeys(QStringLiteral("Software\\Apps")).value_or(QStringList()).size());
}

void TestMapPackager::unwritableRoot() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("plain-file"));
    QFile(file).open(QIODevice::WriteOnly);
    const QString previous = DeviceRoot();
    SetDeviceRoot(file + QStringLiteral("/root")); // below a file: nothing can be made there
    PackageRequest request;
    request.title = QStringLiteral("Town");
    request.picture = SmoothPicture(300, 300);
    QString error;
    const bool ok = PackageMap(request, error);
    SetDeviceRoot(previous);
    QVERIFY(!ok);
    QVERIFY(error.contains(QStringLiteral("cannot")));
    QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList{"plain-file"});
}

void TestMapPackager::registryFailureRemovesTheFolder() {
    CTestRoot root;
    PackageRequest request;
    request.title = QStringLiteral("Town");
    request.picture = SmoothPicture(300, 300);
    QString error;
    QVERIFY(PackageMap(request, error));
    // A folder where the registry file belongs makes every registry write fail.
    QVERIFY(QFile::rename(root.Host(QStringLiteral("registry.ini")),
                          root.Host(QStringLiteral("saved.ini"))));
    QVERIFY(root.MakeDir(QStringLiteral("registry.ini")));
    request.title = QStringLiteral("Second");
    QVERIFY(!PackageMap(request, error));
    QVERIFY(error.contains(QStringLiteral("registry")));
    QVERIFY(!root.Exists(QStringLiteral("Veldra/Maps/Second")));

    // Replacing: the old folder comes back as it was.
    request.title = QStringLiteral("Town");
    request.picture = SmoothPicture(800, 300);
    request.replace = true;
    QVERIFY(!PackageMap(request, error));
    QStringList files = QDir(root.Host(QStringLiteral("Veldra/Maps/Town"))).entryList(QDir::Files);
    QCOMPARE(files, QStringList{"tow1_1.map"});
    VerifyNothingInstalled(root, QStringLiteral("Second"));
}

void TestMapPackager::replaceOnlyWhenAsked() {
    CTestRoot root;
    PackageRequest request;
    request.title = QStringLiteral("Town");
    request.picture = SmoothPicture(1100, 300); // three tiles
    QString error;
    QVERIFY(PackageMap(request, error));
    QVERIFY(root.WriteFile(QStringLiteral("Veldra/Maps/Town/tow1_1.cbm"), "converted"));

    // The same title again, or another title in the same folder, is refused.
    request.picture = SmoothPicture(400, 300);
    QVERIFY(!PackageMap(request, error));
    QVERIFY(error.contains(QStringLiteral("--replace")));
    PackageRequest other = request;
    other.title = QStringLiteral("Other");
    other.folder = QStringLiteral("\\veldra\\maps\\TOWN");
    QVERIFY(!PackageMap(other, error));
    QCOMPARE(root.ReadFile(QStringLiteral("Veldra/Maps/Town/tow1_1.cbm")), QByteArray("converted"));
    QCOMPARE(QDir(root.Host(QStringLiteral("Veldra/Maps/Town"))).entryList(QDir::Files).size(), 4);

    // A file where the folder would go is never replaced.
    QVERIFY(root.WriteFile(QStringLiteral("Veldra/Maps/Plain"), "a file"));
    other.folder = QStringLiteral("\\Veldra\\Maps\\Plain");
    other.replace = true;
    QVERIFY(!PackageMap(other, error));
    QCOMPARE(root.ReadFile(QStringLiteral("Veldra/Maps/Plain")), QByteArray("a file"));

    // With replace the folder holds the new map only.
    request.replace = true;
    QVERIFY2(PackageMap(request, error), qPrintable(error));
    QCOMPARE(QDir(root.Host(QStringLiteral("Veldra/Maps/Town"))).entryList(QDir::Files),
             QStringList{"tow1_1.map"});
    QCOMPARE(RegQueryString(KeyOf(QStringLiteral("Town")), QStringLiteral("InstallDir")),
             std::optional<QString>(QStringLiteral("\\Veldra\\Maps\\Town")));
    VerifyNothingInstalled(root, QStringLiteral("Other"));
}

QTEST_GUILESS_MAIN(TestMapPackager)
#include "test_map_packager.moc"
