#include "gazetteer/index_search.h"
#include "platform/file_system.h"
#include "test_support.h"

#include <QRandomGenerator>
#include <QTest>

#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace {

const QString kMapFolder = QStringLiteral("\\Veldra\\Maps\\Testmoor");

QByteArray Rec(const QByteArray& name, const QByteArray& e1 = "", const QByteArray& e2 = "",
               const QByteArray& x = "10", const QByteArray& y = "20") {
    return "|" + name + "|" + e1 + "|" + e2 + "|" + x + "|" + y + "|#";
}

QStringList Names(const SearchResult& result) {
    QStringList names;
    for (const IndexMatch& m : result.matches)
        names << m.name;
    return names;
}

// Runs the byte search on a copy of bytes placed once right before an
// inaccessible page and once right after one, so that a read past either end
// of the data faults. Both placements must give the same result.
SearchResult GuardedSearch(const QByteArray& bytes, const QByteArray& text) {
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const size_t size = size_t(bytes.size());
    const size_t body = (size / page + 1) * page;
    auto* base = static_cast<unsigned char*>(
        mmap(nullptr, body + 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base == MAP_FAILED)
        qFatal("mmap failed");
    mprotect(base, page, PROT_NONE);
    mprotect(base + page + body, page, PROT_NONE);
    // Bytes around the data that a scan running past its ends would match.
    const QByteArray bait = Rec(text + "bait");
    for (size_t i = 0; i < body; ++i)
        base[page + i] = uint8_t(bait[qsizetype(i % size_t(bait.size()))]);

    unsigned char* atEnd = base + page + body - size;
    memcpy(atEnd, bytes.constData(), size);
    const SearchResult first = SearchIndexBytes(atEnd, size, text);
    memcpy(base + page, bytes.constData(), size);
    const SearchResult second = SearchIndexBytes(base + page, size, text);
    munmap(base, body + 2 * page);

    if (Names(first) != Names(second) || first.more != second.more)
        qFatal("placements differ");
    return first;
}

} // namespace

class TestIndexSearch : public QObject {
    Q_OBJECT

private slots:
    void makeDisplayName_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("words") << "high street"
                               << "High Street";
        QTest::newRow("capitals run") << "st john's wood!nhs centre"
                                      << "St John's Wood NHS Centre";
        QTest::newRow("leading run") << "!bbc centre"
                                     << "BBC Centre";
        QTest::newRow("hyphens") << "stoke-on-trent"
                                 << "Stoke-on-trent";
        QTest::newRow("apostrophe") << "o'neill road"
                                    << "O'neill Road";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("accented") << QString::fromUtf8("élan vital")
                                  << QString::fromUtf8("Élan Vital");
    }
    void makeDisplayName() {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        QCOMPARE(MakeDisplayName(stored), shown);
    }

    void prepareText_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("spaces and capitals") << "  High STREET  " << QByteArray("high street");
        QTest::newRow("tab kept") << "\tab" << QByteArray("\tab");
        QTest::newRow("inner spaces kept") << "a  b" << QByteArray("a  b");
        QTest::newRow("code page") << QString::fromUtf8("CAFÉ €") << QByteArray("caf\xe9 \x80");
        QTest::newRow("missing from code page")
            << QString::fromUtf8("x\u4e2d") << QByteArray("x\x1a");
        QTest::newRow("zero ends") << QString::fromUtf8("ab\0cd", 5) << QByteArray("ab");
        QTest::newRow("cut to 99") << QString(150, u'q') << QByteArray(99, 'q');
        QTest::newRow("spaces only") << "    " << QByteArray();
    }
    void prepareText() {
        QFETCH(QString, typed);
        QFETCH(QByteArray, bytes);
        QCOMPARE(EncodeSearchText(typed), bytes);
    }

    // Searches through the file layer, in a small index of streets.
    void search_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("names");
        const QStringList all = {"High Street",    "Church Road", "St John's Wood NHS Centre",
                                 "Stanley Street", "Road End",    QString::fromUtf8("Café Row")};
        QTest::newRow("anywhere, file order") << "st" << QStringList{all[0], all[2], all[3]};
        QTest::newRow("capitals, spaces") << "  HIGH Street " << QStringList{all[0]};
        QTest::newRow("two spaces") << "high  street" << QStringList{};
        QTest::newRow("space for !") << "wood nhs" << QStringList{};
        QTest::newRow("capitalised word") << "nhs" << QStringList{all[2]};
        QTest::newRow("extra1 only") << "highgate" << QStringList{};
        QTest::newRow("extra2 only") << "eastfield" << QStringList{};
        QTest::newRow("x or y only") << "4242" << QStringList{};
        QTest::newRow("bar first") << "|st" << QStringList{all[2], all[3]};
        QTest::newRow("bar last") << "street|" << QStringList{all[0], all[3]};
        QTest::newRow("bar alone") << "|" << all;
        QTest::newRow("code page") << QString::fromUtf8("CAFÉ") << QStringList{all[5]};
        QTest::newRow("name twice") << "e" << QStringList{all[0], all[2], all[3], all[4]};
    }
    void search() {
        QFETCH(QString, typed);
        QFETCH(QStringList, names);
        CTestRoot root;
        root.WriteFile("Veldra/Maps/Testmoor/Streets.idx",
                       Rec("high street", "hs1 1aa", "north") + Rec("church road", "highgate") +
                           Rec("st john's wood!nhs centre", "", "eastfield") +
                           Rec("stanley street", "", "", "4242", "4242") + Rec("road end") +
                           Rec("caf\xe9 row", "\x80"
                                              "5"));
        const std::optional<SearchResult> result = SearchIndex(kMapFolder, "Streets", typed);
        QVERIFY(result.has_value());
        QCOMPARE(Names(*result), names);
        QVERIFY(!result->more);
    }

    void fields_data() {
        QTest::addColumn<QByteArray>("x");
        QTest::addColumn<int>("value");
        QTest::newRow("plain") << QByteArray("5120") << 5120;
        QTest::newRow("negative") << QByteArray("-77") << -77;
        QTest::newRow("space and sign") << QByteArray(" \t+31") << 31;
        QTest::newRow("stops at letter") << QByteArray("12ab") << 12;
        QTest::newRow("no digits") << QByteArray("ab") << 0;
        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("too large") << QByteArray("99999999999") << 2147483647;
        QTest::newRow("too small") << QByteArray("-99999999999") << -2147483647 - 1;
    }
    void fields() {
        QFETCH(QByteArray, x);
        QFETCH(int, value);
        const SearchResult r =
            GuardedSearch(Rec("mill lane", "ml1 \x80", "the vale", x, "640"), "mill");
        QCOMPARE(r.matches.size(), size_t(1));
        QCOMPARE(r.matches[0].extra1, QString::fromUtf8("ml1 €"));
        QCOMPARE(r.matches[0].extra2, QString("the vale"));
        QCOMPARE(r.matches[0].x, value);
        QCOMPARE(r.matches[0].y, 640);
    }

    void limit_data() {
        QTest::addColumn<int>("names");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<int>("listed");
        QTest::addColumn<bool>("more");
        QTest::newRow("40, nothing after") << 40 << QByteArray() << 40 << false;
        QTest::newRow("40, in extra2 after") << 40 << Rec("other", "", "oak") << 40 << true;
        QTest::newRow("40, in y after") << 40 << Rec("lime", "", "", "1", "oak") << 40 << true;
        QTest::newRow("41") << 41 << QByteArray() << 40 << true;
        QTest::newRow("40, zero, one after")
            << 40 << QByteArray(1, '\0') + Rec("oak") << 40 << false;
        QTest::newRow("39, one after") << 39 << Rec("other", "oak") << 39 << false;
    }
    void limit() {
        QFETCH(int, names);
        QFETCH(QByteArray, after);
        QFETCH(int, listed);
        QFETCH(bool, more);
        QByteArray bytes = Rec("elm");
        for (int i = 0; i < names; ++i)
            bytes += Rec("oak " + QByteArray::number(i), "", "", QByteArray::number(i + 1));
        CTestRoot root;
        root.WriteFile("Veldra/Maps/Testmoor/Trees.idx", bytes + Rec("ash") + after);
        const std::optional<SearchResult> r = SearchIndex(kMapFolder, "Trees", "oak");
        QVERIFY(r.has_value());
        QCOMPARE(int(r->matches.size()), listed);
        QCOMPARE(r->more, more);
        QCOMPARE(r->matches.back().x, listed);
    }

    void noSearchAndEmptyResults() {
        CTestRoot root;
        root.WriteFile("Veldra/Maps/Testmoor/Empty.idx", "");
        root.WriteFile("Veldra/Maps/Testmoor/Solo.idx", "|solo road|||5|6|");
        QVERIFY(!SearchIndex(kMapFolder, "Solo", "").has_value());
        QVERIFY(!SearchIndex(kMapFolder, "Solo", "   ").has_value());
        for (const char* category : {"Empty", "Missing"}) {
            const std::optional<SearchResult> r = SearchIndex(kMapFolder, category, "solo");
            QVERIFY(r.has_value());
            QVERIFY(r->matches.empty() && !r->more);
        }
        const std::optional<SearchResult> solo = SearchIndex(kMapFolder, "Solo", "solo");
        QCOMPARE(Names(*solo), QStringList{"Solo Road"});
        QCOMPARE(QPoint(solo->matches[0].x, solo->matches[0].y), QPoint(5, 6));
    }

    void categories() {
        CTestRoot root;
        for (const char* name : {"Towns.idx", "streets.idx", "Streets.idx", "Airports.IDX",
                                 "Stations.idx", "notes.txt", "Streets.idx.bak"})
            root.WriteFile(QString("Veldra/Maps/Testmoor/") + name, Rec("x"));
        root.MakeDir("Veldra/Maps/Testmoor/Folder.idx");
        const QStringList categories = ListCategories(kMapFolder);
        QCOMPARE(categories.value(0), QString("Streets"));
        // The others keep the order of the listing.
        QStringList listed;
        for (const FindData& f : FindFiles(kMapFolder + "/*.idx"))
            if (!f.isDirectory && f.name != "Streets.idx")
                listed << f.name.left(f.name.lastIndexOf('.'));
        QCOMPARE(categories.mid(1), listed);
        QCOMPARE(listed.size(), 4);
        QVERIFY(ListCategories("\\Veldra\\Maps\\Nowhere").isEmpty());
    }

    void malformed_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("names");
        const QStringList one = {"High Road"};
        const QByteArray good = Rec("high road");
        QTest::newRow("cut in y") << good + "|high street|a|b|1|2" << one;
        QTest::newRow("cut in name") << good + "|high str" << one;
        QTest::newRow("zero between") << good + QByteArray(1, '\0') + Rec("high street") << one;
        QTest::newRow("zero in name") << good + Rec(QByteArray("high s\0treet", 12)) << one;
        QTest::newRow("zero in extra") << good + Rec("high street", QByteArray("a\0", 2)) << one;
        QTest::newRow("zero first") << QByteArray(1, '\0') + good << QStringList{};
        QTest::newRow("no hash") << QByteArray("|high road|||1|2||high street|||3|4|") << one;
        QTest::newRow("no bar before") << "high road|||1|2|#" + good << QStringList{};
        QTest::newRow("extra bars")
            << "|high road|a|b|1|2|3|4|#" + Rec("high way") << QStringList{"High Road", "High Way"};
        QTest::newRow("hash only") << QByteArray("#|#high|#") << QStringList{};
    }
    void malformed() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, names);
        const SearchResult r = GuardedSearch(bytes, "high");
        QCOMPARE(Names(r), names);
        QVERIFY(!r.more);
    }

    void hugeFieldsAreCut() {
        const QByteArray longName = "high " + QByteArray(5000, 'w');
        const SearchResult r = GuardedSearch(
            Rec(longName, QByteArray(300, 'e'), "", " " + QByteArray(200, '7')), "high");
        QCOMPARE(r.matches.size(), size_t(1));
        QCOMPARE(r.matches[0].name, MakeDisplayName(QString::fromLatin1(longName.left(99))));
        QCOMPARE(r.matches[0].extra1, QString(99, u'e'));
        QCOMPARE(r.matches[0].x, 2147483647); // 98 sevens are still a number
    }

    // Random bytes with pieces of records: never a fault, and every result
    // within the limits.
    void binaryNoise() {
        QRandomGenerator random(1234);
        const QByteArray pieces[] = {"|", "#", "|#", "ab", Rec("abba"), QByteArray(1, '\0')};
        for (int round = 0; round < 300; ++round) {
            QByteArray bytes;
            const int count = int(random.bounded(1, 400));
            for (int i = 0; i < count; ++i) {
                if (random.bounded(3) == 0)
                    bytes += pieces[random.bounded(6)];
                else
                    bytes += char(random.bounded(256));
            }
            const SearchResult r = GuardedSearch(bytes, random.bounded(2) ? "ab" : "|");
            QVERIFY(r.matches.size() <= size_t(MAX_MATCHES));
            QVERIFY(!r.more || r.matches.size() == size_t(MAX_MATCHES));
            for (const IndexMatch& m : r.matches)
                QVERIFY(m.name.size() <= 99 && m.extra1.size() <= 99 && m.extra2.size() <= 99);
        }
    }

    // An occurrence at each offset around the end of the byte search's first
    // window (128 KiB), and a zero byte inside the record found.
    void occurrencesAcrossLongRuns() {
        const QByteArray filler = Rec("filler lane", "fl1 1aa", "the moor", "123", "456");
        for (int shift = -12; shift < 12; ++shift) {
            // The name's first letter lands at 128 KiB + shift.
            const qsizetype rare = 131072 - 1 + shift;
            QByteArray bytes;
            while (bytes.size() + filler.size() <= rare)
                bytes += filler;
            bytes += QByteArray(rare - bytes.size(), '#');
            bytes += Rec("zebra crossing", "", "", "7", "8");
            for (int i = 0; i < 3000; ++i)
                bytes += filler;
            bytes += Rec("zebra park", "", "", "9", "10");
            SearchResult r = GuardedSearch(bytes, "zebra");
            QCOMPARE(Names(r), (QStringList{"Zebra Crossing", "Zebra Park"}));
            // A zero byte inside the first record found ends the file there.
            bytes[rare + 3] = '\0';
            r = GuardedSearch(bytes, "zebra");
            QVERIFY(r.matches.empty());
        }
    }

    // A large file is searched in place through the mapping.
    void largeFile() {
        const QByteArray filler = Rec("quarry road", "qr1", "stone hill", "31", "41");
        QByteArray bytes;
        bytes.reserve(12 << 20);
        for (int i = 0; bytes.size() < (12 << 20); ++i)
            bytes += Rec("quarry lane " + QByteArray::number(i), "", "", QByteArray::number(i + 1));
        bytes += Rec("lonely wharf", "lw9 9zz", "docks", "8191", "4095") + filler;
        CTestRoot root;
        root.WriteFile("Veldra/Maps/Testmoor/Streets.idx", bytes);
        const std::optional<SearchResult> rare = SearchIndex(kMapFolder, "Streets", "LONELY");
        QCOMPARE(Names(*rare), QStringList{"Lonely Wharf"});
        QCOMPARE(rare->matches[0].extra1, QString("lw9 9zz"));
        QCOMPARE(QPoint(rare->matches[0].x, rare->matches[0].y), QPoint(8191, 4095));
        const std::optional<SearchResult> common = SearchIndex(kMapFolder, "Streets", "qu");
        QCOMPARE(common->matches.size(), size_t(MAX_MATCHES));
        QVERIFY(common->more);
        QCOMPARE(common->matches[39].name, QString("Quarry Lane 39"));
    }
};

QTEST_GUILESS_MAIN(TestIndexSearch)
#include "test_index_search.moc"
