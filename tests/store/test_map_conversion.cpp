// The conversion engine against the one-tile-at-a-time rules, under parallel
// work, files that vanish and a kill at any moment.

#include "platform/file_system.h"
#include "store/map_conversion.h"
#include "store/tile_cache.h"
#include "test_support.h"

#include <QThread>
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

// What the conversion did before it listed the folder only once: convert the
// first listed .map, list again, until none is left or a tile fails.
bool ConvertTileByTile(const QString& folder) {
    TileCache cache;
    for (;;) {
        FindData entry;
        if (!CFindFile().FindFirst(JoinDevicePath(folder, "*.map"), entry))
            return true;
        const QString tile = entry.name.left(entry.name.indexOf(u'.'));
        QImage bitmap;
        if (!cache.DecodeTile(folder, tile, bitmap) ||
            !WriteCompressedTile(folder, tile, bitmap) ||
            !cache.DeleteTileSources(folder, tile) ||
            FileExists(JoinDevicePath(folder, entry.name)))
            return false;
    }
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

// A map of 13 tiles in the given folders, the same in each, written in the
// same order, so that each folder lists its files in the same order; with
// twin, a 14th file names the first tile again in capitals.
void MakeMaps(const CTestRoot& root, const QStringList& folders, bool twin = false) {
    for (int i = 0; i < 13 + twin; ++i) {
        const QString name = i == 13 ? QStringLiteral("MAP1_1.MAP")
                                     : QStringLiteral("map%1_%2.map").arg(i / 4 + 1).arg(i % 4 + 1);
        for (const QString& folder : folders)
            QVERIFY(root.WriteFile(Host(folder) + u'/' + name,
                                   EncryptTile(TilePng(500, qRgb(i * 18, 90, 200)))));
    }
}

} // namespace

class TestMapConversion : public QObject {
    Q_OBJECT

private slots:
    // Leftover .tmp files of mixed ages (20, so a fresh decryption prunes the
    // four oldest), tiles whose names differ only in letter case, and a bad
    // tile in the middle: the same files, the same prune and the same failure
    // point as tile by tile; then the mended map finishes the same way too.
    void sameOutcomeAsTileByTile_data() {
        QTest::addColumn<int>("workers");
        QTest::newRow("on the calling thread") << 0;
        QTest::newRow("two workers") << 2;
        QTest::newRow("five workers") << 5;
    }
    void sameOutcomeAsTileByTile() {
        QFETCH(int, workers);
        CTestRoot root;
        const QStringList folders(std::begin(kFolders), std::end(kFolders));
        MakeMaps(root, folders, true);
        const QStringList order = MapOrder(kFolders[0]);
        QCOMPARE(MapOrder(kFolders[1]), order);

        // Roles, away from the case twins. The oldest .tmp is corrupt: pruned
        // before its tile's turn, the tile converts from its .map. Another tile
        // has a young .tmp of another picture, which is used as it is. A later
        // tile cannot be decoded.
        QStringList plain = order;
        plain.removeIf([](const QString& tile) { return tile.toLower() == "map1_1"; });
        const QString corruptTmp = plain[3], youngTmp = plain[5], bad = plain[8];
        int64_t time = 0;
        const QByteArray corrupt(3000, '\x42');
        QVERIFY(WriteInTurn(root, folders, corruptTmp + ".TMP", corrupt, time));
        for (int i = 0; i < 18; ++i)
            QVERIFY(WriteInTurn(root, folders, QStringLiteral("old%1.tmp").arg((i * 7) % 18),
                                "orphan", time));
        QVERIFY(WriteInTurn(root, folders, youngTmp + ".tmp", TilePng(500, qRgb(1, 2, 3)), time));
        QVERIFY(WriteInTurn(root, folders, bad + ".map", EncryptTile(corrupt), time));

        // The run stops at the bad tile, or first at a case twin: once one of
        // the twins is converted the other counts as its .map left behind.
        // The bad tile mended, the third run finishes.
        for (int run = 1; run <= 3; ++run) {
            if (run == 3) {
                for (const QString& folder : folders) {
                    QVERIFY(QFile::remove(root.Host(Host(folder) + u'/' + bad + ".tmp")));
                    QVERIFY(root.WriteFile(Host(folder) + u'/' + bad + ".map",
                                           EncryptTile(TilePng(500, qRgb(5, 5, 5)))));
                }
            }
            const bool done = ConvertTileByTile(kFolders[0]);
            QCOMPARE(done, run == 3);
            CMapConversion conversion(kFolders[1], workers);
            int converted = 0;
            conversion.m_onProgress = [&](int n) { QCOMPARE(n, ++converted); };
            QCOMPARE(conversion.Run(), done);
            QCOMPARE(conversion.m_nListings, done ? 2 : 1);
            const QMap<QString, QByteArray> expected = Contents(root, kFolders[0]);
            QCOMPARE(Contents(root, kFolders[1]), expected);
            const QStringList temps = expected.keys().filter(".tmp", Qt::CaseInsensitive);
            QCOMPARE(temps.size(), run == 1 ? 15 : 16 - done);
            QVERIFY(!temps.contains(youngTmp + ".tmp") &&
                    temps.contains(bad + ".tmp") == (run == 2));
        }
    }

    // A tile removed by another process during the run is skipped; one that
    // appears is converted after the listed ones.
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

    // Links planted where a tile's side files go are removed, never written
    // through, and every written file is flushed to disk.
    void plantedLinksAreNotFollowed() {
        CTestRoot root;
        QTemporaryDir outside;
        MakeMaps(root, {kFolders[1]});
        const QString tile = MapOrder(kFolders[1]).at(0);
        for (const QString ext : {".tmp.part", ".cbm.part"}) {
            QFile file(outside.filePath(ext));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("outside") == 7);
            QVERIFY(QFile::link(file.fileName(), root.Host(Host(kFolders[1]) + u'/' + tile + ext)));
        }
        const uint64_t syncs = DiskSyncCount();
        CMapConversion conversion(kFolders[1], 2);
        QVERIFY(conversion.Run());
        for (const QString ext : {".tmp.part", ".cbm.part"})
            QCOMPARE(QFile(outside.filePath(ext)).size(), qint64(7));
        const QFileInfo cbm(root.Host(Host(kFolders[1]) + u'/' + tile + ".cbm"));
        QVERIFY(cbm.isFile() && !cbm.isSymLink());
        QVERIFY(DiskSyncCount() >= syncs + 2);
    }

    // Killed at any moment, a parallel conversion leaves a folder that a
    // second run finishes with the files a one-thread run writes, byte for byte.
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
