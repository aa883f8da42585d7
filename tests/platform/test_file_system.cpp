#include "platform/file_system.h"
#include "test_support.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

QStringList Names(const std::vector<FindData>& found) {
    QStringList names;
    for (const FindData& data : found)
        names.append(data.name);
    names.sort();
    return names;
}

// Veldra/Maps with files, a hidden file, a folder, a link to the folder and
// a link to a file.
bool MakeMaps(const CTestRoot& root) {
    return root.WriteFile("Veldra/Maps/a.map", QByteArray(1234, 'a')) &&
           root.WriteFile("Veldra/Maps/B.MAP", "b") && root.WriteFile("Veldra/Maps/c.cbm", "c") &&
           root.WriteFile("Veldra/Maps/noext", "") && root.WriteFile("Veldra/Maps/.hidden", "h") &&
           root.MakeDir("Veldra/Maps/Sub") &&
           QFile::link(root.Host("Veldra/Maps/Sub"), root.Host("Veldra/Maps/lnk")) &&
           QFile::link(root.Host("Veldra/Maps/c.cbm"), root.Host("Veldra/Maps/flnk"));
}

} // namespace

class TestFileSystem : public QObject {
    Q_OBJECT

private slots:
    void fileOperations();
    void wildcard_data();
    void wildcard();
    void listing_data();
    void listing();
    void entries();
    void mappedFile();
};

void TestFileSystem::fileOperations() {
    CTestRoot root;
    QVERIFY(root.WriteFile("Veldra/Old.tmp", QByteArray(5000, 'x')));
    {
        // An existing file of another letter case is the one truncated.
        CFileHandle out = CreateFileAlways("\\Veldra\\old.TMP");
        QVERIFY(out.IsValid() && out.Write("abc", 3));
    }
    QCOMPARE(root.ReadFile("Veldra/Old.tmp"), QByteArray("abc"));
    QVERIFY(!root.Exists("Veldra/old.TMP"));

    QVERIFY(root.WriteFile("Veldra/B.cbm", "old"));
    QVERIFY(RenameFileAt("\\Veldra\\OLD.tmp", "\\Veldra\\b.CBM")); // replaces B.cbm
    QCOMPARE(root.ReadFile("Veldra/B.cbm"), QByteArray("abc"));
    QVERIFY(!root.Exists("Veldra/Old.tmp") && !root.Exists("Veldra/b.CBM"));

    // A FIFO must neither block the open nor count as a file.
    QCOMPARE(mkfifo(QFile::encodeName(root.Host("Veldra/pipe.map")).constData(), 0644), 0);
    QVERIFY(!OpenFileForRead("\\Veldra\\pipe.map").IsValid());
    // A NUL in a name must not cut it short to another file's name.
    const QString withNul = QStringLiteral("\\Veldra\\B.cbm") + QChar(0) + QStringLiteral("x");
    QVERIFY(!FileExists(withNul) && !DeleteFileAt(withNul));
    QVERIFY(DeleteFileAt("\\Veldra\\B.CBM") && !root.Exists("Veldra/B.cbm"));
}

void TestFileSystem::wildcard_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("matching");
    QTest::addColumn<QStringList>("others");
    const auto row = [](const char* pattern, const char* matching, const char* others) {
        QTest::newRow(pattern) << QString(pattern) << QString(matching).split(' ')
                               << QString(others).split(' ', Qt::SkipEmptyParts);
    };
    row("*.*", "a.map README", "");
    row("tpl.*", "TPL tpl.map", "tp tplx");
    row("*.map", "abc1_1.map ABC1_1.MAP", "abc1_1.tmp a.map.bak amap");
    row("Abc1_*.cbm", "abc1_3.CBM ABC1_.cbm", "abc2_3.cbm");
    row("abc?_1.map", "abc7_1.map", "abc_1.map abc12_1.map");
    row("*a*b*c", "xxaxxbxxbxc", "xxaxxbxxbxcx");
}

void TestFileSystem::wildcard() {
    QFETCH(QString, pattern);
    QFETCH(QStringList, matching);
    QFETCH(QStringList, others);
    for (const QString& name : matching)
        QVERIFY2(WildcardMatch(pattern, name), qPrintable(name));
    for (const QString& name : others)
        QVERIFY2(!WildcardMatch(pattern, name), qPrintable(name));
}

void TestFileSystem::listing_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("names");
    const QStringList all{".hidden", "B.MAP", "Sub", "a.map", "c.cbm", "flnk", "lnk", "noext"};
    QTest::newRow("*") << "\\veldra\\MAPS\\*" << all;
    QTest::newRow("*.*") << "/Veldra/Maps/*.*" << all;
    QTest::newRow("?.MAP") << "\\Veldra\\Maps\\?.MAP" << QStringList{"B.MAP", "a.map"};
    QTest::newRow(".*") << "\\Veldra\\Maps\\.*" << QStringList{".hidden"};
    QTest::newRow("..") << "\\Veldra\\Maps\\.." << QStringList{};
    QTest::newRow("exact name") << "\\Veldra\\Maps\\C.CBM" << QStringList{"c.cbm"};
    QTest::newRow("missing folder") << "\\Veldra\\Missing\\*" << QStringList{};
}

void TestFileSystem::listing() {
    QFETCH(QString, pattern);
    QFETCH(QStringList, names);
    CTestRoot root;
    QVERIFY(MakeMaps(root));
    QCOMPARE(Names(FindFiles(pattern)), names);
    CFindFile find;
    FindData data;
    QCOMPARE(find.FindFirst(pattern, data), !names.isEmpty());
}

void TestFileSystem::entries() {
    CTestRoot root;
    const int64_t before = (QDateTime::currentSecsSinceEpoch() - 2) * 1'000'000'000;
    QVERIFY(MakeMaps(root));
    // Modified "an hour ago": the creation time is the birth time where the
    // file system keeps one, else the modification time.
    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= 3600;
    times[1] = times[0];
    const QByteArray host = QFile::encodeName(root.Host("Veldra/Maps/a.map"));
    QCOMPARE(utimensat(AT_FDCWD, host.constData(), times, 0), 0);
    struct statx sx {};
    QCOMPARE(statx(AT_FDCWD, host.constData(), 0, STATX_BTIME, &sx), 0);

    const std::vector<FindData> found = FindFiles("\\Veldra\\Maps\\*");
    QMap<QString, FindData> byName;
    for (const FindData& data : found)
        byName.insert(data.name, data);
    QCOMPARE(byName.value("a.map").size, uint64_t(1234));
    QVERIFY(!byName.value("a.map").isDirectory);
    if (sx.stx_mask & STATX_BTIME)
        QVERIFY(byName.value("a.map").creationTime >= before);
    else
        QCOMPARE(byName.value("a.map").creationTime,
                 int64_t(times[1].tv_sec) * 1'000'000'000 + times[1].tv_nsec);
    QVERIFY(byName.value("Sub").isDirectory && !byName.value("Sub").isSymLink);
    QVERIFY(byName.value("lnk").isSymLink && !byName.value("lnk").isDirectory);

    // Deleting a link removes the link, never what it points to.
    QVERIFY(DeleteFileAt("\\Veldra\\Maps\\LNK") && DeleteFileAt("\\Veldra\\Maps\\flnk"));
    QVERIFY(!QFileInfo(root.Host("Veldra/Maps/lnk")).isSymLink());
    QVERIFY(!QFileInfo(root.Host("Veldra/Maps/flnk")).isSymLink());
    QVERIFY(root.Exists("Veldra/Maps/Sub") && root.ReadFile("Veldra/Maps/c.cbm") == "c");
}

void TestFileSystem::mappedFile() {
    CTestRoot root;
    QVERIFY(root.WriteFile("Veldra/empty.idx", ""));
    QVERIFY(root.WriteFile("Veldra/Streets.idx", "0123456789"));
    CMappedFile map;
    QVERIFY(!map.Open("\\Veldra\\empty.idx"));
    QVERIFY(map.Data() == nullptr);
    QVERIFY(!map.Open("\\Veldra\\missing.idx"));
    QVERIFY(map.Open("\\veldra\\STREETS.IDX"));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(map.Data()), int(map.Size())),
             QByteArray("0123456789"));
}

QTEST_GUILESS_MAIN(TestFileSystem)
#include "test_file_system.moc"
