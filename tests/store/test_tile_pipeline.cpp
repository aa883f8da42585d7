// The tile files (.map, .tmp, .cbm) and the tile cache that draws from .cbm.

#include "platform/file_system.h"
#include "platform/image_codec.h"
#include "store/tile_cache.h"
#include "store/tile_crypto.h"
#include "test_support.h"

#include <QPainter>
#include <QtEndian>
#include <QtTest>
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

// A .cbm file: a 4-byte little-endian length (by default the stream's), then the zlib stream.
QByteArray CbmFile(const QByteArray& stream, int64_t lengthField = -1) {
    QByteArray file(4, '\0');
    qToLittleEndian(uint32_t(lengthField < 0 ? stream.size() : lengthField), file.data());
    return file + stream;
}
QByteArray Compressed(const QByteArray& raw) {
    return qCompress(raw).mid(4); // qCompress prefixes its own 4-byte size
}
QByteArray CbmOf(const QImage& image) {
    return CbmFile(Compressed(
        QByteArray(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes())));
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
    // files write none. EncryptTileImage's output decrypts to its image.
    void decryptTileFile_data() {
        QTest::addColumn<int>("fileSize");
        QTest::addColumn<bool>("ownWriter"); // EncryptTileImage, else the test's own
        QTest::newRow("56 bytes, no image") << 56 << false;
        QTest::newRow("57 bytes") << 57 << false;
        QTest::newRow("131072 bytes") << 131072 << false;
        QTest::newRow("131073 bytes") << 131073 << false;
        QTest::newRow("written by EncryptTileImage") << 5000 << true;
    }
    void decryptTileFile() {
        QFETCH(int, fileSize);
        QFETCH(bool, ownWriter);
        CTestRoot root;
        QByteArray image(std::max(0, fileSize - 56), '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char((i * 131) ^ (i >> 9));
        const QByteArray map = ownWriter ? EncryptTileImage(image) : EncryptTile(image);
        QCOMPARE(map.size(), image.size() + 56);
        QVERIFY(root.WriteFile(kHostFolder + "a1_1.map", map.left(fileSize)));
        const bool ok = fileSize > 56;
        QCOMPARE(DecryptTileFile(kFolder + "\\a1_1.map", kFolder + "\\a1_1.tmp"), ok);
        if (ok)
            QCOMPARE(root.ReadFile(kHostFolder + "a1_1.tmp"),
                     image.left(std::min(fileSize, 131072) - 56));
        else
            QCOMPARE(Listing(root), QStringList{"a1_1.map"});
    }

    // Writes that fail part-way leave no .tmp and no .cbm.
    void failedWritesLeaveNothing() {
        CTestRoot root;
        const QByteArray image(20000, '\x5a');
        QVERIFY(root.WriteFile(kHostFolder + "a1_1.map", EncryptTile(image)));
        {
            CFileSizeLimit limit(4096);
            QVERIFY(!DecryptTileFile(kFolder + "\\a1_1.map", kFolder + "\\a1_1.tmp"));
            QVERIFY(!WriteCompressedTile(kFolder, "a1_1", TestPicture(500, 500, 4)));
        }
        QCOMPARE(Listing(root), QStringList{"a1_1.map"});
        QVERIFY(DecryptTileFile(kFolder + "\\a1_1.map", kFolder + "\\a1_1.tmp"));
        QCOMPARE(root.ReadFile(kHostFolder + "a1_1.tmp"), image);
    }

    // Only a square display-format tile of at most 500000 raw bytes is written.
    void writeCompressedTile_data() {
        QTest::addColumn<QImage>("bitmap");
        QTest::addColumn<bool>("ok");
        QTest::newRow("500 x 500") << TestPicture(500, 500, 9) << true;
        QTest::newRow("null") << QImage() << false;
        QTest::newRow("taller than wide") << TestPicture(200, 300, 1) << false;
        QTest::newRow("raw size over 500000") << TestPicture(501, 501, 1) << false;
        QTest::newRow("not the display format")
            << TestPicture(300, 300, 1).convertToFormat(QImage::Format_RGB32) << false;
    }
    void writeCompressedTile() {
        QFETCH(QImage, bitmap);
        QFETCH(bool, ok);
        CTestRoot root;
        QVERIFY(root.MakeDir(kHostFolder));
        QCOMPARE(WriteCompressedTile(kFolder, "a2_3", bitmap), ok);
        QCOMPARE(Listing(root), ok ? QStringList{"a2_3.cbm"} : QStringList{});
        // The stream itself is checked by loading written tiles (unusableTemplate).
        const QByteArray file = root.ReadFile(kHostFolder + "a2_3.cbm");
        if (ok)
            QCOMPARE(file, CbmFile(file.mid(4)));
    }

    // What kills leave goes: a .tmp whose .map went, side files.
    void removeTileLeftovers() {
        CTestRoot root;
        for (const char* name : {"a1_1.cbm", "a1_2.map", "a1_3.cbm", "A1_3.TMP", "a1_2.tmp",
                                 "a1_4.cbm.part", "a1_5.tmp.part"})
            QVERIFY(root.WriteFile(kHostFolder + name, "x"));
        QCOMPARE(RemoveTileLeftovers(kFolder), 3);
        QCOMPARE(Listing(root), (QStringList{"a1_1.cbm", "a1_2.map", "a1_2.tmp", "a1_3.cbm"}));
    }

    // Without kept tiles every fetch fills the one template image; with them
    // a tile is read once. A missing or malformed .cbm is refused and leaves
    // nothing that a later fetch would show.
    void getTileBitmap_data() {
        QTest::addColumn<QByteArray>("cbm");
        QTest::addColumn<bool>("ok");
        const QByteArray good = CbmOf(TestPicture(500, 500, 6)).mid(4);
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
        QVERIFY(root.WriteFile(kHostFolder + "a1_2.cbm", CbmOf(other)));
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

    // The least recently used kept tile goes first; a changed tile shows once
    // its folder is forgotten.
    void keptTiles() {
        CTestRoot root;
        QVERIFY(InstallTemplate(root));
        for (int i = 1; i <= 3; ++i)
            QVERIFY(root.WriteFile(kHostFolder + QString("a1_%1.cbm").arg(i),
                                   CbmOf(TestPicture(500, 500, i))));
        TileCache cache;
        cache.SetCacheLimit(2 *
                            (500000 + 500000 / 16 + 500000 / 4)); // two tiles, shrunk copies too
        const QImage* bitmap = nullptr;
        for (const char* name : {"a1_1", "a1_2", "a1_1", "a1_3", "a1_1", "a1_2"})
            QVERIFY(cache.GetTileBitmap(kFolder, name, bitmap));
        QCOMPARE(*bitmap, TestPicture(500, 500, 2));
        QCOMPARE(cache.m_nTileReads, uint64_t(4)); // a1_2 went for a1_3, a1_1 stayed
        QCOMPARE(cache.m_nCacheHits, uint64_t(2));

        QVERIFY(root.WriteFile(kHostFolder + "a1_2.cbm", CbmOf(TestPicture(500, 500, 9))));
        cache.ForgetTiles(kFolder + "x");
        QVERIFY(cache.GetTileBitmap(kFolder, "a1_2", bitmap));
        QCOMPARE(*bitmap, TestPicture(500, 500, 2));
        cache.ForgetTiles(kFolder);
        QVERIFY(cache.GetTileBitmap(kFolder, "a1_2", bitmap));
        QCOMPARE(*bitmap, TestPicture(500, 500, 9));
    }

    // Without a usable template no tile is returned, until a good one is in place.
    void unusableTemplate_data() {
        QTest::addColumn<QByteArray>("tplMap");
        QTest::addColumn<QByteArray>("tplTmp");
        const QByteArray good = EncodeImage(TestPicture(500, 500, 0));
        QTest::newRow("missing") << QByteArray() << QByteArray();
        QTest::newRow("501 x 500")
            << EncryptTile(EncodeImage(TestPicture(501, 500, 0))) << QByteArray();
        QTest::newRow("500 x 501")
            << EncryptTile(EncodeImage(TestPicture(500, 501, 0))) << QByteArray();
        QTest::newRow("garbage image") << EncryptTile(QByteArray(4000, '\x77')) << QByteArray();
        QTest::newRow("too short") << QByteArray(40, '\x77') << QByteArray();
        QTest::newRow("good map, garbage .tmp") << EncryptTile(good) << QByteArray(900, '\x13');
    }
    void unusableTemplate() {
        QFETCH(QByteArray, tplMap);
        QFETCH(QByteArray, tplTmp);
        CTestRoot root;
        if (!tplMap.isEmpty())
            QVERIFY(root.WriteFile("Veldra/Maps/tpl.map", tplMap));
        if (!tplTmp.isEmpty())
            QVERIFY(root.WriteFile("Veldra/Maps/TPL.TMP", tplTmp));
        QVERIFY(root.MakeDir(kHostFolder));
        TileCache cache;
        const QImage tile = TestPicture(500, 500, 8);
        QVERIFY(WriteCompressedTile(kFolder, "a1_1", tile));
        const QImage* bitmap = nullptr;
        QVERIFY(!cache.GetTileBitmap(kFolder, "a1_1", bitmap) && bitmap == nullptr);

        QFile::remove(root.Host(tplTmp.isEmpty() ? "Veldra/Maps/tpl.tmp" : "Veldra/Maps/TPL.TMP"));
        QVERIFY(InstallTemplate(root));
        QVERIFY(cache.GetTileBitmap(kFolder, "a1_1", bitmap));
        QCOMPARE(*bitmap, tile);
    }
};

QTEST_MAIN(TestTilePipeline)
#include "test_tile_pipeline.moc"
