#include "platform/file_system.h"
#include "test_support.h"

#include <QtTest>

#include <QTemporaryDir>

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

// Veldra/Maps with files, a hidden file, a folder and links to both.
bool MakeMaps(const CTestRoot& root) {
    return root.WriteFile("Veldra/Maps/a.map", QByteArray(1234, 'a')) &&
           root.WriteFile("Veldra/Maps/B.MAP", "b") && root.WriteFile("Veldra/Maps/c.cbm", "c") &&
           root.WriteFile("Veldra/Maps/noext", "") && root.WriteFile("Veldra/Maps/.hidden", "h") &&
           root.MakeDir("Veldra/Maps/Sub") &&
           QFile::link(root.Host("Veldra/Maps/Sub"), root.Host("Veldra/Maps/lnk")) &&
           QFile::link(root.Host("Veldra/Maps/c.cbm"), root.Host("Veldra/Maps/flnk"));
}

// What each writing call does to a name under Veldra/Maps/Town.
enum class Write { Create, Replace, Rename, Delete, DeleteTree, MakeFolder };

} // namespace

class TestFileSystem : public QObject {
    Q_OBJECT

private slots:
    void fileOperations() {
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

    void wildcard_data() {
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

    void wildcard() {
        QFETCH(QString, pattern);
        QFETCH(QStringList, matching);
        QFETCH(QStringList, others);
        for (const QString& name : matching)
            QVERIFY2(WildcardMatch(pattern, name), qPrintable(name));
        for (const QString& name : others)
            QVERIFY2(!WildcardMatch(pattern, name), qPrintable(name));
    }

    void listing_data() {
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

    void listing() {
        QFETCH(QString, pattern);
        QFETCH(QStringList, names);
        CTestRoot root;
        QVERIFY(MakeMaps(root));
        QCOMPARE(Names(FindFiles(pattern)), names);
        CFindFile find;
        FindData data;
        QCOMPARE(find.FindFirst(pattern, data), !names.isEmpty());
    }

    void entries() {
        CTestRoot root;
        const int64_t before = (QDateTime::currentSecsSinceEpoch() - 2) * 1'000'000'000;
        QVERIFY(MakeMaps(root));
        // Creation time: the birth time where kept, else the modification time.
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

    void plantedLinks_data() {
        QTest::addColumn<Write>("write");
        QTest::addColumn<QString>("linkAt"); // under Veldra/Maps, pointing outside the root
        QTest::addColumn<QString>("devicePath");
        QTest::addColumn<bool>("succeeds");
        const QString town = "/Veldra/Maps/Town/";
        // A link standing where a file is made is removed, never written through.
        QTest::newRow("create over a link")
            << Write::Create << "Town/x.tmp" << town + "x.tmp" << true;
        QTest::newRow("side file a link")
            << Write::Replace << "Town/x.cbm.part" << town + "x.cbm" << true;
        QTest::newRow("target a link") << Write::Replace << "Town/x.cbm" << town + "x.cbm" << true;
        // A path through a linked folder is refused, whatever the call.
        for (const auto& [name, write, path] : {std::tuple{"create", Write::Create, "Out/x"},
                                                {"replace", Write::Replace, "Out/x"},
                                                {"rename", Write::Rename, "Out/x"},
                                                {"delete", Write::Delete, "Out/x"},
                                                {"folder", Write::MakeFolder, "Out/new"},
                                                {"tree", Write::DeleteTree, "out/Sub"}})
            QTest::addRow("%s via linked parent", name) << write << "Out"
                                                        << "/Veldra/Maps/" + QString(path) << false;
        // A folder that is itself a link: only the link goes.
        QTest::newRow("tree that is a link")
            << Write::DeleteTree << "Town/Sub" << town + "Sub" << true;
    }

    void plantedLinks() {
        QFETCH(Write, write);
        QFETCH(QString, linkAt);
        QFETCH(QString, devicePath);
        QFETCH(bool, succeeds);
        CTestRoot root;
        QTemporaryDir outside;
        const auto outsideFiles = [&] {
            return QDir(outside.path())
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        };
        QVERIFY(root.MakeDir("Veldra/Maps/Town") && QDir(outside.path()).mkpath("Sub"));
        for (const QString name : {"x", "x.tmp", "x.cbm", "x.cbm.part", "Sub/kept"}) {
            QFile file(outside.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("outside") == 7);
        }
        // "Out" points at the outside folder, any other name at its namesake there.
        const QString leaf = QFileInfo(linkAt).fileName();
        const QString target = leaf == "Out" ? outside.path() : outside.filePath(leaf);
        QVERIFY(QFile::link(target, root.Host("Veldra/Maps/" + linkAt)));
        const QStringList before = outsideFiles();

        bool done = false;
        switch (write) {
        case Write::Create: {
            CFileHandle file = CreateFileAlways(devicePath);
            done = file.IsValid() && file.Write("new", 3);
            break;
        }
        case Write::Replace:
            done = ReplaceFileAtomically(devicePath, {QByteArrayView("new")});
            break;
        case Write::Rename:
            QVERIFY(root.WriteFile("Veldra/Maps/Town/from", "new"));
            done = RenameFileAt("/Veldra/Maps/Town/from", devicePath);
            break;
        case Write::Delete:
            done = DeleteFileAt(devicePath);
            break;
        case Write::DeleteTree:
            done = DeleteTree(devicePath);
            break;
        case Write::MakeFolder:
            done = CreateDirectoryAt(devicePath);
            break;
        }
        QCOMPARE(done, succeeds);
        // Nothing outside the root was written, made or deleted.
        QCOMPARE(outsideFiles(), before);
        for (const QString& name : before) {
            if (QFileInfo(outside.filePath(name)).isFile())
                QCOMPARE(QFile(outside.filePath(name)).size(), qint64(7));
        }
        QCOMPARE(QFile(outside.filePath("Sub/kept")).size(), qint64(7));
        if (succeeds && (write == Write::Create || write == Write::Replace)) {
            const QString written = "Veldra/Maps/Town/" + QFileInfo(devicePath).fileName();
            QVERIFY(!QFileInfo(root.Host(written)).isSymLink());
            QCOMPARE(root.ReadFile(written), QByteArray("new"));
            QVERIFY(!root.Exists("Veldra/Maps/Town/x.cbm.part"));
        }
    }

    void treeWithRawNames() {
        CTestRoot root;
        // Raw names, one reading as a path out, a read-only sub-folder, a link
        // out and a link loop.
        QVERIFY(root.MakeDir("Veldra/Maps/Town"));
        const QByteArray town = QFile::encodeName(root.Host("Veldra/Maps/Town"));
        const QByteArray rawDir = town + "/d\xff\xfe";
        QCOMPARE(mkdir(rawDir.constData(), 0755), 0);
        for (const QByteArray& path :
             {town + "/\xe9t\xe9.cbm", rawDir + "/\x80.map", town + "/..\\kept"}) {
            const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            QVERIFY(fd >= 0);
            QCOMPARE(write(fd, "12345", 5), 5);
            close(fd);
        }
        QCOMPARE(chmod(rawDir.constData(), 0555), 0);
        QVERIFY(root.WriteFile("Veldra/kept", "abc"));
        QVERIFY(QFile::link(root.Host("Veldra/kept"), root.Host("Veldra/Maps/Town/link")));
        QVERIFY(QFile::link(root.Host("Veldra"), root.Host("Veldra/Maps/Town/loop")));

        QCOMPARE(TreeSize("\\Veldra\\Maps\\Town"), uint32_t(15));
        const uint64_t syncs = DiskSyncCount();
        QVERIFY(
            ReplaceFileAtomically("\\Veldra\\Maps\\Town\\Map.dat", {QByteArrayView("1234567")}));
        QVERIFY(DiskSyncCount() >= syncs + 2); // the file before the rename, the folder after
        QCOMPARE(TreeSize("\\Veldra\\Maps\\Town"), uint32_t(22));
        QVERIFY(DeleteTree("\\Veldra\\maps\\TOWN"));
        QVERIFY(!root.Exists("Veldra/Maps/Town") && root.ReadFile("Veldra/kept") == "abc");
        QVERIFY(!DeleteTree("\\") && !DeleteTree("\\Veldra\\Maps\\Town"));
    }
};

QTEST_GUILESS_MAIN(TestFileSystem)
#include "test_file_system.moc"
