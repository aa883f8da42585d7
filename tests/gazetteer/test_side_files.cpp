// The side files beside an index file: the side index, its making and
// staleness; the map library; a file that shrinks while it is searched.

#include "gazetteer/byte_source.h"
#include "gazetteer/index_search.h"
#include "gazetteer/raw_records.h"
#include "gazetteer/side_index.h"
#include "gazetteer/side_index_worker.h"
#include "platform/file_system.h"
#include "store/installed_maps.h"
#include "test_support.h"

#include <QRandomGenerator>
#include <QTest>

#include <atomic>
#include <fcntl.h>
#include <memory>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\Sidemoor");

// Well-formed records from a few words, some with accents, "!" or a number in
// the extra fields; then 40 names with "quokka" and one more only in extra2.
QByteArray Gazetteer(int records, quint32 seed) {
    static const QList<QByteArray> kWords = QByteArray("oak/elm/mill/high/stra\xdf"
                                                       "e/caf\xe9/m\xfcller/lane/road/!nhs/wood/"
                                                       "strasse/mueller/cafe/st john's")
                                                .split('/');
    QRandomGenerator random(seed);
    QByteArray bytes;
    for (int i = 0; i < records; ++i) {
        QByteArray name = kWords[random.bounded(15)];
        for (int w = int(random.bounded(3)); w >= 0; --w)
            name += QByteArray(" ") + kWords[random.bounded(15)];
        bytes += Rec(name.replace(" !", "!"), random.bounded(4) ? "" : "oak 12",
                     random.bounded(5) ? "" : kWords[random.bounded(15)],
                     int(random.bounded(1, 9999)), 1234);
    }
    for (int i = 0; i < 40; ++i)
        bytes += Rec("quokka lane " + QByteArray::number(i));
    return bytes + Rec("ash", "", "quokka") + Rec("elm", "", "", 5, 5);
}

const QList<QByteArray> kQueries =
    QByteArray(
        "oak/quokka/quokka lane 3/stra\xdf"
        "e/strasse/muller/mueller/cafe/caf\xe9/1234/wood nhs/nhs/e m/zebra/oa/|oak/m\xfcller road")
        .split('/');

// Offsets and names of a result, and its flags.
QStringList Listed(const SearchResult& result) {
    QStringList listed;
    for (const IndexMatch& m : result.matches)
        listed << QString::number(m.offset) + u' ' + m.name;
    return listed << QStringLiteral("more %1 loose %2").arg(result.more).arg(result.loose);
}

std::optional<SearchResult> ViaSideIndex(const QByteArray& idx, const QByteArray& side,
                                         const QByteArray& text, bool loose) {
    CMemorySource idxSource(idx.constData(), size_t(idx.size()));
    CMemorySource sideSource(side.constData(), size_t(side.size()));
    auto hits = std::make_unique<RawHits>();
    if (!SearchWithSideIndex(idxSource, sideSource, text, loose, nullptr, *hits))
        return std::nullopt;
    SearchResult result = DecodeHits(*hits);
    result.loose = loose;
    return result;
}

SearchResult Scan(const QByteArray& idx, const QByteArray& text, bool loose) {
    const auto* data = reinterpret_cast<const unsigned char*>(idx.constData());
    return loose ? LooseSearchIndexBytes(data, size_t(idx.size()), text)
                 : SearchIndexBytes(data, size_t(idx.size()), text);
}

QByteArray SideIndexOf(const QByteArray& idx, int64_t modified = 0) {
    CMemorySource source(idx.constData(), size_t(idx.size()));
    return BuildSideIndex(source, modified).value_or(QByteArray());
}

FileStamp StampOfFile(const QString& devicePath) {
    CFileHandle file = OpenFileForRead(devicePath);
    return StampOf(file.Descriptor()).value_or(FileStamp());
}

} // namespace

class TestSideFiles : public QObject {
    Q_OBJECT

private slots:
    // Exact and loose, the side index answers as the scan does; a text of
    // fewer than three letters or with '|' is left to the scan.
    void sideIndexAnswersAsTheScanDoes() {
        const QByteArray idx = Gazetteer(8000, 7); // more than one window of the scan
        const QByteArray side = SideIndexOf(idx);
        QVERIFY(!side.isEmpty());
        QVERIFY(side.size() < idx.size() * 3 / 2);
        for (const QByteArray& query : kQueries) {
            const QByteArray text = EncodeSearchText(QString::fromLatin1(query));
            for (bool loose : {false, true}) {
                const std::optional<SearchResult> indexed = ViaSideIndex(idx, side, text, loose);
                QVERIFY2(indexed.has_value() == (text.size() >= 3 && !text.contains('|')),
                         query.data());
                if (indexed)
                    QCOMPARE(Listed(*indexed), Listed(Scan(idx, text, loose)));
            }
        }
        // The file's own "more" rule: 40 names, then the text only in extra2.
        const SearchResult quokka = *ViaSideIndex(idx, side, "quokka", false);
        QVERIFY(quokka.matches.size() == 40 && quokka.more);
    }

    // Index files the side index cannot answer for exactly get none.
    void onlyWellFormedIndexFilesGetOne_data() {
        QTest::addColumn<QByteArray>("idx");
        QTest::addColumn<bool>("indexed");
        const QByteArray good = Rec("high road") + Rec("mill lane");
        QTest::newRow("well formed") << good << true;
        QTest::newRow("last without #") << good.chopped(1) << true;
        QTest::newRow("cut short") << good + "|oak|a|b|1" << false;
        QTest::newRow("zero byte") << good + QByteArray(1, '\0') << false;
        QTest::newRow("field begins with #") << good + Rec("oak", "#1") << false;
        QTest::newRow("field of 100 bytes") << good + Rec(QByteArray(100, 'a')) << false;
        QTest::newRow("bytes after a record") << good + "x" << false;
    }
    void onlyWellFormedIndexFilesGetOne() {
        QFETCH(QByteArray, idx);
        QFETCH(bool, indexed);
        QCOMPARE(!SideIndexOf(idx).isEmpty(), indexed);
    }

    // A fresh lying side index (other records, right stamp) loses a match but
    // lists nothing wrong; a stale, cut or foreign one is left for the scan.
    void staleOrLyingSideIndexes_data() {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("lying, fresh: used, checked") << "none" << QStringList();
        QTest::newRow("index file touched") << "touch" << QStringList{"Oak Lane"};
        QTest::newRow("cut short") << "truncate" << QStringList{"Oak Lane"};
        QTest::newRow("not a side index") << "garbage" << QStringList{"Oak Lane"};
    }
    void staleOrLyingSideIndexes() {
        QFETCH(QString, damage);
        QFETCH(QStringList, names);
        CTestRoot root;
        const QString idxPath = kFolder + "\\Streets.idx";
        root.WriteFile("Veldra/Maps/Sidemoor/Streets.idx", Rec("oak lane") + Rec("elm road"));
        QByteArray side =
            SideIndexOf(Rec("elm lane") + Rec("oak road"), StampOfFile(idxPath).modified);
        if (damage == "truncate")
            side.chop(1);
        if (damage == "garbage")
            side[0] = 'X';
        root.WriteFile("Veldra/Maps/Sidemoor/Streets.search", side);
        if (damage == "touch") {
            QFile file(root.Host("Veldra/Maps/Sidemoor/Streets.idx"));
            QVERIFY(file.open(QIODevice::ReadWrite) &&
                    file.setFileTime(QDateTime::currentDateTime().addSecs(-60),
                                     QFileDevice::FileModificationTime));
        }
        QCOMPARE(HasFreshSideIndex(kFolder, "Streets"), damage == "none");
        QStringList found;
        const std::optional<SearchResult> result = SearchIndex(kFolder, "Streets", "oak");
        for (const IndexMatch& m : result->matches)
            found << m.name;
        QCOMPARE(found, names);
    }

    // Made in the background (the search scans meanwhile), never through a
    // planted link; a changed index file is scanned again.
    void madeInTheBackgroundAndDroppedWhenStale() {
        CTestRoot root;
        const QByteArray idx = Gazetteer(40000, 3);
        QVERIFY(idx.size() >= SIDE_INDEX_MIN_BYTES);
        root.WriteFile("Veldra/Maps/Sidemoor/Streets.idx", idx);
        root.WriteFile("outside.txt", "precious");
        QVERIFY(QFile::link(root.Host("outside.txt"),
                            root.Host("Veldra/Maps/Sidemoor/Streets.search")));
        const QStringList expected =
            Listed(*SearchIndex(kFolder, "Streets", "mill", SideFiles::Ignore));
        RequestSideIndexes(kFolder);
        QCOMPARE(Listed(*SearchIndex(kFolder, "Streets", "mill")), expected);
        WaitForSideIndexes();
        QVERIFY(!SideIndexProgress(kFolder).has_value());
        QVERIFY(HasFreshSideIndex(kFolder, "Streets"));
        QCOMPARE(root.ReadFile("outside.txt"), QByteArray("precious"));
        QCOMPARE(Listed(*SearchIndex(kFolder, "Streets", "mill")), expected);

        root.WriteFile("Veldra/Maps/Sidemoor/Streets.idx", idx + Rec("zebra crossing"));
        QVERIFY(!HasFreshSideIndex(kFolder, "Streets"));
        QCOMPARE(SearchIndex(kFolder, "Streets", "zebra")->matches.size(), size_t(1));
        RequestSideIndexes(kFolder);
        WaitForSideIndexes();
        QVERIFY(HasFreshSideIndex(kFolder, "Streets"));
    }

    // The map library counts the side files in a map's size and deletes them.
    void mapLibraryCountsAndDeletesThem() {
        CTestRoot root;
        root.WriteFile("Veldra/Maps/Sidemoor/Streets.idx", Rec("oak lane"));
        QVERIFY(WriteSideIndex(kFolder, "Streets"));
        root.WriteFile("Veldra/Maps/Sidemoor/Streets.names", QByteArray(7, 'n'));
        RegisterMap("Sidemoor", kFolder);
        const qint64 side = QFileInfo(root.Host("Veldra/Maps/Sidemoor/Streets.search")).size();
        QCOMPARE(qint64(GetFolderSize(kFolder)), Rec("oak lane").size() + side + 7);
        QVERIFY(DeleteInstalledMap("Sidemoor", kFolder));
        QVERIFY(!root.Exists("Veldra/Maps/Sidemoor"));
    }

    // An index file cut and rewritten over and over while it is searched: the
    // process (a child) never dies of reading past the new end.
    void fileShrinkingUnderTheSearchNeverKills() {
        CTestRoot root;
        QByteArray bytes = QByteArray(16 << 20, '#') + Rec("zephyr quay");
        root.WriteFile("Veldra/Maps/Sidemoor/Streets.idx", bytes);
        const pid_t child = fork();
        if (child == 0) {
            const int fd =
                ::open(QFile::encodeName(root.Host("Veldra/Maps/Sidemoor/Streets.idx")), O_WRONLY);
            std::atomic<bool> stop{false};
            std::thread rewriter([&] {
                while (!stop) {
                    if (::ftruncate(fd, 64) != 0 ||
                        ::pwrite(fd, bytes.constData(), size_t(bytes.size()), 0) != bytes.size())
                        _exit(3);
                }
            });
            bool sane = true;
            for (int i = 0; i < 150; ++i) {
                const std::optional<SearchResult> r =
                    SearchIndex(kFolder, "Streets", "zephyr", SideFiles::Ignore);
                sane = sane && r && r->matches.size() <= 1;
            }
            stop = true;
            rewriter.join();
            _exit(sane ? 0 : 2);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY2(WIFEXITED(status), qPrintable(QStringLiteral("signal %1").arg(WTERMSIG(status))));
        QCOMPARE(WEXITSTATUS(status), 0);
    }
};

QTEST_GUILESS_MAIN(TestSideFiles)
#include "test_side_files.moc"
