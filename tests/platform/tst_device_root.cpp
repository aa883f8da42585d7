#include "platform/device_root.h"
#include "platform/file_system.h"
#include "test_support.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Sets an environment variable for the lifetime of the object (an unset
// variable when value is null) and restores the old state afterwards.
class CEnvOverride {
public:
    CEnvOverride(const char* name, const QString& value) : m_name(name) {
        m_had = qEnvironmentVariableIsSet(name);
        m_old = qgetenv(name);
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value.toUtf8());
    }
    ~CEnvOverride() {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had = false;
    QByteArray m_old;
};

// Moves a host folder's modification time an hour into the past, so that its
// name index no longer counts as possibly out of date.
bool Backdate(const QString& hostDir) {
    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= 3600;
    times[1] = times[0];
    return utimensat(AT_FDCWD, QFile::encodeName(hostDir).constData(), times, 0) == 0;
}

} // namespace

class TestDeviceRoot : public QObject {
    Q_OBJECT

private slots:
    void chooseRoot_data();
    void chooseRoot();
    void setRootMakesAbsolute();
    void separators_data();
    void separators();
    void dotDotStaysInsideRoot_data();
    void dotDotStaysInsideRoot();
    void letterCase_data();
    void letterCase();
    void indexFollowsFolderChanges();
    void bigFolderIsReadOnce();
    void joinDevicePath();
};

void TestDeviceRoot::chooseRoot_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("envRoot"); // null: unset
    QTest::addColumn<QString>("xdgDataHome");
    QTest::addColumn<QString>("expected");

    const QString unset;
    QTest::newRow("--root DIR beats the environment")
        << QStringList{"prog", "--root", "/from/arg"} << "/from/env"
        << "/xdg"
        << "/from/arg";
    QTest::newRow("--root=DIR") << QStringList{"prog", "--root=/eq/arg"} << "/from/env"
                                << "/xdg"
                                << "/eq/arg";
    QTest::newRow("--root among other arguments")
        << QStringList{"prog", "-v", "--root", "/a/b", "x"} << unset << unset << "/a/b";
    QTest::newRow("--root without a value") << QStringList{"prog", "--root"} << "/from/env"
                                            << "/xdg"
                                            << "/from/env";
    QTest::newRow("VELDRA_ROOT") << QStringList{"prog"} << "/from/env"
                                 << "/xdg"
                                 << "/from/env";
    QTest::newRow("empty VELDRA_ROOT is ignored") << QStringList{"prog"} << ""
                                                  << "/xdg"
                                                  << "/xdg/veldra";
    QTest::newRow("XDG_DATA_HOME") << QStringList{} << unset << "/xdg/data"
                                   << "/xdg/data/veldra";
    QTest::newRow("relative XDG_DATA_HOME is ignored") << QStringList{} << unset << "rel/data"
                                                       << "/home/tester/.local/share/veldra";
    QTest::newRow("default") << QStringList{} << unset << unset
                             << "/home/tester/.local/share/veldra";
    QTest::newRow("path is cleaned")
        << QStringList{"--root", "/a//b/../c/"} << unset << unset << "/a/c";
}

void TestDeviceRoot::chooseRoot() {
    QFETCH(QStringList, args);
    QFETCH(QString, envRoot);
    QFETCH(QString, xdgDataHome);
    QFETCH(QString, expected);
    CEnvOverride home("HOME", "/home/tester");
    CEnvOverride root("VELDRA_ROOT", envRoot);
    CEnvOverride xdg("XDG_DATA_HOME", xdgDataHome);
    QCOMPARE(ChooseDeviceRoot(args), expected);
}

void TestDeviceRoot::setRootMakesAbsolute() {
    const QString previous = DeviceRoot();
    SetDeviceRoot("relative/dir/");
    QCOMPARE(DeviceRoot(), QDir::current().absoluteFilePath("relative/dir"));
    QCOMPARE(ChooseDeviceRoot({"--root", "rel"}), QDir::current().absoluteFilePath("rel"));
    SetDeviceRoot(previous);
}

void TestDeviceRoot::separators_data() {
    QTest::addColumn<QString>("devicePath");
    QTest::addColumn<QString>("relative");
    QTest::newRow("backslashes") << "\\Veldra\\Maps\\x.cbm"
                                 << "Veldra/Maps/x.cbm";
    QTest::newRow("slashes") << "/Veldra/Maps/x.cbm"
                             << "Veldra/Maps/x.cbm";
    QTest::newRow("mixed") << "\\Veldra/Maps\\x.cbm"
                           << "Veldra/Maps/x.cbm";
    QTest::newRow("no leading separator") << "Veldra\\Maps"
                                          << "Veldra/Maps";
    QTest::newRow("doubled separators") << "\\\\Veldra//\\Maps\\\\"
                                        << "Veldra/Maps";
    QTest::newRow("trailing separator") << "\\Veldra\\"
                                        << "Veldra";
    QTest::newRow("empty is the root") << ""
                                       << "";
    QTest::newRow("separator alone is the root") << "\\"
                                                 << "";
    QTest::newRow("spaces kept") << "\\Veldra\\My Places\\ a b .plc"
                                 << "Veldra/My Places/ a b .plc";
}

void TestDeviceRoot::separators() {
    QFETCH(QString, devicePath);
    QFETCH(QString, relative);
    CTestRoot root;
    QVERIFY(root.MakeDir("Veldra/Maps"));
    const QString expected = relative.isEmpty() ? root.Path() : root.Host(relative);
    QCOMPARE(HostPath(devicePath), expected);
}

void TestDeviceRoot::dotDotStaysInsideRoot_data() {
    QTest::addColumn<QString>("devicePath");
    QTest::addColumn<QString>("relative");
    QTest::newRow("above the root") << "\\..\\..\\etc\\passwd"
                                    << "etc/passwd";
    QTest::newRow("climbs out after a folder") << "\\Veldra\\..\\..\\x"
                                               << "x";
    QTest::newRow("inside") << "\\Veldra\\Maps\\..\\Places"
                            << "Veldra/Places";
    QTest::newRow("dots") << ".\\Veldra\\.\\Maps\\."
                          << "Veldra/Maps";
    QTest::newRow("back to the root") << "Veldra\\..\\.."
                                      << "";
    QTest::newRow("dot-dot of a missing folder") << "\\nothere\\..\\Veldra"
                                                 << "Veldra";
    QTest::newRow("three dots are a name") << "\\...\\x"
                                           << ".../x";
}

void TestDeviceRoot::dotDotStaysInsideRoot() {
    QFETCH(QString, devicePath);
    QFETCH(QString, relative);
    CTestRoot root;
    QVERIFY(root.MakeDir("Veldra/Maps"));
    const QString host = HostPath(devicePath);
    QCOMPARE(host, relative.isEmpty() ? root.Path() : root.Host(relative));
    QVERIFY(host == root.Path() || host.startsWith(root.Path() + '/'));
}

void TestDeviceRoot::letterCase_data() {
    QTest::addColumn<QString>("devicePath");
    QTest::addColumn<QString>("relative");
    QTest::newRow("exact") << "\\Veldra\\Maps\\North\\Abc1_3.CBM"
                           << "Veldra/Maps/North/Abc1_3.CBM";
    QTest::newRow("every component folded") << "\\VELDRA\\maps\\nORTH\\abc1_3.cbm"
                                            << "Veldra/Maps/North/Abc1_3.CBM";
    QTest::newRow("missing file kept as given") << "\\veldra\\MAPS\\North\\New1_1.Cbm"
                                                << "Veldra/Maps/North/New1_1.Cbm";
    QTest::newRow("missing folder and below kept as given") << "\\VELDRA\\Gone\\ABC1_3.CBM"
                                                            << "Veldra/Gone/ABC1_3.CBM";
    QTest::newRow("exact name wins over a case twin") << "\\Veldra\\twin.txt"
                                                      << "Veldra/twin.txt";
    QTest::newRow("other twin spelled exactly") << "\\Veldra\\TWIN.txt"
                                                << "Veldra/TWIN.txt";
    QTest::newRow("case twins: smaller name") << "\\Veldra\\Twin.TXT"
                                              << "Veldra/TWIN.txt";
    QTest::newRow("non-ASCII") << "\\veldra\\ÄRGER.TXT"
                               << "Veldra/ärger.txt";
    QTest::newRow("below a file is missing") << "\\veldra\\maps\\north\\abc1_3.cbm\\x"
                                             << "Veldra/Maps/North/Abc1_3.CBM/x";
}

void TestDeviceRoot::letterCase() {
    QFETCH(QString, devicePath);
    QFETCH(QString, relative);
    CTestRoot root;
    QVERIFY(root.WriteFile("Veldra/Maps/North/Abc1_3.CBM", "t"));
    QVERIFY(root.WriteFile("Veldra/twin.txt", "1"));
    QVERIFY(root.WriteFile("Veldra/TWIN.txt", "2"));
    QVERIFY(root.WriteFile("Veldra/ärger.txt", "3"));
    QCOMPARE(HostPath(devicePath), root.Host(relative));
}

void TestDeviceRoot::indexFollowsFolderChanges() {
    CTestRoot root;
    QVERIFY(root.WriteFile("Veldra/Maps/Old.txt", "o"));
    QCOMPARE(HostPath("\\veldra\\maps\\OLD.TXT"), root.Host("Veldra/Maps/Old.txt"));

    // A file added after the folder was indexed is found in any case, and a
    // removed one is no longer reported under its old name.
    QVERIFY(root.WriteFile("Veldra/Maps/Added.txt", "a"));
    QCOMPARE(HostPath("\\veldra\\maps\\ADDED.TXT"), root.Host("Veldra/Maps/Added.txt"));
    QVERIFY(QFile::remove(root.Host("Veldra/Maps/Old.txt")));
    QCOMPARE(HostPath("\\veldra\\maps\\OLD.TXT"), root.Host("Veldra/Maps/OLD.TXT"));

    // An index of a folder that has not changed for a while is kept, even for
    // names it does not hold; a change to the folder makes it be read again.
    QVERIFY(Backdate(root.Host("Veldra/Maps")));
    QCOMPARE(HostPath("\\Veldra\\Maps\\ADDED.txt"), root.Host("Veldra/Maps/Added.txt"));
    const uint64_t builds = FolderIndexBuildCount();
    for (int i = 0; i < 50; ++i)
        QVERIFY(!FileExists(QStringLiteral("\\Veldra\\Maps\\missing%1.txt").arg(i)));
    QCOMPARE(HostPath("\\Veldra\\Maps\\aDDED.txt"), root.Host("Veldra/Maps/Added.txt"));
    QCOMPARE(FolderIndexBuildCount(), builds);

    QVERIFY(root.WriteFile("Veldra/Maps/Later.txt", "l"));
    QVERIFY(FileExists("\\Veldra\\Maps\\LATER.TXT"));
    QCOMPARE(FolderIndexBuildCount(), builds + 1);
}

void TestDeviceRoot::bigFolderIsReadOnce() {
    CTestRoot root;
    QVERIFY(root.MakeDir("Veldra/Maps/Big"));
    const QByteArray folder = QFile::encodeName(root.Host("Veldra/Maps/Big"));
    for (int row = 1; row <= 100; ++row) {
        for (int col = 1; col <= 100; ++col) {
            const QByteArray path =
                folder + "/abc" + QByteArray::number(row) + '_' + QByteArray::number(col) + ".cbm";
            const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            QVERIFY(fd >= 0);
            ::close(fd);
        }
    }

    // 10,000 tiles looked up in another letter case: the folder is read once.
    uint64_t builds = FolderIndexBuildCount();
    for (int row = 1; row <= 100; ++row) {
        for (int col = 1; col <= 100; ++col) {
            const QString device =
                QStringLiteral("\\VELDRA\\MAPS\\BIG\\ABC%1_%2.CBM").arg(row).arg(col);
            const QString expected =
                root.Host(QStringLiteral("Veldra/Maps/Big/abc%1_%2.cbm").arg(row).arg(col));
            if (HostPath(device) != expected)
                QFAIL(qPrintable(device));
            if (FolderIndexBuildCount() - builds > 4)
                QFAIL("the folder is read again for every name");
        }
    }
    // Each folder on the way is read once: the root, Veldra, Maps and Big.
    QCOMPARE(FolderIndexBuildCount() - builds, uint64_t(4));

    // 10,000 names that are not there, once the folder has settled: no new reads.
    QVERIFY(Backdate(root.Host("Veldra/Maps/Big")));
    QVERIFY(FileExists("\\Veldra\\Maps\\Big\\ABC1_1.CBM"));
    builds = FolderIndexBuildCount();
    for (int i = 0; i < 10000; ++i) {
        if (FileExists(QStringLiteral("\\Veldra\\Maps\\Big\\xyz%1.cbm").arg(i)))
            QFAIL("a missing tile was found");
    }
    QCOMPARE(FolderIndexBuildCount(), builds);
}

void TestDeviceRoot::joinDevicePath() {
    QCOMPARE(JoinDevicePath("\\Veldra\\Maps", "tpl.map"), QString("\\Veldra\\Maps\\tpl.map"));
    QCOMPARE(JoinDevicePath("", "x"), QString("\\x"));
}

QTEST_GUILESS_MAIN(TestDeviceRoot)
#include "tst_device_root.moc"
