#include "platform/crypto.h"
#include "platform/file_system.h"
#include "platform/image_codec.h"
#include "store/tile_cache.h"
#include "store/tile_crypto.h"
#include "store/tile_key.h"
#include "test_support.h"

#include <QPainter>
#include <QThread>
#include <QtEndian>
#include <QtTest>
#include <algorithm>
#include <signal.h>
#include <sys/resource.h>

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\Testmap");
const QString kHostFolder = QStringLiteral("Veldra/Maps/Testmap/");

// A display-format picture (a grid of lines and a block) whose pixels depend on seed.
QImage TestPicture(int width, int height, int seed) {
    QImage image(width, height, kDisplayFormat);
    image.fill(QColor::fromHsv((seed * 47) % 360, 60, 230));
    QPainter painter(&image);
    painter.setPen(QPen(QColor::fromHsv((seed * 97) % 360, 200, 120), 3));
    for (int x = seed % 37; x < width; x += 41)
        painter.drawLine(x, 0, x + seed % 50, height);
    for (int y = seed % 23; y < height; y += 29)
        painter.drawLine(0, y, width, y + 7);
    painter.fillRect(width / 4, height / 3, width / 3, height / 5,
                     QColor::fromHsv((seed * 13) % 360, 255, 200));
    return image;
}

QByteArray Raw(const QImage& image) {
    return QByteArray(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes());
}

// A .cbm file: a 4-byte little-endian length (by default the stream's), then
// the stream.
QByteArray CbmFile(const QByteArray& stream, int64_t lengthField = -1) {
    QByteArray file(4, '\0');
    qToLittleEndian(uint32_t(lengthField < 0 ? stream.size() : lengthField), file.data());
    return file + stream;
}

QByteArray Compressed(const QByteArray& raw) {
    return qCompress(raw).mid(4); // qCompress prefixes its own 4-byte size
}

// Files of the folder (host names, sorted).
QStringList Listing(const CTestRoot& root) {
    QStringList names = QDir(root.Host(kHostFolder)).entryList(QDir::Files);
    names.sort();
    return names;
}

// Installs the template tile (a 500 x 500 picture) in \Veldra\Maps.
bool InstallTemplate(const CTestRoot& root) {
    return root.WriteFile("Veldra/Maps/tpl.map",
                          EncryptTile(EncodeImage(TestPicture(500, 500, 0))));
}

// Lowers the file-size limit for its lifetime, so that writes past limit
// bytes fail part-way (EFBIG) instead of raising SIGXFSZ.
struct CFileSizeLimit {
    explicit CFileSizeLimit(rlim_t limit) {
        m_handler = signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_previous);
        rlimit lowered{limit, m_previous.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~CFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_previous);
        signal(SIGXFSZ, m_handler);
    }
    rlimit m_previous{};
    sighandler_t m_handler;
};

} // namespace

class TestTilePipeline : public QObject {
    Q_OBJECT

private slots:
    // The .tmp holds the decrypted bytes 56 .. min(n, 131072) - 1; shorter
    // files hold no image and write no .tmp. Every row decrypts from key-stream
    // position 0 again.
    void decryptTileFile_data() {
        QTest::addColumn<int>("fileSize");
        QTest::newRow("empty") << 0;
        QTest::newRow("56 bytes, no image") << 56;
        QTest::newRow("57 bytes") << 57;
        QTest::newRow("131072 bytes") << 131072;
        QTest::newRow("131073 bytes") << 131073;
    }
    void decryptTileFile() {
        QFETCH(int, fileSize);
        CTestRoot root;
        QByteArray image(std::max(0, fileSize - 56), '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char((i * 131) ^ (i >> 9));
        QVERIFY(root.WriteFile(kHostFolder + "a1_1.map", EncryptTile(image).left(fileSize)));
        const bool ok = fileSize > 56;
        QCOMPARE(DecryptTileFile(kFolder + "\\a1_1.map", kFolder + "\\a1_1.tmp"), ok);
        if (ok)
            QCOMPARE(root.ReadFile(kHostFolder + "a1_1.tmp"),
                     image.left(std::min(fileSize, DECRYPT_BUFFER_SIZE) - 56));
        else
            QCOMPARE(Listing(root), QStringList{"a1_1.map"});
    }

    // Writes that fail part-way (file-size limit) leave no .tmp and no .cbm,
    // and nor does a refused provider; a later decryption succeeds.
    void failedWritesLeaveNothing() {
        CTestRoot root;
        const QByteArray image(20000, '\x5a');
        QVERIFY(root.WriteFile(kHostFolder + "a1_1.map", EncryptTile(image)));
        TileCache cache;
        {
            CFileSizeLimit limit(4096);
            QVERIFY(!DecryptTileFile(kFolder + "\\a1_1.map", kFolder + "\\a1_1.tmp"));
            QVERIFY(!WriteCompressedTile(kFolder, "a1_1", TestPicture(500, 500, 4)));
        }
        const auto material = MakeTileKeyMaterial();
        QVERIFY(!DecryptFileToFile("Another Provider", material.data(), 16, kFolder + "\\a1_1.map",
                                   kFolder + "\\a1_1.tmp"));
        QCOMPARE(Listing(root), QStringList{"a1_1.map"});
        QVERIFY(DecryptTileFile(kFolder + "\\a1_1.map", kFolder + "\\a1_1.tmp"));
        QCOMPARE(root.ReadFile(kHostFolder + "a1_1.tmp"), image);
    }

    // A tile's image arrives intact (the image formats are the codec's own
    // tests), file names on disk may differ in letter case, and an existing
    // .tmp is decoded without reading the .map. A missing or unreadable tile,
    // or one over the cache's size bound, gives a null image.
    void decodeTile_data() {
        QTest::addColumn<QByteArray>("map");
        QTest::addColumn<QByteArray>("tmp");
        QTest::addColumn<int>("maxSide");
        QTest::addColumn<QImage>("expected");
        const QByteArray png = EncodeImage(TestPicture(500, 500, 3));
        const QImage image = QImage::fromData(png).convertToFormat(kDisplayFormat);
        QTest::newRow("png") << EncryptTile(png) << QByteArray() << 10000 << image;
        QTest::newRow("existing .tmp") << QByteArray(5000, '\x13') << png << 10000 << image;
        QTest::newRow("no .map") << QByteArray() << QByteArray() << 10000 << QImage();
        QTest::newRow("garbage image")
            << EncryptTile(QByteArray(3000, '\x42')) << QByteArray() << 10000 << QImage();
        QTest::newRow("over a lowered bound")
            << EncryptTile(png) << QByteArray() << 499 << QImage();
    }
    void decodeTile() {
        QFETCH(QByteArray, map);
        QFETCH(QByteArray, tmp);
        QFETCH(int, maxSide);
        QFETCH(QImage, expected);
        CTestRoot root;
        if (!map.isEmpty())
            QVERIFY(root.WriteFile(kHostFolder + "ABC1_2.MAP", map));
        if (!tmp.isEmpty())
            QVERIFY(root.WriteFile(kHostFolder + "ABC1_2.TMP", tmp));
        TileCache cache;
        cache.m_nMaxWidth = cache.m_nMaxHeight = maxSide;
        QImage bitmap = TestPicture(10, 10, 1);
        QCOMPARE(cache.DecodeTile(kFolder, "abc1_2", bitmap), !expected.isNull());
        QCOMPARE(bitmap, expected);
    }

    // Decoding a tile without a .tmp first deletes the oldest .tmp files while
    // more than 16 are left, at most five of them.
    void pruneTempFiles_data() {
        QTest::addColumn<int>("existing");
        QTest::addColumn<int>("deleted");
        QTest::newRow("16") << 16 << 0;
        QTest::newRow("17") << 17 << 1;
        QTest::newRow("22") << 22 << 5;
    }
    void pruneTempFiles() {
        QFETCH(int, existing);
        QFETCH(int, deleted);
        CTestRoot root;
        // Names are not in age order, so neither name nor listing order gives the answer.
        QStringList byAge;
        for (int i = 0; i < existing; ++i)
            byAge << QString("t%1_%2.tmp").arg((i * 7) % existing).arg(i);
        // Each file strictly younger than the one before, by the creation times
        // the file layer reports (the clock may not move between two writes).
        int64_t previous = 0;
        for (const QString& name : byAge) {
            int64_t created = previous;
            for (int attempt = 0; created <= previous; ++attempt) {
                QVERIFY(attempt < 200);
                QFile::remove(root.Host(kHostFolder + name));
                QThread::msleep(1);
                QVERIFY(root.WriteFile(kHostFolder + name, "x"));
                created = FindFiles(JoinDevicePath(kFolder, name)).at(0).creationTime;
            }
            previous = created;
        }
        QVERIFY(root.WriteFile(kHostFolder + "new1_1.map",
                               EncryptTile(EncodeImage(TestPicture(500, 500, 2)))));
        TileCache cache;
        QImage bitmap;
        QVERIFY(cache.DecodeTile(kFolder, "new1_1", bitmap));

        QStringList expected = byAge.mid(deleted) << "new1_1.map"
                                                  << "new1_1.tmp";
        expected.sort();
        QCOMPARE(Listing(root), expected);
    }

    // A square display-format tile of at most 500000 raw bytes is written as
    // a .cbm (length field, then the zlib stream); anything else writes nothing.
    void saveCompressedTile_data() {
        QTest::addColumn<QImage>("bitmap");
        QTest::addColumn<bool>("ok");
        QTest::newRow("500 x 500") << TestPicture(500, 500, 9) << true;
        QTest::newRow("null") << QImage() << false;
        QTest::newRow("taller than wide") << TestPicture(200, 300, 1) << false;
        QTest::newRow("raw size over 500000") << TestPicture(501, 501, 1) << false;
        QTest::newRow("not the display format")
            << TestPicture(300, 300, 1).convertToFormat(QImage::Format_RGB32) << false;
    }
    void saveCompressedTile() {
        QFETCH(QImage, bitmap);
        QFETCH(bool, ok);
        CTestRoot root;
        QVERIFY(root.MakeDir(kHostFolder));
        TileCache cache;
        QCOMPARE(WriteCompressedTile(kFolder, "a2_3", bitmap), ok);
        QCOMPARE(Listing(root), ok ? QStringList{"a2_3.cbm"} : QStringList{});
        // The stream itself is checked by loading saved tiles (unusableTemplate).
        const QByteArray file = root.ReadFile(kHostFolder + "a2_3.cbm");
        if (ok)
            QCOMPARE(file, CbmFile(file.mid(4)));
    }

    void deleteTileSources() {
        CTestRoot root;
        for (const char* name : {"a1_1.map", "a1_1.tmp", "a1_1.cbm", "a1_2.map"})
            QVERIFY(root.WriteFile(kHostFolder + name, "x"));
        TileCache cache;
        QVERIFY(cache.DeleteTileSources(kFolder, "a1_1"));
        QCOMPARE(Listing(root), (QStringList{"a1_1.cbm", "a1_2.map"}));
        QVERIFY(cache.DeleteTileSources(kFolder, "a1_1"));

        // What kills leave: a .tmp whose .map went, side files. A .tmp with
        // its .map is still of use.
        for (const char* name :
             {"a1_3.cbm", "A1_3.TMP", "a1_2.tmp", "a1_4.cbm.part", "a1_5.tmp.part"})
            QVERIFY(root.WriteFile(kHostFolder + name, "x"));
        QCOMPARE(RemoveTileLeftovers(kFolder), 3);
        QCOMPARE(Listing(root), (QStringList{"a1_1.cbm", "a1_2.map", "a1_2.tmp", "a1_3.cbm"}));
    }

    // Links planted where the side files of a .tmp and a .cbm go are removed,
    // never written through; the finished files are flushed to disk.
    void plantedLinksAreNotFollowed() {
        CTestRoot root;
        QTemporaryDir outside;
        const QByteArray image = TilePng(500, qRgb(9, 8, 7));
        QVERIFY(root.WriteFile(kHostFolder + "a1_1.map", EncryptTile(image)));
        for (const char* name : {"a1_1.tmp.part", "a1_1.cbm.part"}) {
            QFile file(outside.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("outside") == 7);
            QVERIFY(QFile::link(file.fileName(), root.Host(kHostFolder + name)));
        }
        const uint64_t syncs = DiskSyncCount();
        TileCache cache;
        QVERIFY(DecryptTileFile(kFolder + "\\a1_1.map", kFolder + "\\a1_1.tmp"));
        QVERIFY(WriteCompressedTile(kFolder, "a1_1", TestPicture(500, 500, 2)));
        QVERIFY(DiskSyncCount() >= syncs + 4);
        QCOMPARE(root.ReadFile(kHostFolder + "a1_1.tmp"), image);
        QCOMPARE(Listing(root), (QStringList{"a1_1.cbm", "a1_1.map", "a1_1.tmp"}));
        for (const char* name : {"a1_1.tmp.part", "a1_1.cbm.part"})
            QCOMPARE(QFile(outside.filePath(name)).size(), qint64(7));
    }

    // Without kept tiles every fetch fills the one template image with that
    // tile and returns it; with them, a tile drawn again is not read again.
    // Either way a missing or malformed .cbm is refused and leaves nothing
    // behind that a later fetch would show.
    void getTileBitmap_data() {
        QTest::addColumn<QByteArray>("cbm");
        QTest::addColumn<bool>("ok");
        const QByteArray good = Compressed(Raw(TestPicture(500, 500, 6)));
        QTest::newRow("good tile") << CbmFile(good) << true;
        QTest::newRow("no .cbm") << QByteArray() << false;
        QTest::newRow("3 bytes") << QByteArray("\x10\0\0", 3) << false;
        // A stream that would decode well, padded past the compressed-tile buffer.
        QTest::newRow("length over 500000")
            << CbmFile(good + QByteArray(500001 - good.size(), '\0'), 500001) << false;
        QTest::newRow("file shorter than length")
            << CbmFile(good.left(good.size() - 1), uint32_t(good.size())) << false;
        QTest::newRow("stream ends early") << CbmFile(good.left(good.size() / 2)) << false;
        QByteArray corrupt = good;
        for (int i = 2; i < corrupt.size(); i += 5)
            corrupt[i] = char(corrupt[i] ^ 0x5a);
        QTest::newRow("corrupt stream") << CbmFile(corrupt) << false;
        QTest::newRow("too few pixels") << CbmFile(Compressed(QByteArray(400000, '!'))) << false;
        QTest::newRow("inflates past 500000")
            << CbmFile(Compressed(QByteArray(500002, '!'))) << false;
    }
    void getTileBitmap() {
        QFETCH(QByteArray, cbm);
        QFETCH(bool, ok);
        CTestRoot root;
        const QImage other = TestPicture(500, 500, 11);
        QVERIFY(root.WriteFile(kHostFolder + "a1_2.cbm", CbmFile(Compressed(Raw(other)))));
        if (!cbm.isEmpty())
            QVERIFY(root.WriteFile(kHostFolder + "a1_1.cbm", cbm));
        // The largest limit the settings hold (4294967295 MiB) keeps tiles too.
        for (const int64_t limit :
             {int64_t(0), TileCache::DEFAULT_CACHE_BYTES, int64_t(0xffffffff) << 20}) {
            QVERIFY(InstallTemplate(root));
            TileCache cache;
            cache.SetCacheLimit(limit);
            QCOMPARE(cache.CacheLimit(), std::min(limit, TileCache::MaxCacheLimit()));
            const QImage* first = nullptr;
            QVERIFY(cache.GetTileBitmap(kFolder, "a1_2", first));
            const uchar* const pixels = first->constBits();
            QCOMPARE(*first, other);
            // The template is decoded once: later fetches no longer need its files.
            QVERIFY(QFile::remove(root.Host("Veldra/Maps/tpl.map")) &&
                    QFile::remove(root.Host("Veldra/Maps/tpl.tmp")));
            const QImage* bitmap = nullptr;
            for (int attempt = 0; attempt < 2; ++attempt) {
                QCOMPARE(cache.GetTileBitmap(kFolder, "A1_1", bitmap), ok);
                QCOMPARE(bitmap == nullptr, !ok);
                if (ok)
                    QCOMPARE(*bitmap, TestPicture(500, 500, 6));
            }
            QVERIFY(cache.GetTileBitmap(kFolder, "a1_2", bitmap));
            QCOMPARE(*bitmap, other);
            if (limit == 0)
                QVERIFY(bitmap == first && bitmap->constBits() == pixels);
            const uint64_t reads = cbm.isEmpty() ? 0 : ok ? 1 : 2;
            QCOMPARE(cache.m_nTileReads, limit == 0 ? 2 + reads + (ok ? 1 : 0) : 1 + reads);
        }
    }

    // Kept tiles: the least recently used goes first when the limit is
    // reached, and a tile changed on disk is shown once its folder is forgotten.
    void keptTiles() {
        CTestRoot root;
        QVERIFY(InstallTemplate(root));
        for (int i = 1; i <= 3; ++i)
            QVERIFY(root.WriteFile(kHostFolder + QString("a1_%1.cbm").arg(i),
                                   CbmFile(Compressed(Raw(TestPicture(500, 500, i))))));
        TileCache cache;
        cache.SetCacheLimit(2 *
                            (500000 + 500000 / 16 + 500000 / 4)); // two tiles, shrunk copies too
        const QImage* bitmap = nullptr;
        for (const char* name : {"a1_1", "a1_2", "a1_1", "a1_3", "a1_1", "a1_2"})
            QVERIFY(cache.GetTileBitmap(kFolder, name, bitmap));
        QCOMPARE(*bitmap, TestPicture(500, 500, 2));
        QCOMPARE(cache.m_nTileReads, uint64_t(4)); // a1_2 went for a1_3, a1_1 stayed
        QCOMPARE(cache.m_nCacheHits, uint64_t(2));

        QVERIFY(root.WriteFile(kHostFolder + "a1_2.cbm",
                               CbmFile(Compressed(Raw(TestPicture(500, 500, 9))))));
        cache.ForgetTiles(kFolder + "x");
        QVERIFY(cache.GetTileBitmap(kFolder, "a1_2", bitmap));
        QCOMPARE(*bitmap, TestPicture(500, 500, 2));
        cache.ForgetTiles(kFolder);
        QVERIFY(cache.GetTileBitmap(kFolder, "a1_2", bitmap));
        QCOMPARE(*bitmap, TestPicture(500, 500, 9));
    }

    // Without a usable template no tile is returned; once a good template is
    // in place the next fetch loads it.
    void unusableTemplate_data() {
        QTest::addColumn<QByteArray>("tplMap");
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("501 x 500") << EncryptTile(EncodeImage(TestPicture(501, 500, 0)));
        QTest::newRow("500 x 501") << EncryptTile(EncodeImage(TestPicture(500, 501, 0)));
        QTest::newRow("garbage image") << EncryptTile(QByteArray(4000, '\x77'));
        QTest::newRow("too short") << QByteArray(40, '\x77');
    }
    void unusableTemplate() {
        QFETCH(QByteArray, tplMap);
        CTestRoot root;
        if (!tplMap.isEmpty())
            QVERIFY(root.WriteFile("Veldra/Maps/tpl.map", tplMap));
        QVERIFY(root.MakeDir(kHostFolder));
        TileCache cache;
        const QImage tile = TestPicture(500, 500, 8);
        QVERIFY(WriteCompressedTile(kFolder, "a1_1", tile));
        const QImage* bitmap = nullptr;
        QVERIFY(!cache.GetTileBitmap(kFolder, "a1_1", bitmap));
        QVERIFY(bitmap == nullptr && cache.m_hbmTemplate.isNull());

        QFile::remove(root.Host("Veldra/Maps/tpl.tmp"));
        QVERIFY(InstallTemplate(root));
        QVERIFY(cache.GetTileBitmap(kFolder, "a1_1", bitmap));
        QCOMPARE(*bitmap, tile);
    }

    // Mode 1 stops at the first match; any other mode counts every entry.
    void countFiles_data() {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("count");
        QTest::newRow("all .cbm, mode 1") << "*.cbm" << 1 << 1;
        QTest::newRow("other case, mode 0") << "*.CBM" << 0 << 7;
        QTest::newRow("every entry") << "*.*" << 2 << 11;
        QTest::newRow("no match, mode 1") << "*.idx" << 1 << 0;
    }
    void countFiles() {
        QFETCH(QString, pattern);
        QFETCH(int, mode);
        QFETCH(int, count);
        CTestRoot root;
        for (const char* name :
             {"abc1_1.cbm", "abc1_2.cbm", "ABC1_3.CBM", "abc2_1.cbm", "abc2_2.cbm", "abc2_3.cbm",
              "abc11_1.cbm", "abc3_1.map", "Map.dat", "streets.idx.bak"})
            QVERIFY(root.WriteFile(kHostFolder + name, "x"));
        QVERIFY(root.MakeDir(kHostFolder + "sub"));
        QCOMPARE(CountFiles(kFolder, pattern, mode), count);
    }
};

QTEST_MAIN(TestTilePipeline)
#include "test_tile_pipeline.moc"
