// Tests of the map packaging library: index files, tile images, the template
// tile, and installing a map without ever leaving half a map behind.

#include "map_packager.h"
#include "picture_bands.h"
#include "png_writer.h"
#include "test_support.h"

#include "gazetteer/index_search.h"
#include "platform/image_codec.h"
#include "platform/registry.h"
#include "store/map_calibration.h"
#include "store/map_conversion.h"
#include "store/tile_cache.h"

#include <QColorSpace>
#include <QDirIterator>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QtEndian>
#include <QtTest>
#include <unistd.h>
#include <zlib.h>

using namespace Qt::StringLiterals;

namespace {

QString KeyOf(const QString& title) {
    return u"Software\\Apps\\Veldra Pocket map of "_s + title;
}

// Soft gradients: far more than 256 colours, yet small as PNG.
QImage SmoothPicture(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x * 255 / width, y * 255 / height, (x + y) % 256));
    return image;
}

// Random pixels of the given number of colours: beyond what PNG can squeeze.
QImage NoisePicture(int width, int height, int colours, quint32 seed) {
    QRandomGenerator random(seed);
    QImage image(width, height, QImage::Format_Indexed8);
    for (int i = 0; i < colours; ++i)
        image.setColor(i, random.generate() | 0xff000000u);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, random.bounded(colours));
    return image;
}

// Every file and folder under the root, relative and sorted.
QStringList Tree(const CTestRoot& root) {
    QStringList paths;
    QDirIterator it(root.Path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << QDir(root.Path()).relativeFilePath(it.next());
    paths.sort();
    return paths;
}

// A PNG chunk: length, type, data and CRC.
QByteArray Chunk(const char* type, const QByteArray& data) {
    const QByteArray body = QByteArray(type, 4) + data;
    QByteArray chunk(4, 0), crc(4, 0);
    qToBigEndian(quint32(data.size()), chunk.data());
    qToBigEndian(
        quint32(crc32(0, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()))),
        crc.data());
    return chunk + body + crc;
}

// Big-endian 16-bit values, as tRNS holds them.
QByteArray Words(std::initializer_list<int> values) {
    QByteArray bytes;
    for (const int value : values)
        bytes += char(value >> 8) + QByteArray(1, char(value));
    return bytes;
}

// A PNG of width x height pixels of a bit depth and colour type (0 grey, 2
// RGB, 3 palette, 4 grey + alpha, 6 RGBA), its samples made up from their
// place (a palette's indices partly beyond a 5-colour palette), unfiltered;
// extra chunks go before the pixels. An interlaced one holds a single pixel,
// all of Adam7's first pass. spoil changes a byte in the middle of the
// compressed rows (the chunk's CRC still right).
QByteArray MadePng(int width, int height, int depth, int type, const QByteArray& extra = {},
                   bool interlaced = false, bool spoil = false) {
    const int channels[] = {1, 0, 3, 1, 2, 0, 4};
    const int rowBytes = (width * depth * channels[type] + 7) / 8;
    QByteArray rows;
    for (int y = 0; y < height; ++y) {
        rows += char(0);
        for (int i = 0; i < rowBytes; ++i) {
            const int sample = (i * 29 + y * 71 + (i * i >> 3)) & 0xff;
            rows += char(type == 3 && depth == 8 ? sample % 7 : sample);
        }
    }
    QByteArray pixels = qCompress(rows).mid(4); // the zlib stream
    if (spoil)
        pixels[pixels.size() / 2] = char(pixels[pixels.size() / 2] ^ 0x5a);
    QByteArray header(13, 0);
    qToBigEndian(quint32(width), header.data());
    qToBigEndian(quint32(height), header.data() + 4);
    header[8] = char(depth);
    header[9] = char(type);
    header[12] = char(interlaced);
    return "\x89PNG\r\n\x1a\n" + Chunk("IHDR", header) + extra + Chunk("IDAT", pixels) +
           Chunk("IEND", {});
}

PackageRequest Request(const QString& title, const QImage& picture, const QString& folder = {},
                       bool replace = false) {
    PackageRequest request;
    request.replace = replace;
    request.title = title;
    request.picture = picture;
    request.folder = folder;
    return request;
}

} // namespace

class TestMapPackager : public QObject {
    Q_OBJECT

private slots:
    // Exact bytes of a small gazetteer, then read back by the viewer's search.
    void indexFiles() {
        CTestRoot root;
        const std::vector<PlaceRecord> places = {
            {u"Streets"_s, u"High Street"_s, u"NC1 2"_s, u"Northcombe"_s, 10, 20},
            {u"Towns"_s, u"Brackwell"_s, u"NC2 1"_s, {}, 300, 400},
            {u"Streets"_s, u"Riverside NHS Walk-in Centre"_s, {}, {}, 5, 6},
            {u"Streets"_s, u"BBX Centre"_s, {}, {}, 7, 8},
            {u"Streets"_s, u"Old!FC Ground"_s, {}, {}, 9, 9}, // stored form already
            {u"Streets"_s, u"Café Row"_s, u"€5 – fee"_s, {}, 999, 499}};
        std::vector<std::pair<QString, QByteArray>> files;
        QString error;
        QVERIFY2(BuildIndexFiles(places, QSize(1000, 500), files, error), qPrintable(error));
        QCOMPARE(files.size(), size_t(2));
        QCOMPARE(files[0].first, u"Streets"_s);
        QCOMPARE(files[0].second, QByteArray("|high street|NC1 2|Northcombe|10|20|#"
                                             "|riverside!nhs walk-in centre|||5|6|#"
                                             "|!bbx centre|||7|8|#|old!fc ground|||9|9|#"
                                             "|caf\xe9 row|\x80"
                                             "5 \x96 fee||999|499|#"));
        QCOMPARE(files[1], std::make_pair(u"Towns"_s, QByteArray("|brackwell|NC2 1||300|400|#")));

        for (const auto& [category, bytes] : files)
            QVERIFY(root.WriteFile(u"Veldra/Maps/T/"_s + category + u".idx"_s, bytes));
        // The viewer's search reads what was written (stored forms restored).
        const auto found = SearchIndex(u"\\Veldra\\Maps\\T"_s, u"Streets"_s, u"R"_s);
        QVERIFY(found && found->matches.size() == 5);
        QCOMPARE(found->matches[3].name, u"Old FC Ground"_s);
    }

    void refusedPlaces_data() {
        QTest::addColumn<PlaceRecord>("place");
        QTest::addColumn<bool>("accepted");
        auto row = [](const char* tag, const QString& category, const QString& name,
                      const QString& extra1, int x, int y, bool accepted) {
            QTest::newRow(tag) << PlaceRecord{category, name, extra1, {}, x, y} << accepted;
        };
        const QString s = u"Streets"_s, a99(99, u'a');
        row("good, # inside", s, u"No #5 Mill Lane"_s, u"a#b"_s, 1, 1, true);
        row("99 bytes, last pixel", s, a99, QString(99, QChar(0xe9)), 799, 599, true);
        row("bar in a field", s, u"Mill Lane"_s, u"NC|1"_s, 5, 5, false);
        row("begins with #", s, u"#1 Mill Lane"_s, {}, 5, 5, false);
        row("100 bytes", s, a99 + u'a', {}, 5, 5, false);
        row("outside Windows-1252", s, u"Łąka Street"_s, {}, 5, 5, false);
        row("control character", s, u"Mill\x01Lane"_s, {}, 5, 5, false);
        row("x zero", s, u"Mill Lane"_s, {}, 0, 5, false);
        row("x off the map", s, u"Mill Lane"_s, {}, 800, 5, false);
        row("category with slash", u"A/B"_s, u"Mill Lane"_s, {}, 5, 5, false);
    }

    void refusedPlaces() {
        QFETCH(PlaceRecord, place);
        QFETCH(bool, accepted);
        std::vector<std::pair<QString, QByteArray>> files;
        QString error;
        QCOMPARE(BuildIndexFiles({place}, QSize(800, 600), files, error), accepted);
        QCOMPARE(error.isEmpty(), accepted);
    }

    // A straight PNG when it fits, else an exact palette PNG, else a clear failure.
    void tileImages() {
        const struct {
            const char* what;
            QImage tile;
            QImage::Format decoded; // Format_Invalid: does not fit at all
        } cases[] = {
            {"smooth", SmoothPicture(500, 500), QImage::Format_RGB32},
            {"eight colours", NoisePicture(500, 500, 8, 7), QImage::Format_Indexed8},
            {"noise", NoisePicture(500, 500, 256, 11), QImage::Format_Invalid},
        };
        for (const auto& c : cases) {
            QByteArray image;
            QString error;
            const bool fits = c.decoded != QImage::Format_Invalid;
            QVERIFY2(EncodeTileImage(c.tile, image, error) == fits, c.what);
            QCOMPARE(error.isEmpty(), fits);
            if (!fits)
                continue;
            QVERIFY2(image.size() <= MAX_TILE_IMAGE_BYTES, c.what);
            const QImage decoded = QImage::fromData(image, "png");
            QCOMPARE(decoded.format(), c.decoded);
            QCOMPARE(decoded.convertToFormat(QImage::Format_RGB32),
                     c.tile.convertToFormat(QImage::Format_RGB32));
        }

        // Either row filter gives the pixels back, whatever the size, from a
        // writer that keeps its buffers between images.
        CPngWriter writer(6);
        for (const QImage& picture :
             {SmoothPicture(7, 3), NoisePicture(33, 17, 256, 5), SmoothPicture(1, 1)})
            for (const auto filter : {CPngWriter::Filter::None, CPngWriter::Filter::Adaptive})
                QCOMPARE(QImage::fromData(writer.Write(picture, filter), "png")
                             .convertToFormat(QImage::Format_RGB32),
                         picture.convertToFormat(QImage::Format_RGB32));

        // More than 256 colours: at most 256 remain, each pixel close to its colour.
        const QImage many = SmoothPicture(400, 300);
        const QImage reduced = ToPaletteImage(many);
        QVERIFY(reduced.format() == QImage::Format_Indexed8 && reduced.colorCount() <= 256);
        int worst = 0;
        for (int y = 0; y < many.height(); ++y)
            for (int x = 0; x < many.width(); ++x) {
                const QRgb a = many.pixel(x, y), b = reduced.pixel(x, y);
                worst = std::max({worst, std::abs(qRed(a) - qRed(b)),
                                  std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
            }
        QVERIFY2(worst <= 48, qPrintable(QString::number(worst)));

        // Transparent parts of a picture come out white, opaque ones as they are.
        QImage clear(600, 300, QImage::Format_ARGB32_Premultiplied);
        clear.fill(Qt::transparent);
        clear.setPixel(10, 10, qRgb(10, 20, 30));
        const QImage tile = CutTile(clear, 1, 1);
        QCOMPARE(tile.pixel(10, 10), qRgb(10, 20, 30));
        QCOMPARE(tile.pixel(11, 10), qRgb(255, 255, 255));
    }

    void pngReadInBands_data() {
        QTest::addColumn<QByteArray>("png");
        QTest::addColumn<bool>("banded"); // else read whole
        const QByteArray palette =
            Chunk("PLTE", QByteArray::fromHex("ff0000 00ff00 0000ff 123456 fedcba"));
        auto row = [](const char* tag, const QByteArray& png, bool banded) {
            QTest::newRow(tag) << png << banded;
        };
        row("grey 1-bit", MadePng(37, 40, 1, 0), true);
        row("grey 1-bit, white transparent", MadePng(37, 40, 1, 0, Chunk("tRNS", Words({1}))),
            true);
        row("grey 2-bit", MadePng(37, 40, 2, 0), true);
        row("grey 4-bit, one grey transparent", MadePng(37, 40, 4, 0, Chunk("tRNS", Words({3}))),
            true);
        row("grey 8-bit", MadePng(37, 40, 8, 0), true);
        row("grey 8-bit, one grey transparent", MadePng(37, 40, 8, 0, Chunk("tRNS", Words({71}))),
            true);
        row("grey 16-bit", MadePng(37, 40, 16, 0), true);
        row("grey + alpha 8-bit", MadePng(37, 40, 8, 4), true);
        row("grey + alpha 16-bit", MadePng(37, 40, 16, 4), true);
        row("RGB 8-bit, gamma 1.0",
            MadePng(37, 40, 8, 2, Chunk("gAMA", QByteArray::fromHex("000186a0"))), true);
        row("RGB 8-bit, one colour transparent",
            MadePng(37, 40, 8, 2, Chunk("tRNS", Words({0, 29, 58}))), true);
        row("RGB 16-bit", MadePng(37, 40, 16, 2), true);
        row("RGBA 8-bit", MadePng(37, 40, 8, 6), true);
        row("RGBA 16-bit", MadePng(37, 40, 16, 6), true);
        row("palette 2-bit, an index beyond it", MadePng(37, 40, 2, 3, palette), true);
        row("palette 8-bit with alpha",
            MadePng(37, 40, 8, 3, palette + Chunk("tRNS", QByteArray::fromHex("00ff80"))), true);
        // Left to the whole-picture reader.
        row("palette 1-bit", MadePng(37, 40, 1, 3, palette), false);
        row("grey 16-bit, one grey transparent",
            MadePng(37, 40, 16, 0, Chunk("tRNS", Words({1000}))), false);
        row("interlaced", MadePng(1, 1, 8, 2, {}, true), false);
    }

    // A PNG read in bands of any height gives the pixels the whole picture
    // gives, transparent parts white; the rest is read whole.
    void pngReadInBands() {
        QFETCH(QByteArray, png);
        QFETCH(bool, banded);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"picture.png"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(png) == png.size());
        file.close();
        QImage whole = QImage::fromData(png, "png");
        QVERIFY(!whole.isNull());
        whole.setColorSpace({}); // the pixels are compared, not a colour space
        PackageRequest request;
        QString error;
        QVERIFY2(OpenPicture(path, request, error), qPrintable(error));
        QCOMPARE(bool(request.readRows), banded);
        QImage read = request.picture;
        if (banded) {
            QCOMPARE(request.pictureSize, whole.size());
            read = QImage(whole.size(), QImage::Format_RGB888);
            int y = 0;
            for (const int rows : {7, 30, 3}) { // across the reader's own steps
                QImage band;
                QVERIFY2(request.readRows(rows, band, error), qPrintable(error));
                QCOMPARE(band.size(), QSize(whole.width(), rows));
                for (int i = 0; i < rows; ++i)
                    std::memcpy(read.scanLine(y++), band.constScanLine(i),
                                size_t(band.bytesPerLine()));
            }
        }
        QCOMPARE(OpaqueOnWhite(read).convertToFormat(QImage::Format_RGB32), OpaqueOnWhite(whole));
    }

    // A picture found damaged while its tiles are made: one clear line, and
    // no map, staging folder or key left.
    void pictureDamagedHalfWay() {
        CTestRoot root;
        QVERIFY(root.WriteFile(u"town.png"_s, MadePng(1100, 1300, 8, 2, {}, false, true)));
        PackageRequest request;
        request.title = u"Town"_s;
        QString error;
        QVERIFY2(OpenPicture(root.Host(u"town.png"_s), request, error), qPrintable(error));
        QVERIFY(!PackageMap(request, error));
        QVERIFY2(error.startsWith(u"cannot read the picture "_s) && !error.contains(u'\n'),
                 qPrintable(error));
        QVERIFY(!RegKeyExists(KeyOf(u"Town"_s)));
        QVERIFY(!Tree(root).join(u' ').contains(u"Town"_s));
    }

    // Tiles, template and key of a map, the key only once the folder is
    // complete; the picture comes back pixel for pixel.
    void installsACompleteMap() {
        CTestRoot root;
        std::vector<std::pair<int, int>> progress;
        bool early = false;
        QString error;
        const QImage picture = SmoothPicture(1201, 703);
        QVERIFY2(PackageMap(Request(u"Test Town"_s, picture), error,
                            [&](int done, int total) {
                                progress.emplace_back(done, total);
                                early = early || RegKeyExists(KeyOf(u"Test Town"_s)) ||
                                        root.Exists(u"Veldra/Maps/Test Town"_s);
                            }),
                 qPrintable(error));
        QVERIFY(!early);
        // 6 tiles, then the levels: 601 x 352 pixels at zoom 0.5 in 2 x 1
        // tiles, 301 x 176 at 0.25 in one.
        QCOMPARE(progress.size(), size_t(9));
        QCOMPARE(progress.back(), std::make_pair(9, 9));

        const QString folder = u"Veldra/Maps/Test Town"_s;
        QStringList expected = {"Veldra", "Veldra/Maps", "Veldra/Maps/tpl.map", folder,
                                "registry.ini"};
        for (const char* tile : {"1_1", "1_2", "1_3", "2_1", "2_2", "2_3"}) {
            expected << u"%1/tes%2.map"_s.arg(folder, QLatin1String(tile));
            QVERIFY(root.ReadFile(expected.back()).size() <= MAX_TILE_FILE_BYTES);
        }
        for (const char* level : {"Zoom 0.5", "Zoom 0.5/tes1_1.cbm", "Zoom 0.5/tes1_2.cbm",
                                  "Zoom 0.25", "Zoom 0.25/tes1_1.cbm"})
            expected << folder + u'/' + QLatin1String(level);
        expected.sort();
        QCOMPARE(Tree(root), expected); // and no staging folder is left
        QCOMPARE(RegQueryString(KeyOf(u"Test Town"_s), u"InstallDir"_s),
                 std::optional<QString>(u"\\Veldra\\Maps\\Test Town"_s));

        // Converted as the viewer converts it, with the template, the map
        // shows the picture as the display shows it, padded white.
        QImage padded(3 * TILE_SIZE, 2 * TILE_SIZE, QImage::Format_RGB32);
        padded.fill(Qt::white);
        QPainter(&padded).drawImage(0, 0, picture);
        padded = padded.convertToFormat(kDisplayFormat);
        QVERIFY(CMapConversion(u"\\Veldra\\Maps\\Test Town"_s, 2).Run());
        TileCache cache;
        for (int i = 0; i < 6; ++i) {
            const QImage* bitmap = nullptr;
            QVERIFY(cache.GetTileBitmap(u"\\Veldra\\Maps\\Test Town"_s,
                                        u"tes%1_%2"_s.arg(i / 3 + 1).arg(i % 3 + 1), bitmap));
            QCOMPARE(*bitmap,
                     padded.copy(i % 3 * TILE_SIZE, i / 3 * TILE_SIZE, TILE_SIZE, TILE_SIZE));
        }
        // The levels, ready to draw: level pixel (x, y) is the mean of the
        // picture's pixels in its 2 x 2 or 4 x 4 cell (of what the cell covers
        // at the right and bottom edges), white beyond the picture.
        for (const auto& [level, factor] : {std::pair{u"Zoom 0.5"_s, 2}, {u"Zoom 0.25"_s, 4}}) {
            QImage expected(2 * TILE_SIZE, TILE_SIZE, QImage::Format_RGB32);
            expected.fill(Qt::white);
            for (int y = 0; y * factor < picture.height(); ++y)
                for (int x = 0; x * factor < picture.width(); ++x) {
                    int sum[3] = {}, n = 0;
                    for (int v = y * factor; v < std::min((y + 1) * factor, picture.height()); ++v)
                        for (int u = x * factor; u < std::min((x + 1) * factor, picture.width());
                             ++u, ++n) {
                            const QRgb c = picture.pixel(u, v);
                            sum[0] += qRed(c), sum[1] += qGreen(c), sum[2] += qBlue(c);
                        }
                    expected.setPixel(
                        x, y,
                        qRgb((sum[0] + n / 2) / n, (sum[1] + n / 2) / n, (sum[2] + n / 2) / n));
                }
            expected = expected.convertToFormat(kDisplayFormat);
            for (int column = 1; column <= 4 / factor; ++column) {
                const QImage* bitmap = nullptr;
                QVERIFY(cache.GetTileBitmap(u"\\Veldra\\Maps\\Test Town\\"_s + level,
                                            u"tes1_%1"_s.arg(column), bitmap));
                QCOMPARE(*bitmap, expected.copy((column - 1) * TILE_SIZE, 0, TILE_SIZE, TILE_SIZE));
            }
        }
    }

    void install_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QImage>("picture");
        QTest::addColumn<QString>("installDir"); // empty: refused
        const QImage good = SmoothPicture(300, 300);
        QImage noisy = SmoothPicture(1000, 500); // the second tile cannot fit
        QPainter(&noisy).drawImage(500, 0, NoisePicture(500, 500, 256, 5));
        const QString longTitle(MAX_TITLE_CHARS, u'x'), m43 = u"\\Maps\\"_s + QString(43, u'm');
        auto row = [&](const char* tag, const QString& title, const QString& folder,
                       const QString& installDir, const std::optional<QImage>& picture = {}) {
            QTest::newRow(tag) << title << folder << picture.value_or(good) << installDir;
        };
        row("dot after the prefix", u"Map v1.2"_s, {}, u"\\Veldra\\Maps\\Map v1.2"_s);
        row("longest title", longTitle, u"\\Maps\\T"_s, u"\\Maps\\T"_s);
        row("slashes", u"T"_s, u"/Veldra/Maps/Other/"_s, u"\\Veldra\\Maps\\Other"_s);
        row("49 characters", u"T"_s, m43, m43);
        row("empty title", {}, {}, {});
        row("dot dot title", u".."_s, {}, {});
        row("slash in title", u"a/b"_s, {}, {});
        row("dot in the prefix", u"St. Albans"_s, {}, {});
        row("title too long", longTitle + u'x', u"\\Maps\\T"_s, {});
        row("default folder too long", QString(37, u't'), {}, {});
        row("50 characters", u"T"_s, m43 + u'm', {});
        row("the map store", u"T"_s, u"\\Veldra\\Maps"_s, {});
        row("place files", u"T"_s, u"\\Veldra\\My Places\\T"_s, {});
        row("parent step", u"T"_s, u"\\Cards\\..\\Town"_s, {});
        row("no picture", u"Town"_s, {}, {}, QImage());
        row("tile too big", u"Town"_s, {}, {}, noisy);
    }

    void install() {
        QFETCH(QString, title);
        QFETCH(QString, folder);
        QFETCH(QImage, picture);
        QFETCH(QString, installDir);
        CTestRoot root;
        QString error;
        const bool ok = PackageMap(Request(title, picture, folder), error);
        QCOMPARE(ok, !installDir.isEmpty());
        if (ok) {
            QCOMPARE(RegQueryString(KeyOf(title), u"InstallDir"_s), std::optional(installDir));
            QVERIFY(QFileInfo(HostPath(installDir)).isDir());
            return;
        }
        QVERIFY(!error.isEmpty() && !error.contains(u'\n'));
        // No key, no map folder, no staging folder: at most the shared template.
        QVERIFY(RegEnumSubkeys(u"Software\\Apps"_s).value_or(QStringList()).isEmpty());
        QStringList left = Tree(root);
        left.removeOne(u"registry.ini"_s);
        left.removeOne(u"Veldra/Maps/tpl.map"_s);
        for (const QString& path : left)
            QVERIFY2(u"Veldra/Maps"_s.startsWith(path), qPrintable(path));
    }

    void unwritableRoot() {
        QTemporaryDir dir;
        const QString file = dir.filePath(u"plain-file"_s);
        QFile(file).open(QIODevice::WriteOnly);
        const QString previous = DeviceRoot();
        SetDeviceRoot(file + u"/root"_s); // below a file: nothing can be made there
        QString error;
        const bool ok = PackageMap(Request(u"Town"_s, SmoothPicture(300, 300)), error);
        SetDeviceRoot(previous);
        QVERIFY(!ok);
        QVERIFY(error.contains(u"cannot"_s));
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{"plain-file"});
    }

    void replaceOnlyWhenAsked() {
        CTestRoot root;
        PackageRequest request = Request(u"Town"_s, SmoothPicture(1100, 300)); // 3 tiles
        QVERIFY(root.WriteFile(u"Veldra/Maps/TPL.MAP"_s, "mine")); // a template in any case is kept
        QString error;
        QVERIFY(PackageMap(request, error));
        const QDir town(root.Host(u"Veldra/Maps/Town"_s));

        // The same title again, or another title in the same folder, is refused.
        request.picture = SmoothPicture(400, 300);
        QVERIFY(!PackageMap(request, error));
        QVERIFY(error.contains(u"--replace"_s));
        PackageRequest other = Request(u"Other"_s, request.picture, u"\\veldra\\maps\\TOWN"_s);
        QVERIFY(!PackageMap(other, error));
        // A file where the folder would go is never replaced.
        QVERIFY(root.WriteFile(u"Veldra/Maps/Plain"_s, "a file"));
        other.folder = u"\\Veldra\\Maps\\Plain"_s;
        other.replace = true;
        QVERIFY(!PackageMap(other, error));
        QCOMPARE(root.ReadFile(u"Veldra/Maps/Plain"_s), QByteArray("a file"));

        // A folder where the registry file belongs makes every registry write
        // fail: a new map leaves nothing, a replaced one comes back as it was.
        QVERIFY(QFile::rename(root.Host(u"registry.ini"_s), root.Host(u"saved.ini"_s)));
        QVERIFY(root.MakeDir(u"registry.ini"_s));
        request.replace = true;
        for (const QString& title : {u"Second"_s, u"Town"_s}) {
            request.title = title;
            QVERIFY(!PackageMap(request, error));
            QVERIFY(error.contains(u"registry"_s));
        }
        QCOMPARE(town.entryList(QDir::Files).size(), 3);
        QVERIFY(!root.Exists(u"Veldra/Maps/Second"_s));

        // With replace the folder holds the new map only.
        QVERIFY(QDir(root.Host(u"registry.ini"_s)).removeRecursively());
        QVERIFY(QFile::rename(root.Host(u"saved.ini"_s), root.Host(u"registry.ini"_s)));
        QVERIFY2(PackageMap(request, error), qPrintable(error));
        QCOMPARE(town.entryList(QDir::Files), QStringList{"tow1_1.map"});
        QVERIFY(!RegKeyExists(KeyOf(u"Other"_s)) && !RegKeyExists(KeyOf(u"Second"_s)));
        const QString tree = Tree(root).join(u' ');
        QVERIFY(!tree.contains(u".p"_s) && !tree.contains(u"tpl.map"_s)); // no .partial, .previous
        QCOMPARE(root.ReadFile(u"Veldra/Maps/TPL.MAP"_s), QByteArray("mine"));
    }

    void plantedLinksAreRefused_data() {
        QTest::addColumn<QString>("link"); // under the root, pointing at a folder outside it
        QTest::addColumn<bool>("installFirst");
        QTest::newRow("staging name") << u"Veldra/Maps/.Town.partial"_s << false;
        QTest::newRow("name of the old map") << u"Veldra/Maps/.Town.previous"_s << true;
        QTest::newRow("the map folder, replaced") << u"Veldra/Maps/Town"_s << false;
        QTest::newRow("a folder on the way") << u"Veldra/Maps"_s << false;
    }

    // A link planted under a name the tool needs is refused with one line and
    // nothing outside the root is touched.
    void plantedLinksAreRefused() {
        QFETCH(QString, link);
        QFETCH(bool, installFirst);
        CTestRoot root;
        QTemporaryDir outside;
        QVERIFY(QDir(outside.path()).mkpath(u"Sub"_s));
        QFile kept(outside.filePath(u"Sub/kept"_s));
        QVERIFY(kept.open(QIODevice::WriteOnly) && kept.write("outside") == 7);
        kept.close();
        PackageRequest request = Request(u"Town"_s, SmoothPicture(300, 300), {}, true);
        QString error;
        if (installFirst)
            QVERIFY2(PackageMap(request, error), qPrintable(error));
        QVERIFY(root.MakeDir(QFileInfo(link).path()));
        QVERIFY(QFile::link(outside.path(), root.Host(link)));

        QVERIFY(!PackageMap(request, error));
        QVERIFY2(error.contains(u"symbolic link"_s) && !error.contains(u'\n'), qPrintable(error));
        QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{"Sub"});
        QCOMPARE(QFile(kept.fileName()).size(), qint64(7));
        QVERIFY(QFileInfo(root.Host(link)).isSymLink());
        QCOMPARE(RegKeyExists(KeyOf(u"Town"_s)), installFirst);
    }

    // A replacing run killed after any step leaves the old map or the new one
    // installed and registered; the next run completes and leaves nothing over.
    void killWhileReplacing() {
        for (const QString& step : {u"swapped"_s, u"registered"_s}) {
            CTestRoot root;
            QString error;
            QVERIFY(PackageMap(Request(u"Town"_s, SmoothPicture(1100, 300)), error)); // 3 tiles
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(),
                        {u"--child-replace"_s, root.Path(), step});
            QVERIFY(child.waitForFinished(60000));
            QCOMPARE(child.exitCode(), 42); // stopped at the step
            const auto folder = RegQueryString(KeyOf(u"Town"_s), u"InstallDir"_s);
            QVERIFY(folder.has_value());
            const QStringList tiles = QDir(HostPath(*folder)).entryList({u"*.map"_s}, QDir::Files);
            QVERIFY2(tiles.size() == 3 || tiles == QStringList{"tow1_1.map"}, qPrintable(step));

            PackageRequest again = Request(u"Town"_s, SmoothPicture(300, 300), {}, true);
            QVERIFY2(PackageMap(again, error), qPrintable(error));
            QVERIFY(!Tree(root).join(u' ').contains(u".partial"_s));
        }
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == u"--child-replace"_s) {
        SetDeviceRoot(args[2]);
        PackageRequest request = Request(u"Town"_s, SmoothPicture(300, 300), {}, true);
        request.afterStep = [&](const char* step) {
            if (args[3] == QLatin1String(step))
                _exit(42); // as a kill would: nothing after this step runs
        };
        QString error;
        return PackageMap(request, error) ? 0 : 1;
    }
    TestMapPackager test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_map_packager.moc"
