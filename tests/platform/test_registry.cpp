#include "platform/registry.h"
#include "test_support.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSaveFile>
#include <QtTest>

#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

// The test program doubles as a second process: "--child-write ROOT TAG N"
// writes N values Software\Stress\TAG-i = i; "--child-lock-and-die ROOT" takes
// the registry lock and ends without releasing it.

namespace {

const QString kApps = QStringLiteral("Software\\Apps");

// A list of subkey names as RegEnumSubkeys returns it.
std::optional<QStringList> Keys(const QStringList& names) {
    return names;
}

} // namespace

class TestRegistry : public QObject {
    Q_OBJECT

private slots:
    // A text value under NAME and a number under "#" NAME, in one key.
    void roundTrip_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<uint>("number");
        const QString map = kApps + "\\Veldra Pocket map of Northcombe";
        QTest::newRow("empty") << map << QString("") << QString("") << 0xffffffffu;
        QTest::newRow("look-alikes")
            << map << QString("P") << QString("%41 %% %zz 1%\n[Software]\nA=sz:b\r\n;x\n\\V") << 0u;
        QTest::newRow("spaces, NUL, non-ASCII")
            << map << " Straße " << QString("  Ærø 東京 😀 a") + QChar(0) + QChar(1) + "\tb " << 42u;
        QTest::newRow("odd names") << kApps + "\\map [A=B] %20;#x" << QString(";a=b[c]\\d%e\n")
                                   << QString("123") << 0x80000000u;
    }

    void roundTrip() {
        QFETCH(QString, key);
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(uint, number);
        CTestRoot root;
        QVERIFY(RegSetString(key, name, text));
        QVERIFY(RegSetDword(key, "#" + name, number));
        QCOMPARE(RegQueryString(key, name), std::optional<QString>(text));
        QCOMPARE(RegQueryDword(key, "#" + name), std::optional<uint32_t>(number));
        QVERIFY(!RegQueryDword(key, name)); // each value keeps its type
        QVERIFY(!RegQueryString(key, "#" + name));
        QCOMPARE(RegEnumSubkeys(kApps), Keys({key.section('\\', 2)}));
    }

    void subkeys() {
        CTestRoot root;
        QVERIFY(RegSetString(kApps + "\\M\\Sub\\Deeper", "v", "1"));
        for (const QString name : {"b", "a", "A", "Ma", "M x"})
            QVERIFY(RegSetString(kApps + "\\" + name, "Dir", name));
        // Sorted by code point whatever the order of creation; direct children only.
        QCOMPARE(RegEnumSubkeys(kApps), Keys({"A", "M", "M x", "Ma", "a", "b"}));
        QCOMPARE(RegEnumSubkeys(kApps + "\\a"), Keys({}));
        QVERIFY(!RegEnumSubkeys(kApps + "\\missing"));
        // Deleting a key takes its subkeys, not the keys whose names start alike.
        QVERIFY(RegDeleteKey(kApps + "\\M"));
        QVERIFY(!RegKeyExists(kApps + "\\M\\Sub\\Deeper"));
        QVERIFY(!RegQueryString(kApps + "\\M\\Sub\\Deeper", "v"));
        QCOMPARE(RegEnumSubkeys(kApps), Keys({"A", "M x", "Ma", "a", "b"}));
        QCOMPARE(RegQueryString(kApps + "\\Ma", "Dir"), std::optional<QString>("Ma"));
        QVERIFY(!RegDeleteKey(kApps + "\\M"));
    }

    void seesChangesOfOthers() {
        CTestRoot root;
        QVERIFY(RegSetDword(kApps + "\\Mine", "Current", 0));
        // Another process's file is read, and kept by a change made here.
        QVERIFY(root.WriteFile("registry.ini", root.ReadFile("registry.ini") +
                                                   "\n[Software\\Apps\\Theirs]\nDir=sz:\\T\n"));
        QCOMPARE(RegEnumSubkeys(kApps), Keys({"Mine", "Theirs"}));
        QVERIFY(RegSetDword(kApps + "\\Mine", "Current", 1));
        QCOMPARE(RegQueryString(kApps + "\\Theirs", "Dir"), std::optional<QString>("\\T"));
        QCOMPARE(RegQueryDword(kApps + "\\Mine", "Current"), std::optional<uint32_t>(1));
    }

    void concurrentWritersLoseNothing() {
        CTestRoot root;
        constexpr int kEach = 25;
        std::vector<std::unique_ptr<QProcess>> children;
        for (const QString tag : {"p1", "p2"}) {
            children.push_back(std::make_unique<QProcess>());
            children.back()->start(QCoreApplication::applicationFilePath(),
                                   {"--child-write", root.Path(), tag, QString::number(kEach)});
        }
        for (int i = 0; i < kEach; ++i)
            QVERIFY(RegSetDword("Software\\Stress", QStringLiteral("me-%1").arg(i), uint32_t(i)));
        for (const auto& child : children) {
            QVERIFY(child->waitForFinished(60000));
            QCOMPARE(child->exitStatus(), QProcess::NormalExit);
            QCOMPARE(child->exitCode(), 0);
        }
        for (const QString tag : {"me", "p1", "p2"}) {
            for (int i = 0; i < kEach; ++i)
                QCOMPARE(RegQueryDword("Software\\Stress", QStringLiteral("%1-%2").arg(tag).arg(i)),
                         std::optional<uint32_t>(i));
        }
    }

    void crashedWriteLosesNothing() {
        CTestRoot root;
        QVERIFY(RegSetDword(kApps + "\\A", "Current", 1));
        const QByteArray before = root.ReadFile("registry.ini");
        {
            // A writer that dies half way: its new file is never committed.
            QSaveFile partial(root.Host("registry.ini"));
            QVERIFY(partial.open(QIODevice::WriteOnly));
            partial.write("[Software\\Apps\\Veldra Pocket m");
        }
        // A lock left behind by a process killed while holding it.
        QProcess locker;
        locker.start(QCoreApplication::applicationFilePath(),
                     {"--child-lock-and-die", root.Path()});
        QVERIFY(locker.waitForFinished(30000));
        QCOMPARE(locker.exitCode(), 0);
        QVERIFY(root.Exists("registry.ini.lock"));
        QCOMPARE(root.ReadFile("registry.ini"), before);

        // The next change takes the lock at once and keeps every entry, also
        // over an empty lock file or a link (not written through).
        for (const char* left : {"dead holder", "empty file", "link"}) {
            QFile::remove(root.Host("registry.ini.lock"));
            if (qstrcmp(left, "empty file") == 0)
                QVERIFY(root.WriteFile("registry.ini.lock", ""));
            if (qstrcmp(left, "link") == 0)
                QVERIFY(QFile::link(root.Host("registry.ini"), root.Host("registry.ini.lock")));
            QElapsedTimer timer;
            timer.start();
            QVERIFY2(RegSetDword(kApps + "\\B", "Current", 2), left);
            QVERIFY2(timer.elapsed() < 1000, left);
            QCOMPARE(RegQueryDword(kApps + "\\A", "Current"), std::optional<uint32_t>(1));
            QCOMPARE(RegEnumSubkeys(kApps), Keys({"A", "B"}));
            QVERIFY(!root.Exists("registry.ini.lock"));
        }
    }

    void readOncePerChange() {
        CTestRoot root;
        // 1000 maps, written straight into the file.
        QByteArray text;
        for (int i = 0; i < 1000; ++i)
            text += QStringLiteral(
                        "[%1\\Veldra Pocket map of M%2]\nInstallDir=sz:\\M%2\nCurrent=dword:0\n")
                        .arg(kApps)
                        .arg(i, 4, 10, QChar('0'))
                        .toUtf8();
        QVERIFY(root.WriteFile("registry.ini", text));
        QThread::msleep(30); // a file younger than a few clock ticks is read again
        // The library's walk: the subkeys, then two values of each.
        const auto walk = [] {
            int found = 0;
            for (const QString& name : RegEnumSubkeys(kApps).value_or(QStringList())) {
                const QString key = kApps + "\\" + name;
                found += RegQueryString(key, "InstallDir").has_value() &&
                         RegQueryDword(key, "Current") == std::optional<uint32_t>(0);
            }
            return found;
        };
        uint64_t reads = RegistryFileReadCount();
        QCOMPARE(walk(), 1000);
        QVERIFY(RegistryFileReadCount() - reads <= 1);
        // A change here, then one by another process of the same size and time:
        // each is seen, and read once.
        QVERIFY(RegSetDword(kApps + "\\Veldra Pocket map of M0000", "Current", 1));
        QCOMPARE(walk(), 999); // at once, before the new file is a few ticks old
        QByteArray theirs = root.ReadFile("registry.ini");
        theirs.replace("Current=dword:1", "Current=dword:0");
        const QDateTime stamp = QFileInfo(root.Host("registry.ini")).lastModified();
        reads = RegistryFileReadCount();
        QVERIFY(root.WriteFile("registry.ini", theirs));
        QFile file(root.Host("registry.ini"));
        QVERIFY(file.open(QIODevice::ReadWrite) &&
                file.setFileTime(stamp, QFileDevice::FileModificationTime));
        file.close();
        QThread::msleep(30);
        QCOMPARE(walk(), 1000);
        QVERIFY(RegistryFileReadCount() - reads <= 1);
    }

    void unreadableFileIsNotOverwritten() {
        CTestRoot root;
        // A registry that cannot be read (over 64 MiB) is never replaced.
        QFile file(root.Host("registry.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(65LL << 20));
        file.close();
        QVERIFY(!RegSetDword(kApps, "X", 1));
        QVERIFY(!RegCreateKey(kApps));
        QVERIFY(!RegDeleteKey("Software"));
        QCOMPARE(QFileInfo(file.fileName()).size(), 65LL << 20);
    }

    void malformedFile_data() {
        QTest::addColumn<QByteArray>("contents");
        // Bad lines between good ones, CRLF line ends, no last newline.
        QTest::newRow("bad lines") << QByteArray(
            "Orphan=sz:before any key\n[Software\\Apps\\Good] \t\r\nno equals sign\nBad=dword:12x\n"
            "Big=dword:4294967296\r\nNeg=dword:-1\nKind=blob:00\nName=sz:ok\n[unterminated\n"
            "Lost=sz:after a bad section\n[Software\\Apps\\Good]\r\nNum=dword:42");
        static const char kBadBytes[] = "[Software\\Apps\\Good]\nName=sz:ok\nNum=dword:42\n"
                                        "Esc=sz:%\n%zz=sz:%4\n\xff\xfe=sz:\xc3\n[%]\n\0\0\0\n";
        QTest::newRow("bad escapes and bytes") << QByteArray(kBadBytes, sizeof kBadBytes - 1);
    }

    void malformedFile() {
        QFETCH(QByteArray, contents);
        CTestRoot root;
        QVERIFY(root.WriteFile("registry.ini", contents));
        QCOMPARE(RegQueryString(kApps + "\\Good", "Name"), std::optional<QString>("ok"));
        QCOMPARE(RegQueryDword(kApps + "\\Good", "Num"), std::optional<uint32_t>(42));
        for (const QString bad : {"Bad", "Big", "Neg", "Kind", "Orphan", "Lost"})
            QVERIFY(!RegQueryDword(kApps + "\\Good", bad) &&
                    !RegQueryString(kApps + "\\Good", bad));
        QVERIFY(RegSetDword(kApps + "\\Good", "Current", 1));
        QCOMPARE(RegQueryString(kApps + "\\Good", "Name"), std::optional<QString>("ok"));
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args[1] == "--child-write") {
        SetDeviceRoot(args[2]);
        for (int i = 0; i < args[4].toInt(); ++i) {
            if (!RegSetDword("Software\\Stress", QStringLiteral("%1-%2").arg(args[3]).arg(i),
                             uint32_t(i)))
                return 1;
        }
        return 0;
    }
    if (args.size() == 3 && args[1] == "--child-lock-and-die") {
        const int fd = open(QFile::encodeName(args[2] + "/registry.ini.lock").constData(),
                            O_RDWR | O_CREAT, 0644);
        if (fd < 0 || flock(fd, LOCK_EX) != 0)
            return 1;
        _exit(0); // killed holding the lock: the lock file stays behind
    }
    TestRegistry test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_registry.moc"
