#include "gazetteer/index_names.h"
#include "gazetteer/index_search.h"
#include "gazetteer/index_writer.h"
#include "platform/file_system.h"
#include "test_support.h"

#include <QTest>

#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace {

const QString kMapFolder = QStringLiteral("\\Veldra\\Maps\\Testmoor");

QStringList Names(const SearchResult& result) {
    QStringList names;
    for (const IndexMatch& m : result.matches)
        names << m.name;
    return names;
}

// The byte search on bytes placed right before and right after an
// inaccessible page (a read past either end faults); both must agree.
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
    // A leading "!", a hyphen, nothing (the rest: the search rows).
    void makeDisplayName() {
        const std::pair<QString, QString> examples[] = {
            {"!bbc centre", "BBC Centre"}, {"stoke-on-trent", "Stoke-on-trent"}, {"", ""}};
        for (const auto& [stored, shown] : examples)
            QCOMPARE(MakeDisplayName(stored), shown);
    }

    // The typed text loses outer spaces only, goes to lower-case Windows-1252,
    // ends at a zero character and is cut to 99 bytes.
    void search_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("names");
        const QStringList all = {
            "High Street",          "Church Road", "St John's Wood NHS Centre",
            "Stanley Street",       "Road End",    QString::fromUtf8("Café Row"),
            "Q" + QString(98, u'q')};
        QTest::newRow("anywhere, file order") << "st" << QStringList{all[0], all[2], all[3]};
        QTest::newRow("capitals, spaces") << "  HIGH Street " << QStringList{all[0]};
        QTest::newRow("two spaces") << "high  street" << QStringList{};
        QTest::newRow("tab kept") << "\thigh" << QStringList{};
        QTest::newRow("zero ends") << QString::fromUtf8("high\0zzz", 8) << QStringList{all[0]};
        QTest::newRow("cut to 99") << QString(150, u'q') << QStringList{all[6]};
        QTest::newRow("space for !") << "wood nhs" << QStringList{};
        QTest::newRow("capitalised word") << "nhs" << QStringList{all[2]};
        QTest::newRow("in other fields only") << "42" << QStringList{};
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
                       Rec("high street", "hs1 1aa", "north") + Rec("church road", "n42") +
                           Rec("st john's wood!nhs centre", "", "42 east") +
                           Rec("stanley street", "", "", "4242", "4242") + Rec("road end") +
                           Rec("caf\xe9 row", "\x80") + Rec(QByteArray(120, 'q')));
        const std::optional<SearchResult> result = SearchIndex(kMapFolder, "Streets", typed);
        QVERIFY(result.has_value());
        QCOMPARE(Names(*result), names);
        QVERIFY(!result->more);
    }

    // Fields as stored (Windows-1252); x by the C library's decimal rules
    // (saturation: hugeFieldsAreCut).
    void fields_data() {
        QTest::addColumn<QByteArray>("x");
        QTest::addColumn<int>("value");
        QTest::newRow("negative") << QByteArray("-77") << -77;
        QTest::newRow("space and sign") << QByteArray(" \t+31") << 31;
        QTest::newRow("stops at letter") << QByteArray("12ab") << 12;
        QTest::newRow("no digits") << QByteArray("ab") << 0;
        QTest::newRow("empty") << QByteArray() << 0;
    }
    void fields() {
        QFETCH(QByteArray, x);
        QFETCH(int, value);
        const SearchResult r =
            GuardedSearch(Rec("mill lane", "ml1 \x80", "the vale", x, "640"), "mill");
        QCOMPARE(r.matches.size(), size_t(1));
        QCOMPARE(r.matches[0].extra1, QString::fromUtf8("ml1 €"));
        QCOMPARE(r.matches[0].extra2, QString("the vale"));
        QCOMPARE(QPoint(r.matches[0].x, r.matches[0].y), QPoint(value, 640));
    }

    // At most 40 matches; "more" when the text occurs again after the 40th.
    void limit_data() {
        QTest::addColumn<int>("names");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<bool>("more");
        QTest::newRow("40, nothing after") << 40 << QByteArray() << false;
        QTest::newRow("40, in extra2 after") << 40 << Rec("other", "", "oak") << true;
        QTest::newRow("41") << 41 << QByteArray() << true;
        QTest::newRow("40, zero, one after") << 40 << QByteArray(1, '\0') + Rec("oak") << false;
    }
    void limit() {
        QFETCH(int, names);
        QFETCH(QByteArray, after);
        QFETCH(bool, more);
        QByteArray bytes = Rec("elm");
        for (int i = 0; i < names; ++i)
            bytes += Rec("oak " + QByteArray::number(i), "", "", QByteArray::number(i + 1));
        CTestRoot root;
        root.WriteFile("Veldra/Maps/Testmoor/Trees.idx", bytes + Rec("ash") + after);
        const std::optional<SearchResult> r = SearchIndex(kMapFolder, "Trees", "oak");
        QVERIFY(r.has_value());
        QCOMPARE(int(r->matches.size()), 40);
        QCOMPARE(r->more, more);
        QCOMPARE(r->matches.back().x, 40);
    }

    // A blank text makes no search; an empty or missing file finds nothing.
    void noSearchAndEmptyResults() {
        CTestRoot root;
        root.WriteFile("Veldra/Maps/Testmoor/Empty.idx", "");
        for (const char* category : {"Empty", "Missing"}) {
            QVERIFY(!SearchIndex(kMapFolder, category, "").has_value());
            QVERIFY(!SearchIndex(kMapFolder, category, "   ").has_value());
            const std::optional<SearchResult> r = SearchIndex(kMapFolder, category, "solo");
            QVERIFY(r.has_value() && r->matches.empty() && !r->more);
        }
    }

    // "Streets" (that spelling only) first, the others in listing order.
    void categories() {
        CTestRoot root;
        for (const char* name : {"Towns.idx", "streets.idx", "Streets.idx", "Airports.IDX",
                                 "Stations.idx", "notes.txt", "Streets.idx.bak"})
            root.WriteFile(QString("Veldra/Maps/Testmoor/") + name, Rec("x"));
        root.MakeDir("Veldra/Maps/Testmoor/Folder.idx");
        const QStringList categories = ListCategories(kMapFolder);
        QCOMPARE(categories.value(0), QString("Streets"));
        QStringList listed;
        for (const FindData& f : FindFiles(kMapFolder + "/*.idx"))
            if (!f.isDirectory && f.name != "Streets.idx")
                listed << f.name.left(f.name.lastIndexOf('.'));
        QCOMPARE(categories.mid(1), listed);
        QCOMPARE(listed.size(), 4);
        QVERIFY(ListCategories("\\Veldra\\Maps\\Nowhere").isEmpty());
    }

    // A record cut short by the end (last byte or first zero) is not listed.
    void malformed_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("names");
        const QStringList one = {"High Road"};
        const QByteArray good = Rec("high road");
        QTest::newRow("cut in y") << good + "|high street|a|b|1|2" << one;
        QTest::newRow("cut in name") << good + "|high str" << one;
        QTest::newRow("zero between") << good + QByteArray(1, '\0') + Rec("high street") << one;
        QTest::newRow("zero in name") << good + Rec(QByteArray("high s\0treet", 12)) << one;
        QTest::newRow("one record, no final #") << QByteArray("|high road|||1|2|") << one;
        QTest::newRow("no hash") << QByteArray("|high road|||1|2||high street|||3|4|") << one;
        QTest::newRow("no bar before") << "high road|||1|2|#" + good << QStringList{};
        QTest::newRow("bar at the end") << good + "|" << one;
        QTest::newRow("hash only") << QByteArray("#|#high|#") << QStringList{};
    }
    void malformed() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, names);
        const SearchResult r = GuardedSearch(bytes, "high");
        QCOMPARE(Names(r), names);
        QVERIFY(!r.more);
        GuardedSearch(bytes, "|"); // a one-byte text reaches the last byte: no fault
    }

    // Fields longer than 99 bytes are cut to their first 99.
    void hugeFieldsAreCut() {
        const QByteArray longName = "high " + QByteArray(5000, 'w');
        const SearchResult r = GuardedSearch(
            Rec(longName, QByteArray(300, 'e'), "", " " + QByteArray(200, '7')), "high");
        QCOMPARE(r.matches.size(), size_t(1));
        QCOMPARE(r.matches[0].name, MakeDisplayName(QString::fromLatin1(longName.left(99))));
        QCOMPARE(r.matches[0].extra1, QString(99, u'e'));
        QCOMPARE(r.matches[0].x, 2147483647); // 98 sevens are still a number
    }

    // Real names stored as the packaging tool stores them are found as people
    // type them: exactly in any case, else by the looser pass; and shown as
    // written. "Rupert Road" must never come up.
    void realNamesAreFoundAsTyped_data() {
        QTest::addColumn<QString>("real");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("pass"); // 0: nothing found, 1: exact, 2: loose
        const std::tuple<const char*, const char*, int> rows[] = {
            {"Łódź Avenue", "ŁÓDŹ", 1},
            {"Łódź Avenue", "lodz", 2},
            {"Goethestraße", "STRASSE", 2},
            {"Goethestraße", "goethestraße", 1},
            {"Café Nero", "cafe", 2},
            {"Müller Weg", "muller", 2},
            {"Müller Weg", "Mueller", 2},
            {"Müller Weg", "MÜLLER", 1},
            {"Ærøskøbing", "aeroskobing", 2},
            {"Şişli", "ŞİŞLİ", 1},
            {"Dvořák Street", "Dvořák", 1},
            {"Dvořák Street", "dvorak", 2},
            {"Cœur Défense", "coeur defense", 2},
            {"Þingvellir", "thingvellir", 2},
            {"Αθήνα Station", "Αθήνα", 0},
            {"Mill Lane", "rue", 0},
            {"St John's Wood NHS Centre", "wood nhs", 2},
            {"Richard-Wagner-Straße", "wagner", 1}};
        for (const auto& [real, typed, pass] : rows)
            QTest::addRow("%s / %s", real, typed)
                << QString::fromUtf8(real) << QString::fromUtf8(typed) << pass;
    }
    void realNamesAreFoundAsTyped() {
        QFETCH(QString, real);
        QFETCH(QString, typed);
        QFETCH(int, pass);
        CTestRoot root;
        QByteArray bytes, record;
        QString error;
        std::vector<QString> spellings;
        for (const QString& name : {QStringLiteral("Rupert Road"), real}) {
            QVERIFY(EncodeIndexRecord({IndexText(name), "", "", 10, 20}, QSize(), record, error));
            bytes += record;
            spellings.push_back(IndexSpelling(name));
        }
        root.WriteFile("Veldra/Maps/Testmoor/Streets.idx", bytes);
        QVERIFY2(WriteIndexSideFiles(kMapFolder, "Streets", spellings, error), qPrintable(error));
        for (SideFiles side : {SideFiles::Use, SideFiles::Ignore}) {
            const std::optional<SearchResult> r =
                SearchIndexThenLoose(kMapFolder, "Streets", typed, side);
            QVERIFY(r.has_value());
            QCOMPARE(Names(*r).size(), pass ? 1 : 0);
            QCOMPARE(r->loose, pass != 1);
            if (pass && side == SideFiles::Use)
                QCOMPARE(r->matches[0].name, real);
        }
    }

    // The record writer's bytes, read back field for field by the search.
    void writerRoundTrip() {
        QByteArray bytes, record;
        QString error;
        const IndexRecord records[] = {{"St John's Wood NHS Centre", "NW8 €5", "north", 7, 9},
                                       {"!bbc centre", "", "", 1, 2}};
        for (const IndexRecord& r : records) {
            QVERIFY(EncodeIndexRecord(r, QSize(), record, error));
            bytes += record;
        }
        QCOMPARE(bytes, QByteArray("|st john's wood!nhs centre|NW8 \x80"
                                   "5|north|7|9|#"
                                   "|!bbc centre|||1|2|#"));
        const SearchResult back = GuardedSearch(bytes, "|");
        QCOMPARE(Names(back), (QStringList{"St John's Wood NHS Centre", "BBC Centre"}));
        QCOMPARE(back.matches[0].extra1 + back.matches[0].extra2, QString("NW8 €5north"));
        QCOMPARE(QPoint(back.matches[1].x, back.matches[1].y), QPoint(1, 2));
    }

    // A name starting at each offset around the end of the first 128 KiB
    // window, one two windows on, and a zero byte inside the first.
    void occurrencesAcrossWindows() {
        for (int shift = -12; shift < 12; ++shift) {
            QByteArray bytes = QByteArray(131072 - 1 + shift, '#') + Rec("zebra crossing") +
                               QByteArray(300000, '#') + Rec("zebra park");
            QCOMPARE(Names(GuardedSearch(bytes, "zebra")),
                     (QStringList{"Zebra Crossing", "Zebra Park"}));
            bytes[131072 + 2 + shift] = '\0'; // the file ends there
            QVERIFY(GuardedSearch(bytes, "zebra").matches.empty());
        }
    }
};

QTEST_GUILESS_MAIN(TestIndexSearch)
#include "test_index_search.moc"
