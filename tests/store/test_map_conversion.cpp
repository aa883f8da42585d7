// The conversion engine: its rules, under parallel work, vanishing files and kills.

#include "platform/file_system.h"
#include "store/map_conversion.h"
#include "store/tile_cache.h"
#include "test_support.h"

#include <QThread>
#include <QtEndian>
#include <QtTest>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString kFolders[] = {QStringLiteral("\\Veldra\\Maps\\ref"),
                            QStringLiteral("\\Veldra\\Maps\\new")};

QString Host(const QString& folder) {
    return QString(folder).replace(u'\\', u'/').mid(1);
}

// The tile names of a folder's .map files, in listing order.
QStringList MapOrder(const QString& folder) {
    QStringList tiles;
    for (const FindData& entry : FindFiles(JoinDevicePath(folder, "*.map")))
        tiles.append(entry.name.left(entry.name.indexOf(u'.')));
    return tiles;
}

// Every file of a folder with its bytes, by name.
QMap<QString, QByteArray> Contents(const CTestRoot& root, const QString& folder) {
    QMap<QString, QByteArray> files;
    const QDir dir(root.Host(Host(folder)));
    for (const QString& name : dir.entryList(QDir::Files))
        files[name] = root.ReadFile(Host(folder) + u'/' + name);
    return files;
}

// Writes a file into each folder, one after the other, each strictly younger
// (by the creation time the file layer reports) than the file written before.
bool WriteInTurn(const CTestRoot& root, const QStringList& folders, const QString& name,
                 const QByteArray& bytes, int64_t& previous) {
    for (const QString& folder : folders) {
        const QString path = Host(folder) + u'/' + name;
        for (int64_t created = previous; created <= previous; QThread::usleep(500)) {
            QFile::remove(root.Host(path)); // a rewritten file keeps its birth time
            if (!root.WriteFile(path, bytes))
                return false;
            created = FindFiles(JoinDevicePath(folder, name)).at(0).creationTime;
        }
        previous = FindFiles(JoinDevicePath(folder, name)).at(0).creationTime;
    }
    return true;
}

// A map of 13 tiles "map<row>_<column>.map" written alike into each folder (so
// each lists them in the same order). Returns each tile's colour.
QMap<QString, QRgb> MakeMaps(const CTestRoot& root, const QStringList& folders) {
    QMap<QString, QRgb> colours;
    for (int i = 0; i < 13; ++i) {
        const QString tile = QStringLiteral("map%1_%2").arg(i / 4 + 1).arg(i % 4 + 1);
        colours[tile] = qRgb(i * 18, 90, 200);
        for (const QString& folder : folders)
            root.WriteFile(Host(folder) + u'/' + tile + ".map",
                           EncryptTile(TilePng(500, colours[tile])));
    }
    return colours;
}

// The .cbm a tile of one colour converts to.
QByteArray ConvertedTile(QRgb colour) {
    const QByteArray png = TilePng(500, colour);
    QImage bitmap;
    QByteArray file(4 + COMPRESSED_BUFFER_SIZE, '\0');
    if (!DecodeTileImage(reinterpret_cast<const uint8_t*>(png.constData()), png.size(), bitmap))
        return {};
    const uint32_t n = CompressTileImage(bitmap, reinterpret_cast<uint8_t*>(file.data()) + 4,
                                         COMPRESSED_BUFFER_SIZE);
    qToLittleEndian(n, file.data());
    file.truncate(4 + n);
    return file;
}

} // namespace

class TestMapConversion : public QObject {
    Q_OBJECT

private slots:
    // Listing order; a tile without a .tmp first prunes the oldest .tmp files
    // (five at most, while over 16); a .tmp is decoded as it is; the run stops
    // at a tile that cannot be decoded, keeping its .tmp. Workers change none of it.
    void convertsInListingOrder_data() {
        QTest::addColumn<int>("workers");
        QTest::newRow("on the calling thread") << 0;
        QTest::newRow("two workers") << 2;
        QTest::newRow("five workers") << 5;
    }
    void convertsInListingOrder() {
        QFETCH(int, workers);
        CTestRoot root;
        const QString folder = kFolders[1], host = Host(folder) + u'/';
        QMap<QString, QRgb> colours = MakeMaps(root, {folder});
        const QStringList order = MapOrder(folder);
        // The second tile cannot be decoded, nor can its .tmp, the oldest of
        // 28; a later tile has a young .tmp of another picture.
        const QString bad = order[1], young = order[5];
        const QByteArray badImage(2000, '\x43');
        QVERIFY(root.WriteFile(host + bad + ".map", EncryptTile(badImage)));
        int64_t time = 0;
        QVERIFY(WriteInTurn(root, {folder}, bad + ".TMP", QByteArray(3000, '\x42'), time));
        QStringList orphans;
        for (int i = 0; i < 26; ++i)
            orphans << QStringLiteral("old%1.tmp").arg(i, 2, 10, QChar('0'));
        for (const QString& name : orphans)
            QVERIFY(WriteInTurn(root, {folder}, name, "orphan", time));
        QVERIFY(WriteInTurn(root, {folder}, young + ".tmp", TilePng(500, qRgb(1, 2, 3)), time));
        colours[young] = qRgb(1, 2, 3);
        // Links planted where the first tile's .cbm and the bad tile's .tmp
        // are written are removed, never written through.
        for (const QString& name : {order[0] + ".cbm.part", bad + ".tmp.part"}) {
            QVERIFY(root.WriteFile(name, "outside"));
            QVERIFY(QFile::link(root.Host(name), root.Host(host + name)));
        }
        const uint64_t syncs = DiskSyncCount();

        // Run 1 prunes five .tmp files before the first tile and five before
        // the bad one; run 2, the bad tile mended, two more.
        for (int run = 1; run <= 2; ++run) {
            if (run == 2) {
                QVERIFY(QFile::remove(root.Host(host + bad + ".tmp")));
                QVERIFY(root.WriteFile(host + bad + ".map", EncryptTile(TilePng(500, 5))));
                colours[bad] = qRgb(0, 0, 5);
            }
            CMapConversion conversion(folder, workers);
            int converted = 0;
            conversion.m_onProgress = [&](int n) { QCOMPARE(n, ++converted); };
            QCOMPARE(conversion.Run(), run == 2);
            QCOMPARE(conversion.m_nListings, run);
            const QMap<QString, QByteArray> files = Contents(root, folder);
            QStringList expected = orphans.mid(run == 1 ? 9 : 11);
            for (int i = 0; i < 13; ++i)
                expected << order[i] + (i < 1 || run == 2 ? ".cbm" : ".map");
            if (run == 1)
                expected << young + ".tmp" << bad + ".tmp";
            expected.sort();
            QCOMPARE(files.keys(), expected);
            for (int i = 0; i < (run == 1 ? 1 : 13); ++i)
                QVERIFY2(files[order[i] + ".cbm"] == ConvertedTile(colours[order[i]]),
                         qPrintable(order[i]));
            if (run == 1)
                QCOMPARE(files[bad + ".tmp"], badImage);
        }
        // Every file written was flushed to disk, and none went outside.
        QVERIFY(DiskSyncCount() >= syncs + 2 * 14);
        for (const QString& name : {order[0] + ".cbm.part", bad + ".tmp.part"})
            QCOMPARE(root.ReadFile(name), QByteArray("outside"));
    }

    // Case twins name one tile: the one left behind is converted by the next run.
    void caseTwins() {
        CTestRoot root;
        for (const char* name : {"map1_1.map", "MAP1_1.MAP"})
            QVERIFY(root.WriteFile(Host(kFolders[1]) + u'/' + name, EncryptTile(TilePng(500, 7))));
        QVERIFY(!CMapConversion(kFolders[1], 2).Run());
        QCOMPARE(MapOrder(kFolders[1]).size(), 1);
        QVERIFY(CMapConversion(kFolders[1], 2).Run());
        QCOMPARE(Contents(root, kFolders[1]).size(), 1);
        QVERIFY(MapOrder(kFolders[1]).isEmpty());
    }

    // A tile removed during the run is skipped; one that appears is converted.
    void filesVanishAndAppear_data() {
        QTest::addColumn<int>("workers");
        QTest::newRow("on the calling thread") << 0;
        QTest::newRow("two workers") << 2;
    }
    void filesVanishAndAppear() {
        QFETCH(int, workers);
        CTestRoot root;
        MakeMaps(root, {kFolders[1]});
        const QStringList listed = MapOrder(kFolders[1]);
        const QString removed = listed.at(3);
        CMapConversion conversion(kFolders[1], workers);
        conversion.m_onProgress = [&](int converted) {
            if (converted == 2) {
                QFile::remove(root.Host(Host(kFolders[1]) + u'/' + removed + ".map"));
                root.WriteFile(Host(kFolders[1]) + "/late9_9.map", EncryptTile(TilePng(500, 7)));
            }
        };
        QVERIFY(conversion.Run());
        QCOMPARE(conversion.m_nListings, 3);
        QSet<QString> expected{"late9_9.cbm"}, converted;
        for (const QString& tile : listed)
            if (tile != removed)
                expected.insert(tile.toLower() + ".cbm");
        for (const QString& name : Contents(root, kFolders[1]).keys())
            converted.insert(name.toLower());
        QCOMPARE(converted, expected);
    }

    // Killed at any moment, a second run finishes as a one-thread run would.
    void killedConversionFinishedBySecondRun_data() {
        QTest::addColumn<int>("killAfterMs");
        for (int ms : {2, 15, 40, 80})
            QTest::newRow(qPrintable(QStringLiteral("%1 ms").arg(ms))) << ms;
    }
    void killedConversionFinishedBySecondRun() {
        QFETCH(int, killAfterMs);
        CTestRoot root;
        const QStringList folders(std::begin(kFolders), std::end(kFolders));
        MakeMaps(root, folders);
        QVERIFY(CMapConversion(kFolders[0], 0).Run());

        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0)
            _exit(CMapConversion(kFolders[1], 2).Run() ? 0 : 1);
        QThread::msleep(killAfterMs);
        kill(child, SIGKILL);
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);

        QVERIFY(CMapConversion(kFolders[1], 2).Run());
        const QMap<QString, QByteArray> expected = Contents(root, kFolders[0]);
        QCOMPARE(expected.size(), 13);
        QCOMPARE(Contents(root, kFolders[1]), expected);
    }
};

QTEST_GUILESS_MAIN(TestMapConversion)
#include "test_map_conversion.moc"
