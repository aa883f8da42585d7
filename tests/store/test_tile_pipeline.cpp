#include "platform/file_system.h"
#include "store/tile_cache.h"
#include "store/tile_crypto.h"
#include "store_test_support.h"
#include "test_support.h"

#include <QThread>
#include <QtTest>
#include <algorithm>
#include <zlib.h>

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\Testmap");
const QString kHostFolder = QStringLiteral("Veldra/Maps/Testmap/");

QByteArray Raw(const QImage& image) {
    return QByteArray(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes());
}

// A .cbm file: 4-byte little-endian length, then the bytes.
QByteArray CbmFile(const QByteArray& data, uint32_t lengthField) {
    QByteArray file;
    for (int shift = 0; shift < 32; shift += 8)
        file.append(char((lengthField >> shift) & 0xFF));
    return file + data;
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

} // namespace

class TestTilePipeline : public QObject {
    Q_OBJECT

private:
    // Installs the template tile (a 500 x 500 picture) in \Veldra\Maps.
    static bool InstallTemplate(const CTestRoot& root, const QImage& image) {
        return root.WriteFile("Veldra/Maps/tpl.map", EncryptTile(EncodeImage(image)));
    }

private slots:
    // --- decryption

    void decryptBufferStartsAtKeyStreamZero() {
        const auto material = MakeTileKeyMaterial();
        QByteArray plain(300, '\0');
        for (int i = 0; i < plain.size(); ++i)
            plain[i] = char(i * 7);
        QByteArray expected = plain;
        CRc4(DeriveRc4Key(material.data(), 16))
            .Crypt(reinterpret_cast<uint8_t*>(expected.data()), size_t(expected.size()));
        // Two calls on equal data give equal results: no call continues the key stream.
        for (int call = 0; call < 2; ++call) {
            QByteArray data = plain;
            QCOMPARE(DecryptBuffer(TILE_PROVIDER_NAME, material.data(), 16,
                                   reinterpret_cast<uint8_t*>(data.data()), uint32_t(data.size())),
                     uint32_t(TILE_CRYPT_OK));
            QCOMPARE(data, expected);
        }
        QByteArray data = plain;
        QCOMPARE(DecryptBuffer("Another Provider", material.data(), 16,
                               reinterpret_cast<uint8_t*>(data.data()), uint32_t(data.size())),
                 uint32_t(TILE_CRYPT_BAD_PROVIDER));
        QCOMPARE(data, plain);
    }

    // The .tmp holds the decrypted bytes 56 .. min(n, 131072) - 1; shorter
    // files hold no image and write no .tmp.
    void decryptTileFile_data() {
        QTest::addColumn<int>("fileSize");
        QTest::addColumn<bool>("ok");
        QTest::newRow("empty") << 0 << false;
        QTest::newRow("header only") << 4 << false;
        QTest::newRow("55 bytes") << 55 << false;
        QTest::newRow("56 bytes, no image") << 56 << false;
        QTest::newRow("57 bytes") << 57 << true;
        QTest::newRow("ordinary tile") << 30000 << true;
        QTest::newRow("131072 bytes") << 131072 << true;
        QTest::newRow("131073 bytes") << 131073 << true;
        QTest::newRow("300000 bytes") << 300000 << true;
    }
    void decryptTileFile() {
        QFETCH(int, fileSize);
        QFETCH(bool, ok);
        CTestRoot root;
        QByteArray image(std::max(0, fileSize - 56), '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char((i * 131) ^ (i >> 9));
        const QByteArray map = EncryptTile(image).left(fileSize);
        QVERIFY(root.WriteFile(kHostFolder + "a1_1.map", map));
        const QByteArray expected = image.left(std::min(fileSize, DECRYPT_BUFFER_SIZE) - 56);

        std::vector<uint8_t> buffer(DECRYPT_BUFFER_SIZE);
        const uint8_t* payload = nullptr;
        const auto material = MakeTileKeyMaterial();
        const uint32_t length =
            ReadAndDecrypt(TILE_PROVIDER_NAME, material.data(), 16, kFolder + "\\a1_1.map",
                           buffer.data(), uint32_t(buffer.size()), payload);
        QCOMPARE(length, ok ? uint32_t(expected.size()) : 0u);
        if (ok)
            QCOMPARE(QByteArray(reinterpret_cast<const char*>(payload), length), expected);

        QCOMPARE(DecryptTileFile(kFolder + "\\a1_1.map", kFolder + "\\a1_1.tmp"), ok);
        if (ok)
            QCOMPARE(root.ReadFile(kHostFolder + "a1_1.tmp"), expected);
        else
            QCOMPARE(Listing(root), QStringList{"a1_1.map"});
    }

    // A write that fails part-way leaves no .tmp behind; a later try succeeds.
    void failedTmpWriteLeavesNothing() {
        CTestRoot root;
        const QByteArray image(20000, '\x5a');
        QVERIFY(root.WriteFile(kHostFolder + "a1_1.map", EncryptTile(image)));
        {
            CFileSizeLimit limit(4096);
            QVERIFY(!DecryptTileFile(kFolder + "\\a1_1.map", kFolder + "\\a1_1.tmp"));
        }
        QCOMPARE(Listing(root), QStringList{"a1_1.map"});
        QVERIFY(DecryptTileFile(kFolder + "\\a1_1.map", kFolder + "\\a1_1.tmp"));
        QCOMPARE(root.ReadFile(kHostFolder + "a1_1.tmp"), image);
    }

    // --- decoding

    // Every image format arrives intact through the pipeline's reads; the file
    // names on disk may use another letter case than the tile name.
    void decodeTile_data() {
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<int>("side");
        QTest::newRow("png") << QByteArray("PNG") << 500;
        QTest::newRow("jpeg") << QByteArray("JPG") << 500;
        QTest::newRow("bmp") << QByteArray("BMP") << 200; // 24-bit: 120054 bytes
    }
    void decodeTile() {
        QFETCH(QByteArray, format);
        QFETCH(int, side);
        CTestRoot root;
        const QByteArray file = EncodeImage(TestPicture(side, side, 3), format.constData());
        QVERIFY(file.size() > 0 && file.size() <= DECRYPT_BUFFER_SIZE - 56);
        QVERIFY(root.WriteFile(kHostFolder + "ABC1_2.MAP", EncryptTile(file)));
        TileCache cache;
        QImage bitmap;
        QVERIFY(cache.DecodeTile(kFolder, "abc1_2", bitmap));
        QCOMPARE(bitmap.format(), kDisplayFormat);
        QCOMPARE(bitmap, QImage::fromData(file).convertToFormat(kDisplayFormat));
    }

    // An existing .tmp is decoded as it is; the .map is not read.
    void existingTmpReused() {
        CTestRoot root;
        const QImage picture = TestPicture(500, 500, 5);
        QVERIFY(root.WriteFile(kHostFolder + "a1_1.tmp", EncodeImage(picture)));
        QVERIFY(root.WriteFile(kHostFolder + "a1_1.map", QByteArray(5000, '\x13')));
        TileCache cache;
        QImage bitmap;
        QVERIFY(cache.DecodeTile(kFolder, "a1_1", bitmap));
        QCOMPARE(bitmap, picture);
    }

    void decodeRefuses_data() {
        QTest::addColumn<QByteArray>("map");
        QTest::addColumn<int>("maxSide");
        QTest::newRow("no .map") << QByteArray() << 10000;
        QTest::newRow("garbage image") << EncryptTile(QByteArray(3000, '\x42')) << 10000;
        QTest::newRow("wider than 10000")
            << EncryptTile(EncodeImage(QImage(10001, 1, kDisplayFormat))) << 10000;
        QTest::newRow("over a lowered bound")
            << EncryptTile(EncodeImage(TestPicture(500, 500, 1))) << 499;
    }
    void decodeRefuses() {
        QFETCH(QByteArray, map);
        QFETCH(int, maxSide);
        CTestRoot root;
        QVERIFY(root.MakeDir(kHostFolder));
        if (!map.isEmpty())
            QVERIFY(root.WriteFile(kHostFolder + "a1_1.map", map));
        TileCache cache;
        cache.m_nMaxWidth = cache.m_nMaxHeight = maxSide;
        QImage bitmap = TestPicture(10, 10, 1);
        QVERIFY(!cache.DecodeTile(kFolder, "a1_1", bitmap));
        QVERIFY(bitmap.isNull());
    }

    // Decoding a tile without a .tmp first deletes the oldest .tmp files while
    // more than 16 are left, at most five of them.
    void pruneTempFiles_data() {
        QTest::addColumn<int>("existing");
        QTest::addColumn<int>("deleted");
        QTest::newRow("16") << 16 << 0;
        QTest::newRow("17") << 17 << 1;
        QTest::newRow("22") << 22 << 5;
        QTest::newRow("30") << 30 << 5;
    }
    void pruneTempFiles() {
        QFETCH(int, existing);
        QFETCH(int, deleted);
        CTestRoot root;
        // Names are not in age order, so neither name nor listing order gives the answer.
        QStringList byAge;
        for (int i = 0; i < existing; ++i)
            byAge << QString("t%1_%2.tmp").arg((i * 7) % existing).arg(i);
        int64_t previous = 0;
        for (const QString& name : byAge) {
            // Make each file strictly younger than the one before, as the file
            // layer reports creation times (birth time, else modification time).
            for (int attempt = 0;; ++attempt) {
                QVERIFY(root.WriteFile(kHostFolder + name, "x"));
                const std::vector<FindData> found = FindFiles(JoinDevicePath(kFolder, name));
                QCOMPARE(found.size(), size_t(1));
                if (found[0].creationTime > previous) {
                    previous = found[0].creationTime;
                    break;
                }
                QVERIFY(attempt < 200);
                QFile::remove(root.Host(kHostFolder + name));
                QThread::msleep(2);
            }
        }
        QVERIFY(root.WriteFile(kHostFolder + "new1_1.map",
                               EncryptTile(EncodeImage(TestPicture(500, 500, 2)))));
        TileCache cache;
        QImage bitmap;
        QVERIFY(cache.DecodeTile(kFolder, "new1_1", bitmap));

        QStringList expected = byAge.mid(deleted);
        expected << "new1_1.map"
                 << "new1_1.tmp";
        expected.sort();
        QCOMPARE(Listing(root), expected);
    }

    // --- converted tiles

    void saveWritesCbm() {
        CTestRoot root;
        QVERIFY(root.MakeDir(kHostFolder));
        const QImage tile = TestPicture(500, 500, 9);
        TileCache cache;
        QVERIFY(cache.SaveCompressedTile(kFolder, "a2_3", tile));
        const QByteArray file = root.ReadFile(kHostFolder + "a2_3.cbm");
        QVERIFY(file.size() > 4);
        const uint32_t n = uint8_t(file[0]) | uint8_t(file[1]) << 8 | uint8_t(file[2]) << 16 |
                           uint32_t(uint8_t(file[3])) << 24;
        QCOMPARE(qsizetype(n), file.size() - 4);
        QByteArray raw(600000, '\0');
        uLongf rawSize = uLongf(raw.size());
        QCOMPARE(uncompress(reinterpret_cast<Bytef*>(raw.data()), &rawSize,
                            reinterpret_cast<const Bytef*>(file.constData()) + 4, n),
                 Z_OK);
        QCOMPARE(QByteArray(raw.constData(), qsizetype(rawSize)), Raw(tile));
        QCOMPARE(Listing(root), QStringList{"a2_3.cbm"});
    }

    void saveRefuses_data() {
        QTest::addColumn<QImage>("bitmap");
        QTest::newRow("null") << QImage();
        QTest::newRow("wider than tall") << TestPicture(300, 200, 1);
        QTest::newRow("taller than wide") << TestPicture(200, 300, 1);
        QTest::newRow("raw size over 500000") << TestPicture(501, 501, 1);
        QTest::newRow("not the display format")
            << TestPicture(300, 300, 1).convertToFormat(QImage::Format_RGB32);
    }
    void saveRefuses() {
        QFETCH(QImage, bitmap);
        CTestRoot root;
        QVERIFY(root.MakeDir(kHostFolder));
        TileCache cache;
        QVERIFY(!cache.SaveCompressedTile(kFolder, "a1_1", bitmap));
        QVERIFY(Listing(root).isEmpty());
    }

    // A .cbm write that fails part-way leaves no .cbm.
    void failedCbmWriteLeavesNothing() {
        CTestRoot root;
        QVERIFY(root.MakeDir(kHostFolder));
        TileCache cache;
        {
            CFileSizeLimit limit(1000);
            QVERIFY(!cache.SaveCompressedTile(kFolder, "a1_1", TestPicture(500, 500, 4)));
        }
        QVERIFY(Listing(root).isEmpty());
    }

    void deleteTileSources() {
        CTestRoot root;
        for (const char* name : {"a1_1.map", "a1_1.tmp", "a1_1.cbm", "a1_2.map"})
            QVERIFY(root.WriteFile(kHostFolder + name, "x"));
        TileCache cache;
        QVERIFY(cache.DeleteTileSources(kFolder, "a1_1"));
        QCOMPARE(Listing(root), (QStringList{"a1_1.cbm", "a1_2.map"}));
        QVERIFY(cache.DeleteTileSources(kFolder, "a1_1"));
    }

    // Every fetch returns the one template image, filled with that tile.
    void getTileBitmapReusesTemplate() {
        CTestRoot root;
        QVERIFY(InstallTemplate(root, TestPicture(500, 500, 0)));
        TileCache cache;
        QVERIFY(root.MakeDir(kHostFolder));
        const QImage first = TestPicture(500, 500, 11), second = TestPicture(500, 500, 12);
        QVERIFY(cache.SaveCompressedTile(kFolder, "a1_1", first));
        QVERIFY(cache.SaveCompressedTile(kFolder, "a1_2", second));

        const QImage* bitmap = nullptr;
        QVERIFY(cache.GetTileBitmap(kFolder, "a1_1", bitmap));
        const QImage* const image = bitmap;
        const uchar* const pixels = bitmap->constBits();
        QCOMPARE(*bitmap, first);
        QVERIFY(cache.GetTileBitmap(kFolder, "a1_2", bitmap));
        QCOMPARE(bitmap, image);
        QCOMPARE(bitmap->constBits(), pixels);
        QCOMPARE(*bitmap, second);
        QVERIFY(cache.GetTileBitmap(kFolder, "A1_1", bitmap));
        QCOMPARE(bitmap, image);
        QCOMPARE(*bitmap, first);
        QVERIFY(!cache.GetTileBitmap(kFolder, "a9_9", bitmap));
        QVERIFY(root.Exists("Veldra/Maps/tpl.tmp"));
    }

    void loadCompressedTile_data() {
        QTest::addColumn<QByteArray>("cbm");
        QTest::addColumn<bool>("ok");
        const QByteArray good = Compressed(Raw(TestPicture(500, 500, 6)));
        QTest::newRow("good tile") << CbmFile(good, uint32_t(good.size())) << true;
        QTest::newRow("empty file") << QByteArray() << false;
        QTest::newRow("3 bytes") << QByteArray("\x10\0\0", 3) << false;
        // A stream that would decode well, padded past the compressed-tile buffer.
        QTest::newRow("length over 500000")
            << CbmFile(good + QByteArray(500001 - good.size(), '\0'), 500001) << false;
        QTest::newRow("file shorter than length")
            << CbmFile(good.left(good.size() - 1), uint32_t(good.size())) << false;
        QByteArray corrupt = good;
        for (int i = 2; i < corrupt.size(); i += 5)
            corrupt[i] = char(corrupt[i] ^ 0x5a);
        QTest::newRow("corrupt stream") << CbmFile(corrupt, uint32_t(corrupt.size())) << false;
        const QByteArray small = Compressed(QByteArray(400000, '\x21'));
        QTest::newRow("too few pixels") << CbmFile(small, uint32_t(small.size())) << false;
        const QByteArray big = Compressed(QByteArray(500002, '\x21'));
        QTest::newRow("too many pixels") << CbmFile(big, uint32_t(big.size())) << false;
    }
    void loadCompressedTile() {
        QFETCH(QByteArray, cbm);
        QFETCH(bool, ok);
        CTestRoot root;
        QVERIFY(InstallTemplate(root, TestPicture(500, 500, 0)));
        QVERIFY(root.WriteFile(kHostFolder + "a1_1.cbm", cbm));
        TileCache cache;
        const QImage* bitmap = nullptr;
        QCOMPARE(cache.GetTileBitmap(kFolder, "a1_1", bitmap), ok);
        QCOMPARE(bitmap != nullptr, ok);
        if (ok)
            QCOMPARE(*bitmap, TestPicture(500, 500, 6));
        QCOMPARE(cache.m_hbmTemplate.size(), QSize(500, 500));
    }

    // Without a usable template no tile is returned; once a good template is
    // in place the next fetch loads it.
    void unusableTemplate_data() {
        QTest::addColumn<QByteArray>("tplMap");
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("400 x 400") << EncryptTile(EncodeImage(TestPicture(400, 400, 0)));
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
        QVERIFY(cache.SaveCompressedTile(kFolder, "a1_1", tile));
        const QImage* bitmap = nullptr;
        QVERIFY(!cache.GetTileBitmap(kFolder, "a1_1", bitmap));
        QVERIFY(bitmap == nullptr);
        QVERIFY(cache.m_hbmTemplate.isNull());

        QFile::remove(root.Host("Veldra/Maps/tpl.tmp"));
        QVERIFY(InstallTemplate(root, TestPicture(500, 500, 0)));
        QVERIFY(cache.GetTileBitmap(kFolder, "a1_1", bitmap));
        QCOMPARE(*bitmap, tile);
    }

    void countFiles_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("count");
        QTest::newRow("all .cbm, mode 2") << kFolder << "*.cbm" << 2 << 7;
        QTest::newRow("all .cbm, mode 1") << kFolder << "*.cbm" << 1 << 1;
        QTest::newRow("all .cbm, mode 0") << kFolder << "*.cbm" << 0 << 7;
        QTest::newRow("other case") << kFolder << "*.CBM" << 2 << 7;
        QTest::newRow("row 1") << kFolder << "abc1_*.cbm" << 2 << 3;
        QTest::newRow("every entry") << kFolder << "*.*" << 2 << 11;
        QTest::newRow("no match, mode 2") << kFolder << "*.idx" << 2 << 0;
        QTest::newRow("no match, mode 1") << kFolder << "*.idx" << 1 << 0;
        QTest::newRow("no folder") << QString("\\Veldra\\Nothing") << "*.cbm" << 2 << 0;
    }
    void countFiles() {
        QFETCH(QString, folder);
        QFETCH(QString, pattern);
        QFETCH(int, mode);
        QFETCH(int, count);
        CTestRoot root;
        for (const char* name :
             {"abc1_1.cbm", "abc1_2.cbm", "ABC1_3.CBM", "abc2_1.cbm", "abc2_2.cbm", "abc2_3.cbm",
              "abc11_1.cbm", "abc3_1.map", "Map.dat", "streets.idx.bak"})
            QVERIFY(root.WriteFile(kHostFolder + name, "x"));
        QVERIFY(root.MakeDir(kHostFolder + "sub"));
        QCOMPARE(CountFiles(folder, pattern, mode), count);
    }
};

QTEST_MAIN(TestTilePipeline)
#include "test_tile_pipeline.moc"
