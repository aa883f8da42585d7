#include "platform/device_root.h"
#include "platform/file_system.h"
#include "test_support.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Sets (null: unsets) an environment variable for the object's lifetime.
class CEnvOverride {
public:
    CEnvOverride(const char* name, const QString& value) : m_name(name) {
        if (qEnvironmentVariableIsSet(name))
            m_old = qgetenv(name);
        value.isNull() ? qunsetenv(name) : qputenv(name, value.toUtf8());
    }
    ~CEnvOverride() { m_old ? qputenv(m_name, *m_old) : qunsetenv(m_name); }

private:
    const char* m_name;
    std::optional<QByteArray> m_old;
};

// Moves a folder's time an hour back: its name index is no longer suspect.
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
    void chooseRoot_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("envRoot"); // null: unset
        QTest::addColumn<QString>("xdgDataHome");
        QTest::addColumn<QString>("expected");
        const QString env = "/from/env", xdg = "/xdg", unset;
        QTest::newRow("--root DIR")
            << QStringList{"p", "-v", "--root", "/arg", "x"} << env << xdg << QString("/arg");
        QTest::newRow("--root=DIR")
            << QStringList{"p", "--root=/eq"} << env << xdg << QString("/eq");
        QTest::newRow("VELDRA_ROOT") << QStringList{"p"} << env << xdg << env;
        QTest::newRow("XDG_DATA_HOME") << QStringList{} << unset << xdg << QString("/xdg/veldra");
        QTest::newRow("default") << QStringList{} << unset << unset
                                 << QString("/home/tester/.local/share/veldra");
    }

    void chooseRoot() {
        QFETCH(QStringList, args);
        QFETCH(QString, envRoot);
        QFETCH(QString, xdgDataHome);
        QFETCH(QString, expected);
        CEnvOverride home("HOME", "/home/tester");
        CEnvOverride root("VELDRA_ROOT", envRoot);
        CEnvOverride xdg("XDG_DATA_HOME", xdgDataHome);
        QCOMPARE(ChooseDeviceRoot(args), expected);
    }

    // Separators, "..", and letter case, against a tree that holds case twins.
    void hostPath_data() {
        QTest::addColumn<QString>("devicePath");
        QTest::addColumn<QString>("relative"); // below the root
        const auto row = [](const char* tag, const char* device, const char* relative) {
            QTest::newRow(tag) << QString(device) << QString(relative);
        };
        row("slashes and mixed", "/Veldra\\Maps/North//", "Veldra/Maps/North");
        row("above the root", "\\..\\..\\etc\\passwd", "etc/passwd");
        row("climbs out after a folder", "\\Veldra\\..\\..\\x", "x");
        row("every component folded", "\\VELDRA\\maps\\nORTH\\abc1_3.cbm",
            "Veldra/Maps/North/Abc1_3.CBM");
        row("exact name wins over a case twin", "\\Veldra\\TWIN.txt", "Veldra/TWIN.txt");
        row("other twin spelled exactly", "\\Veldra\\twin.txt", "Veldra/twin.txt");
        row("non-ASCII", "\\veldra\\ÄRGER.TXT", "Veldra/ärger.txt");
        row("missing file kept as given", "\\veldra\\MAPS\\New1_1.Cbm", "Veldra/Maps/New1_1.Cbm");
    }

    void hostPath() {
        QFETCH(QString, devicePath);
        QFETCH(QString, relative);
        CTestRoot root;
        QVERIFY(root.WriteFile("Veldra/Maps/North/Abc1_3.CBM", "t"));
        QVERIFY(root.WriteFile("Veldra/twin.txt", "1"));
        QVERIFY(root.WriteFile("Veldra/TWIN.txt", "2"));
        QVERIFY(root.WriteFile("Veldra/ärger.txt", "3"));
        QCOMPARE(HostPath(devicePath), root.Host(relative));
    }

    void folderIndex() {
        CTestRoot root;
        QVERIFY(root.MakeDir("Veldra/Maps/Big"));
        const QString big = root.Host("Veldra/Maps/Big") + '/';
        for (int i = 0; i < 10000; ++i)
            QVERIFY(QFile(big + QStringLiteral("tile%1.cbm").arg(i)).open(QIODevice::WriteOnly));
        // 10,000 tiles looked up in another case: each of 4 folders read once.
        uint64_t builds = FolderIndexBuildCount();
        for (int i = 0; i < 10000; ++i) {
            const QString name = QStringLiteral("tile%1.cbm").arg(i);
            if (HostPath("\\VELDRA\\MAPS\\BIG\\" + name.toUpper()) != big + name)
                QFAIL(qPrintable(name));
            if (FolderIndexBuildCount() - builds > 4)
                QFAIL("the folder is read again for every name");
        }
        QCOMPARE(FolderIndexBuildCount() - builds, uint64_t(4));

        // Added, removed and case-twin names followed without a new listing.
        QVERIFY(QFile(big + "Added.txt").open(QIODevice::WriteOnly));
        QCOMPARE(HostPath("\\veldra\\maps\\big\\ADDED.TXT"), big + "Added.txt");
        QVERIFY(QFile::remove(big + "tile0.cbm"));
        QCOMPARE(HostPath("\\Veldra\\Maps\\Big\\TILE0.CBM"), big + "TILE0.CBM");
        QVERIFY(QFile(big + "twin.txt").open(QIODevice::WriteOnly));
        QVERIFY(QFile(big + "Twin.txt").open(QIODevice::WriteOnly));
        QCOMPARE(HostPath("\\Veldra\\Maps\\Big\\TWIN.TXT"), big + "Twin.txt");
        QCOMPARE(FolderIndexBuildCount() - builds, uint64_t(4));
        QVERIFY(QFile::remove(big + "Twin.txt"));
        QCOMPARE(HostPath("\\Veldra\\Maps\\Big\\TWIN.TXT"), big + "twin.txt");

        // Names that are not there, once the folder has settled: no new reads.
        QVERIFY(Backdate(root.Host("Veldra/Maps/Big")));
        QVERIFY(FileExists("\\Veldra\\Maps\\Big\\TILE1.CBM"));
        builds = FolderIndexBuildCount();
        for (int i = 0; i < 10000; ++i) {
            if (FileExists(QStringLiteral("\\Veldra\\Maps\\Big\\xyz%1.cbm").arg(i)))
                QFAIL("a missing tile was found");
        }
        QCOMPARE(FolderIndexBuildCount(), builds);
    }
};

QTEST_GUILESS_MAIN(TestDeviceRoot)
#include "test_device_root.moc"
