#include "platform/file_system.h"
#include "test_support.h"

#include <QtTest>

#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QStringList Names(const std::vector<FindData>& found) {
    QStringList names;
    for (const FindData& data : found)
        names.append(data.name);
    names.sort();
    return names;
}

const FindData* Entry(const std::vector<FindData>& found, const QString& name) {
    const auto it = std::find_if(found.begin(), found.end(),
                                 [&](const FindData& data) { return data.name == name; });
    return it == found.end() ? nullptr : &*it;
}

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

} // namespace

class TestFileSystem : public QObject {
    Q_OBJECT

private slots:
    void writeAndReadBack();
    void createTruncatesAndSetsMode();
    void openForReadRefusesNonFiles();
    void existsAndFolders();
    void deleteDoesNotFollowLinks();
    void normalAttribute();
    void renameReplacesTarget();
    void nulInNameIsRefused();
    void wildcard_data();
    void wildcard();
    void listing();
    void creationTimeIsBirthTime();
    void listingPatterns_data();
    void listingPatterns();
    void findWithoutMatches();
    void mappedFile();
};

void TestFileSystem::writeAndReadBack() {
    CTestRoot root;
    QVERIFY(root.MakeDir("Veldra"));
    QByteArray bytes(70000, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7);
    {
        CFileHandle out = CreateFileAlways("\\Veldra\\data.bin");
        QVERIFY(out.IsValid());
        QVERIFY(fcntl(out.Descriptor(), F_GETFD) & FD_CLOEXEC);
        QVERIFY(out.Write(bytes.constData(), bytes.size()));
        QCOMPARE(out.Size(), int64_t(bytes.size()));
    }
    CFileHandle in = OpenFileForRead("\\VELDRA\\DATA.BIN");
    QVERIFY(in.IsValid());
    QVERIFY(fcntl(in.Descriptor(), F_GETFD) & FD_CLOEXEC);
    QVERIFY(!(fcntl(in.Descriptor(), F_GETFL) & O_NONBLOCK));
    QCOMPARE(in.Size(), int64_t(bytes.size()));
    QByteArray back(bytes.size() + 10, '\0');
    QCOMPARE(in.Read(back.data(), 1000), int64_t(1000));
    QCOMPARE(in.Read(back.data() + 1000, back.size() - 1000), int64_t(bytes.size() - 1000));
    QCOMPARE(in.Read(back.data(), 10), int64_t(0)); // end of file
    back.truncate(bytes.size());
    QCOMPARE(back, bytes);
    QVERIFY(!in.Write("x", 1)); // opened for reading only

    // Moving hands the descriptor over; the moved-from handle is invalid.
    CFileHandle moved = std::move(in);
    QVERIFY(moved.IsValid());
    QVERIFY(!in.IsValid());
    QCOMPARE(in.Read(back.data(), 1), int64_t(-1));
    QCOMPARE(in.Size(), int64_t(-1));
    moved.Close();
    QVERIFY(!moved.IsValid());
}

void TestFileSystem::createTruncatesAndSetsMode() {
    CTestRoot root;
    QVERIFY(root.WriteFile("Veldra/Old.tmp", QByteArray(5000, 'x')));
    {
        // An existing file of another letter case is the one truncated.
        CFileHandle out = CreateFileAlways("\\Veldra\\old.TMP");
        QVERIFY(out.IsValid());
        QVERIFY(out.Write("abc", 3));
    }
    QCOMPARE(root.ReadFile("Veldra/Old.tmp"), QByteArray("abc"));
    QVERIFY(!root.Exists("Veldra/old.TMP"));

    QVERIFY(CreateFileAlways("\\Veldra\\new.dat").IsValid());
    struct stat st {};
    QCOMPARE(stat(QFile::encodeName(root.Host("Veldra/new.dat")).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0600, mode_t(0600));
    QCOMPARE(st.st_mode & 0133, mode_t(0)); // never executable, never writable by others

    QVERIFY(!CreateFileAlways("\\Nowhere\\x.dat").IsValid()); // folder missing
}

void TestFileSystem::openForReadRefusesNonFiles() {
    CTestRoot root;
    QVERIFY(root.MakeDir("Veldra/Folder"));
    QVERIFY(!OpenFileForRead("\\Veldra\\Folder").IsValid());
    QVERIFY(!OpenFileForRead("\\Veldra\\missing.map").IsValid());
    // A FIFO must neither block the open nor count as a file.
    QCOMPARE(mkfifo(QFile::encodeName(root.Host("Veldra/pipe.map")).constData(), 0644), 0);
    QVERIFY(!OpenFileForRead("\\Veldra\\pipe.map").IsValid());
    QVERIFY(!FileExists("\\Veldra\\pipe.map"));
}

void TestFileSystem::existsAndFolders() {
    CTestRoot root;
    QVERIFY(root.WriteFile("Veldra/Maps/Map.dat", "m"));
    QVERIFY(FileExists("\\veldra\\maps\\MAP.DAT"));
    QVERIFY(!FileExists("\\Veldra\\Maps"));
    QVERIFY(DirectoryExists("\\VELDRA\\MAPS"));
    QVERIFY(!DirectoryExists("\\Veldra\\Maps\\Map.dat"));
    QVERIFY(!FileExists("\\Veldra\\Maps\\nothing"));

    QVERIFY(CreateDirectoryAt("\\Veldra\\My Places"));
    QVERIFY(DirectoryExists("\\Veldra\\My Places"));
    QVERIFY(!CreateDirectoryAt("\\veldra\\MY PLACES")); // already there, in another case
    QVERIFY(!CreateDirectoryAt("\\Veldra\\A\\B"));      // parent missing

    QVERIFY(root.WriteFile("Veldra/My Places/Home.plc", "h"));
    QVERIFY(!RemoveDirectoryAt("\\Veldra\\My Places")); // not empty
    QVERIFY(DeleteFileAt("\\Veldra\\My Places\\HOME.PLC"));
    QVERIFY(!DeleteFileAt("\\Veldra\\My Places\\HOME.PLC"));
    QVERIFY(RemoveDirectoryAt("\\veldra\\my places"));
    QVERIFY(!DirectoryExists("\\Veldra\\My Places"));
    QVERIFY(!RemoveDirectoryAt("\\Veldra\\My Places"));
    QVERIFY(!DeleteFileAt("\\Veldra\\Maps")); // a folder is not a file
}

void TestFileSystem::deleteDoesNotFollowLinks() {
    CTestRoot root;
    QVERIFY(root.WriteFile("Keep/inside.txt", "k"));
    QVERIFY(root.WriteFile("Keep/file.txt", "f"));
    QVERIFY(root.MakeDir("Veldra"));
    QVERIFY(QFile::link(root.Host("Keep"), root.Host("Veldra/dirlink")));
    QVERIFY(QFile::link(root.Host("Keep/file.txt"), root.Host("Veldra/filelink")));
    QVERIFY(DeleteFileAt("\\Veldra\\dirlink"));
    QVERIFY(DeleteFileAt("\\Veldra\\FILELINK"));
    QVERIFY(!QFileInfo(root.Host("Veldra/dirlink")).isSymLink());
    QVERIFY(!QFileInfo(root.Host("Veldra/filelink")).isSymLink());
    QCOMPARE(root.ReadFile("Keep/inside.txt"), QByteArray("k"));
    QCOMPARE(root.ReadFile("Keep/file.txt"), QByteArray("f"));
}

void TestFileSystem::normalAttribute() {
    CTestRoot root;
    QVERIFY(root.WriteFile("Veldra/ro.map", "r"));
    const QByteArray host = QFile::encodeName(root.Host("Veldra/ro.map"));
    QCOMPARE(chmod(host.constData(), 0444), 0);
    QVERIFY(SetNormalAttribute("\\Veldra\\RO.MAP"));
    struct stat st {};
    QCOMPARE(stat(host.constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0644));
    QVERIFY(SetNormalAttribute("\\Veldra\\ro.map")); // already writable
    QVERIFY(!SetNormalAttribute("\\Veldra\\missing.map"));
}

void TestFileSystem::renameReplacesTarget() {
    CTestRoot root;
    QVERIFY(root.WriteFile("Veldra/a.tmp", "new"));
    QVERIFY(root.WriteFile("Veldra/B.cbm", "old"));
    QVERIFY(RenameFileAt("\\Veldra\\A.TMP", "\\Veldra\\b.CBM"));
    QCOMPARE(root.ReadFile("Veldra/B.cbm"), QByteArray("new"));
    QVERIFY(!root.Exists("Veldra/a.tmp"));
    QVERIFY(!root.Exists("Veldra/b.CBM"));
    QVERIFY(!RenameFileAt("\\Veldra\\a.tmp", "\\Veldra\\c.cbm"));
    QVERIFY(RenameFileAt("\\Veldra\\B.cbm", "\\Veldra\\Fresh.cbm"));
    QCOMPARE(root.ReadFile("Veldra/Fresh.cbm"), QByteArray("new"));
}

void TestFileSystem::nulInNameIsRefused() {
    CTestRoot root;
    QVERIFY(root.WriteFile("Veldra/abc", "secret"));
    const QString withNul = QStringLiteral("\\Veldra\\abc") + QChar(0) + QStringLiteral("def");
    QVERIFY(!OpenFileForRead(withNul).IsValid());
    QVERIFY(!FileExists(withNul));
    QVERIFY(!DeleteFileAt(withNul));
    QVERIFY(!CreateFileAlways(withNul).IsValid());
    QCOMPARE(root.ReadFile("Veldra/abc"), QByteArray("secret"));
}

void TestFileSystem::wildcard_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("matches");
    QTest::newRow("*.* with dot") << "*.*"
                                  << "a.map" << true;
    QTest::newRow("*.* without dot") << "*.*"
                                     << "README" << true;
    QTest::newRow("* anything") << "*"
                                << "x.y.z" << true;
    QTest::newRow("name.* without extension") << "tpl.*"
                                              << "TPL" << true;
    QTest::newRow("name.* with extension") << "tpl.*"
                                           << "tpl.map" << true;
    QTest::newRow("name.* other name") << "tpl.*"
                                       << "tp" << false;
    QTest::newRow(".* is not *") << "a*.*"
                                 << "b" << false;
    QTest::newRow("*.map") << "*.map"
                           << "abc1_1.map" << true;
    QTest::newRow("*.map case") << "*.map"
                                << "ABC1_1.MAP" << true;
    QTest::newRow("*.map not .tmp") << "*.map"
                                    << "abc1_1.tmp" << false;
    QTest::newRow("*.map not a longer ending") << "*.map"
                                               << "a.map.bak" << false;
    QTest::newRow("*.map needs the dot") << "*.map"
                                         << "amap" << false;
    QTest::newRow("prefix and case") << "Abc1_*.cbm"
                                     << "abc1_3.CBM" << true;
    QTest::newRow("prefix mismatch") << "Abc1_*.cbm"
                                     << "abc2_3.cbm" << false;
    QTest::newRow("? one character") << "abc?_1.map"
                                     << "abc7_1.map" << true;
    QTest::newRow("? not none") << "abc?_1.map"
                                << "abc_1.map" << false;
    QTest::newRow("? not two") << "abc?_1.map"
                               << "abc12_1.map" << false;
    QTest::newRow("stars backtrack") << "*a*b*c"
                                     << "xxaxxbxxbxc" << true;
    QTest::newRow("star at the end is any tail") << "ab*"
                                                 << "ab" << true;
    QTest::newRow("exact name") << "Map.dat"
                                << "MAP.DAT" << true;
    QTest::newRow("exact name differs") << "Map.dat"
                                        << "Map.da" << false;
    QTest::newRow("empty pattern") << ""
                                   << "a" << false;
    QTest::newRow("non-ASCII case") << "ÄR*.TXT"
                                    << "ärger.txt" << true;
}

void TestFileSystem::wildcard() {
    QFETCH(QString, pattern);
    QFETCH(QString, name);
    QFETCH(bool, matches);
    QCOMPARE(WildcardMatch(pattern, name), matches);
}

void TestFileSystem::listing() {
    CTestRoot root;
    const int64_t before = NowNs() - 2'000'000'000LL;
    QVERIFY(root.WriteFile("Veldra/Maps/a.map", QByteArray(1234, 'a')));
    QVERIFY(root.WriteFile("Veldra/Maps/B.MAP", "b"));
    QVERIFY(root.WriteFile("Veldra/Maps/c.cbm", "c"));
    QVERIFY(root.WriteFile("Veldra/Maps/noext", ""));
    QVERIFY(root.MakeDir("Veldra/Maps/Sub"));
    QVERIFY(QFile::link(root.Host("Veldra/Maps/Sub"), root.Host("Veldra/Maps/lnk")));
    const int64_t after = NowNs() + 2'000'000'000LL;

    const std::vector<FindData> all = FindFiles("\\veldra\\MAPS\\*");
    QCOMPARE(Names(all), QStringList({"B.MAP", "Sub", "a.map", "c.cbm", "lnk", "noext"}));
    QCOMPARE(Names(FindFiles("\\Veldra\\Maps\\*.*")), Names(all));

    const FindData* a = Entry(all, "a.map");
    QVERIFY(a);
    QCOMPARE(a->size, uint64_t(1234));
    QVERIFY(!a->isDirectory && !a->isSymLink);
    QVERIFY(a->creationTime >= before && a->creationTime <= after);
    const FindData* sub = Entry(all, "Sub");
    QVERIFY(sub && sub->isDirectory && !sub->isSymLink);
    QCOMPARE(sub->size, uint64_t(0));
    const FindData* link = Entry(all, "lnk");
    QVERIFY(link && link->isSymLink && !link->isDirectory);

    // The same entries through FindFirst / FindNext, and nothing after the end.
    CFindFile find;
    FindData data;
    QVERIFY(find.FindFirst("/Veldra/Maps/*", data));
    int count = 1;
    while (find.FindNext(data)) {
        QVERIFY(data.name != "." && data.name != "..");
        ++count;
    }
    QCOMPARE(count, 6);
    QVERIFY(!find.FindNext(data));
    find.Close();
    QVERIFY(!find.FindNext(data));
}

void TestFileSystem::creationTimeIsBirthTime() {
    CTestRoot root;
    const int64_t before = NowNs() - 2'000'000'000LL;
    QVERIFY(root.WriteFile("Veldra/old.cbm", "x"));
    // Modified "an hour ago": the birth time, where the file system keeps
    // one, is still now; elsewhere the listing falls back to that time.
    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= 3600;
    times[1] = times[0];
    const QByteArray host = QFile::encodeName(root.Host("Veldra/old.cbm"));
    QCOMPARE(utimensat(AT_FDCWD, host.constData(), times, 0), 0);
    const int64_t backdated = int64_t(times[1].tv_sec) * 1'000'000'000 + times[1].tv_nsec;

    const std::vector<FindData> found = FindFiles("\\Veldra\\*.cbm");
    QCOMPARE(found.size(), size_t(1));
    struct statx sx {};
    QCOMPARE(statx(AT_FDCWD, host.constData(), 0, STATX_BTIME, &sx), 0);
    if (sx.stx_mask & STATX_BTIME)
        QVERIFY(found[0].creationTime >= before);
    else
        QCOMPARE(found[0].creationTime, backdated);
}

void TestFileSystem::listingPatterns_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("*.map") << "\\Veldra\\Maps\\*.map" << QStringList{"B.MAP", "a.map"};
    QTest::newRow("?.map") << "\\Veldra\\Maps\\?.MAP" << QStringList{"B.MAP", "a.map"};
    QTest::newRow("one exact") << "\\Veldra\\Maps\\C.CBM" << QStringList{"c.cbm"};
    QTest::newRow("..") << "\\Veldra\\Maps\\.." << QStringList{};
    QTest::newRow(".*") << "\\Veldra\\Maps\\.*" << QStringList{".hidden"};
    QTest::newRow("root folder") << "*" << QStringList{"Veldra"};
    QTest::newRow("folder of another case") << "/VELDRA/*" << QStringList{"Maps"};
}

void TestFileSystem::listingPatterns() {
    QFETCH(QString, pattern);
    QFETCH(QStringList, names);
    CTestRoot root;
    QVERIFY(root.WriteFile("Veldra/Maps/a.map", "a"));
    QVERIFY(root.WriteFile("Veldra/Maps/B.MAP", "b"));
    QVERIFY(root.WriteFile("Veldra/Maps/c.cbm", "c"));
    QVERIFY(root.WriteFile("Veldra/Maps/.hidden", "h"));
    QCOMPARE(Names(FindFiles(pattern)), names);
}

void TestFileSystem::findWithoutMatches() {
    CTestRoot root;
    QVERIFY(root.WriteFile("Veldra/Maps/a.map", "a"));
    CFindFile find;
    FindData data;
    QVERIFY(!find.FindFirst("\\Veldra\\Maps\\*.cbm", data));
    QVERIFY(!find.FindNext(data));
    QVERIFY(!find.FindFirst("\\Veldra\\Missing\\*", data));
    QVERIFY(!find.FindFirst("\\Veldra\\Maps\\a.map\\*", data)); // a file is no folder
    QVERIFY(find.FindFirst("\\Veldra\\Maps\\*", data));         // reusable after failures
    QCOMPARE(data.name, QString("a.map"));
}

void TestFileSystem::mappedFile() {
    CTestRoot root;
    QVERIFY(root.WriteFile("Veldra/empty.idx", ""));
    QVERIFY(root.WriteFile("Veldra/Streets.idx", "0123456789"));
    QVERIFY(root.WriteFile("Veldra/Other.idx", "xy"));
    QVERIFY(root.MakeDir("Veldra/Folder"));

    CMappedFile map;
    QVERIFY(!map.Open("\\Veldra\\empty.idx"));
    QVERIFY(map.Data() == nullptr);
    QCOMPARE(map.Size(), int64_t(0));
    QVERIFY(!map.Open("\\Veldra\\missing.idx"));
    QVERIFY(!map.Open("\\Veldra\\Folder"));

    QVERIFY(map.Open("\\veldra\\STREETS.IDX"));
    QCOMPARE(map.Size(), int64_t(10));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(map.Data()), 10), QByteArray("0123456789"));
    QVERIFY(map.Open("\\Veldra\\Other.idx")); // a second Open replaces the first mapping
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(map.Data()), int(map.Size())),
             QByteArray("xy"));
    map.Close();
    QVERIFY(map.Data() == nullptr);
    QCOMPARE(map.Size(), int64_t(0));
}

QTEST_GUILESS_MAIN(TestFileSystem)
#include "tst_file_system.moc"
