#include "platform/registry.h"
#include "test_support.h"

#include <QLockFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QtTest>

#include <unistd.h>

// The test program doubles as a second process: "--child-write ROOT TAG N"
// writes N values Software\Stress\TAG-i = i; "--child-lock-and-die ROOT" takes
// the registry lock and ends without releasing it.

namespace {

const QString kApps = QStringLiteral("Software\\Apps");

QString ProgramPath() {
    return QCoreApplication::applicationFilePath();
}

} // namespace

class TestRegistry : public QObject {
    Q_OBJECT

private slots:
    void textRoundTrip_data();
    void textRoundTrip();
    void dwordRoundTrip_data();
    void dwordRoundTrip();
    void valueTypeIsKept();
    void enumerationIsSortedAndDirect();
    void keysAreCaseSensitive();
    void keyPathsAreNormalised();
    void deleteTakesSubkeys();
    void createKeyMakesParents();
    void seesChangesOfOthers();
    void concurrentWritersLoseNothing();
    void crashedWriteLosesNothing();
    void unreadableFileIsNotOverwritten();
    void malformedFile_data();
    void malformedFile();
    void randomBytesDoNotCrash();
};

void TestRegistry::textRoundTrip_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("text");
    const QString map = kApps + "\\Veldra Pocket map of Northcombe";
    QTest::newRow("plain") << map << "InstallDir"
                           << "\\Veldra\\Maps\\Northcombe";
    QTest::newRow("empty text") << map << "Note"
                                << "";
    QTest::newRow("empty value name") << map << ""
                                      << "default";
    QTest::newRow("newlines") << map << "Multi"
                              << "line 1\nline 2\r\nline 3\n";
    QTest::newRow("escape look-alikes") << map << "P"
                                        << "%41 %% %zz % 100%";
    QTest::newRow("section look-alike") << map << "S"
                                        << "[Software\\Apps]\n[x]";
    QTest::newRow("value look-alike") << map << "V"
                                      << "\nA=sz:b\nC=dword:5";
    QTest::newRow("comment look-alikes") << map << ";#"
                                         << "; not a comment";
    QTest::newRow("spaces kept") << map << " spaced name "
                                 << "  two leading, one trailing ";
    QTest::newRow("tabs and controls") << map << "T" << QString("a\tb") + QChar(1) + QChar(0x7f);
    QTest::newRow("non-ASCII") << map << "Straße"
                               << "Ærø – 東京 😀";
    QTest::newRow("NUL inside") << map << "N" << QString("a") + QChar(0) + "b";
    QTest::newRow("odd value name") << map << "a=b[c]\\d%e\n"
                                    << "x";
    QTest::newRow("odd key name") << kApps + "\\Veldra Pocket map of [A=B] %20;#x"
                                  << "InstallDir"
                                  << "\\Veldra\\Maps\\A";
    QTest::newRow("long text") << map << "L" << QString(100000, QChar(u'z'));
}

void TestRegistry::textRoundTrip() {
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, text);
    CTestRoot root;
    QVERIFY(RegSetDword(key, "Current", 1));
    QVERIFY(RegSetString(key, value, text));
    QCOMPARE(RegQueryString(key, value), std::optional<QString>(text));
    QCOMPARE(RegQueryDword(key, "Current"), std::optional<uint32_t>(1));
    QVERIFY(!RegQueryDword(key, value)); // text is not a number
    const std::optional<QStringList> subkeys = RegEnumSubkeys(kApps);
    QVERIFY(subkeys);
    QCOMPARE(*subkeys, QStringList{key.section('\\', 2)});
}

void TestRegistry::dwordRoundTrip_data() {
    QTest::addColumn<uint>("number");
    QTest::newRow("0") << 0u;
    QTest::newRow("1") << 1u;
    QTest::newRow("2^31") << 0x80000000u;
    QTest::newRow("max") << 0xffffffffu;
}

void TestRegistry::dwordRoundTrip() {
    QFETCH(uint, number);
    CTestRoot root;
    QVERIFY(RegSetDword(kApps + "\\K", "Current", number));
    QCOMPARE(RegQueryDword(kApps + "\\K", "Current"), std::optional<uint32_t>(number));
    QVERIFY(!RegQueryString(kApps + "\\K", "Current"));
}

void TestRegistry::valueTypeIsKept() {
    CTestRoot root;
    QVERIFY(!RegQueryString(kApps, "X")); // no registry file yet
    QVERIFY(RegSetString(kApps, "X", "123"));
    QVERIFY(!RegQueryDword(kApps, "X")); // text that looks like a number stays text
    QVERIFY(RegSetDword(kApps, "X", 7));
    QVERIFY(!RegQueryString(kApps, "X"));
    QCOMPARE(RegQueryDword(kApps, "X"), std::optional<uint32_t>(7));
    QVERIFY(!RegQueryDword(kApps, "Y"));
    QVERIFY(!RegQueryDword(kApps + "\\Missing", "X"));
}

void TestRegistry::enumerationIsSortedAndDirect() {
    CTestRoot root;
    for (const QString name :
         {"b", "Veldra Pocket map of Zeta", "a", "A", "Veldra Pocket map of Alpha", "c\\deep\\er"})
        QVERIFY(RegCreateKey(kApps + "\\" + name));
    QVERIFY(RegSetString(kApps + "\\b\\child", "v", "x"));
    const QStringList expected{
        "A", "Veldra Pocket map of Alpha", "Veldra Pocket map of Zeta", "a", "b", "c"};
    QCOMPARE(RegEnumSubkeys(kApps), std::optional<QStringList>(expected));
    QCOMPARE(RegEnumSubkeys("Software"), std::optional<QStringList>(QStringList{"Apps"}));
    QCOMPARE(RegEnumSubkeys(kApps + "\\a"), std::optional<QStringList>(QStringList{}));
    QVERIFY(!RegEnumSubkeys(kApps + "\\missing"));
    // The order does not depend on the order of creation or of the file.
    QVERIFY(RegCreateKey(kApps + "\\0 first"));
    QCOMPARE(RegEnumSubkeys(kApps)->first(), QString("0 first"));
}

void TestRegistry::keysAreCaseSensitive() {
    CTestRoot root;
    QVERIFY(RegSetString(kApps + "\\Map", "InstallDir", "\\x"));
    QVERIFY(RegKeyExists(kApps + "\\Map"));
    QVERIFY(!RegKeyExists("software\\apps\\map"));
    QVERIFY(!RegQueryString(kApps + "\\MAP", "InstallDir"));
    QVERIFY(!RegQueryString(kApps + "\\Map", "installdir"));
    QVERIFY(RegSetString(kApps + "\\MAP", "InstallDir", "\\y"));
    QCOMPARE(RegEnumSubkeys(kApps), std::optional<QStringList>(QStringList{"MAP", "Map"}));
    QCOMPARE(RegQueryString(kApps + "\\Map", "InstallDir"), std::optional<QString>("\\x"));
}

void TestRegistry::keyPathsAreNormalised() {
    CTestRoot root;
    QVERIFY(RegSetDword("\\Software\\\\Apps\\K\\", "V", 3));
    QCOMPARE(RegQueryDword("Software\\Apps\\K", "V"), std::optional<uint32_t>(3));
    QVERIFY(RegKeyExists(""));         // the root key
    QVERIFY(!RegSetDword("", "V", 1)); // values need a key
    QVERIFY(!RegSetDword("\\", "V", 1));
    QCOMPARE(RegEnumSubkeys(""), std::optional<QStringList>(QStringList{"Software"}));
}

void TestRegistry::deleteTakesSubkeys() {
    CTestRoot root;
    QVERIFY(RegSetString(kApps + "\\M\\Sub\\Deeper", "v", "1"));
    QVERIFY(RegSetString(kApps + "\\M", "InstallDir", "\\Veldra\\Maps\\M"));
    QVERIFY(RegSetString(kApps + "\\M x", "InstallDir", "\\Veldra\\Maps\\Mx"));
    QVERIFY(RegSetString(kApps + "\\Ma", "InstallDir", "\\Veldra\\Maps\\Ma"));

    QVERIFY(RegDeleteKey(kApps + "\\M"));
    QVERIFY(!RegKeyExists(kApps + "\\M"));
    QVERIFY(!RegKeyExists(kApps + "\\M\\Sub\\Deeper"));
    QVERIFY(!RegQueryString(kApps + "\\M\\Sub\\Deeper", "v"));
    QCOMPARE(RegEnumSubkeys(kApps), std::optional<QStringList>(QStringList{"M x", "Ma"}));
    QCOMPARE(RegQueryString(kApps + "\\Ma", "InstallDir"),
             std::optional<QString>("\\Veldra\\Maps\\Ma"));
    QVERIFY(!RegDeleteKey(kApps + "\\M"));
    QVERIFY(!RegDeleteKey(""));
    QVERIFY(RegKeyExists(kApps));
}

void TestRegistry::createKeyMakesParents() {
    CTestRoot root;
    QVERIFY(RegCreateKey("A\\B\\C"));
    QVERIFY(RegKeyExists("A") && RegKeyExists("A\\B") && RegKeyExists("A\\B\\C"));
    QVERIFY(RegCreateKey("A\\B\\C")); // exists afterwards
    // A parent keeps existing when only its child is deleted.
    QVERIFY(RegDeleteKey("A\\B\\C"));
    QVERIFY(RegKeyExists("A\\B"));
    QCOMPARE(RegEnumSubkeys("A\\B"), std::optional<QStringList>(QStringList{}));
}

void TestRegistry::seesChangesOfOthers() {
    CTestRoot root;
    QVERIFY(RegSetDword(kApps + "\\Mine", "Current", 0));
    // Another process replaces the file; the next call reads the new file.
    const QByteArray other = root.ReadFile("registry.ini") +
                             "\n[Software\\Apps\\Theirs]\nInstallDir=sz:\\Veldra\\Maps\\T\n";
    QVERIFY(root.WriteFile("registry.ini", other));
    QCOMPARE(RegEnumSubkeys(kApps), std::optional<QStringList>(QStringList{"Mine", "Theirs"}));
    QCOMPARE(RegQueryString(kApps + "\\Theirs", "InstallDir"),
             std::optional<QString>("\\Veldra\\Maps\\T"));
    // A change made here keeps what the other process wrote.
    QVERIFY(RegSetDword(kApps + "\\Mine", "Current", 1));
    QCOMPARE(RegQueryString(kApps + "\\Theirs", "InstallDir"),
             std::optional<QString>("\\Veldra\\Maps\\T"));
    QCOMPARE(RegQueryDword(kApps + "\\Mine", "Current"), std::optional<uint32_t>(1));
}

void TestRegistry::concurrentWritersLoseNothing() {
    CTestRoot root;
    constexpr int kEach = 25;
    QList<QProcess*> children;
    for (const QString tag : {"p1", "p2"}) {
        auto* child = new QProcess(this);
        child->start(ProgramPath(), {"--child-write", root.Path(), tag, QString::number(kEach)});
        children.append(child);
    }
    for (int i = 0; i < kEach; ++i)
        QVERIFY(RegSetDword("Software\\Stress", QStringLiteral("me-%1").arg(i), uint32_t(i)));
    for (QProcess* child : children) {
        QVERIFY(child->waitForFinished(60000));
        QCOMPARE(child->exitStatus(), QProcess::NormalExit);
        QCOMPARE(child->exitCode(), 0);
        delete child;
    }
    for (const QString tag : {"me", "p1", "p2"}) {
        for (int i = 0; i < kEach; ++i) {
            QCOMPARE(RegQueryDword("Software\\Stress", QStringLiteral("%1-%2").arg(tag).arg(i)),
                     std::optional<uint32_t>(i));
        }
    }
}

void TestRegistry::crashedWriteLosesNothing() {
    CTestRoot root;
    QVERIFY(RegSetString(kApps + "\\Veldra Pocket map of A", "InstallDir", "\\Veldra\\Maps\\A"));
    QVERIFY(RegSetDword(kApps + "\\Veldra Pocket map of A", "Current", 1));
    const QByteArray before = root.ReadFile("registry.ini");

    {
        // A writer that dies half way: its new file is never committed.
        QSaveFile partial(root.Host("registry.ini"));
        QVERIFY(partial.open(QIODevice::WriteOnly));
        partial.write("[Software\\Apps\\Veldra Pocket m");
    }
    // Left-overs of earlier crashes, and a lock of a process that has died.
    QVERIFY(root.WriteFile("registry.ini.tmp", "[Software\\Apps\\Half"));
    QVERIFY(root.WriteFile("registry.ini.Ab12Cd", "garbage"));
    QProcess locker;
    locker.start(ProgramPath(), {"--child-lock-and-die", root.Path()});
    QVERIFY(locker.waitForFinished(30000));
    QCOMPARE(locker.exitCode(), 0);
    QVERIFY(root.Exists("registry.ini.lock"));

    QCOMPARE(root.ReadFile("registry.ini"), before);
    QCOMPARE(RegQueryString(kApps + "\\Veldra Pocket map of A", "InstallDir"),
             std::optional<QString>("\\Veldra\\Maps\\A"));
    // The next change takes over the dead lock and keeps every entry.
    QVERIFY(RegSetString(kApps + "\\Veldra Pocket map of B", "InstallDir", "\\Veldra\\Maps\\B"));
    QCOMPARE(RegQueryDword(kApps + "\\Veldra Pocket map of A", "Current"),
             std::optional<uint32_t>(1));
    QCOMPARE(RegEnumSubkeys(kApps), std::optional<QStringList>(QStringList{
                                        "Veldra Pocket map of A", "Veldra Pocket map of B"}));
    QVERIFY(!root.Exists("registry.ini.lock"));
}

void TestRegistry::unreadableFileIsNotOverwritten() {
    CTestRoot root;
    // A registry that cannot be read (here: a folder in its place) must make
    // changes fail rather than replace it with a registry holding only them.
    QVERIFY(root.MakeDir("registry.ini/keep"));
    QVERIFY(!RegSetDword(kApps, "X", 1));
    QVERIFY(!RegCreateKey(kApps));
    QVERIFY(!RegDeleteKey("Software"));
    QVERIFY(!RegKeyExists(kApps));
    QVERIFY(!RegEnumSubkeys(""));
    QVERIFY(QFileInfo(root.Host("registry.ini/keep")).isDir());
}

void TestRegistry::malformedFile_data() {
    QTest::addColumn<QByteArray>("contents");
    QTest::newRow("bad lines between good ones") << QByteArray("Orphan=sz:before any key\n"
                                                               "[Software\\Apps\\Good]\n"
                                                               "no equals sign\n"
                                                               "Bad=dword:12x\n"
                                                               "Big=dword:4294967296\n"
                                                               "Neg=dword:-1\n"
                                                               "Empty=dword:\n"
                                                               "Kind=blob:00\n"
                                                               "Name=sz:ok\n"
                                                               "[unterminated\n"
                                                               "Lost=sz:after a bad section\n"
                                                               "[]\n"
                                                               "AlsoLost=sz:x\n"
                                                               "[Software\\Apps\\Good]\n"
                                                               "Num=dword:42\n");
    QTest::newRow("CRLF and a missing last newline")
        << QByteArray("[Software\\Apps\\Good] \t\r\nName=sz:ok\r\nNum=dword:42");
    static const char kBadBytes[] = "[Software\\Apps\\Good]\nName=sz:ok\nNum=dword:42\n"
                                    "Esc=sz:%\n%zz=sz:%4\n\xff\xfe=sz:\xc3\n[%]\n\0\0\0\n";
    QTest::newRow("bad escapes and bytes") << QByteArray(kBadBytes, sizeof kBadBytes - 1);
}

void TestRegistry::malformedFile() {
    QFETCH(QByteArray, contents);
    CTestRoot root;
    QVERIFY(root.WriteFile("registry.ini", contents));
    QCOMPARE(RegQueryString(kApps + "\\Good", "Name"), std::optional<QString>("ok"));
    QCOMPARE(RegQueryDword(kApps + "\\Good", "Num"), std::optional<uint32_t>(42));
    for (const QString bad : {"Bad", "Big", "Neg", "Empty", "Kind", "Orphan", "Lost", "AlsoLost"}) {
        QVERIFY(!RegQueryDword(kApps + "\\Good", bad));
        QVERIFY(!RegQueryString(kApps + "\\Good", bad));
    }
    QVERIFY(RegSetDword(kApps + "\\Good", "Current", 1));
    QCOMPARE(RegQueryString(kApps + "\\Good", "Name"), std::optional<QString>("ok"));
    QCOMPARE(RegQueryDword(kApps + "\\Good", "Current"), std::optional<uint32_t>(1));
}

void TestRegistry::randomBytesDoNotCrash() {
    CTestRoot root;
    QRandomGenerator random(20240607);
    for (int round = 0; round < 50; ++round) {
        QByteArray bytes(int(random.bounded(4000)), Qt::Uninitialized);
        // Mostly the format's own characters, so that lines get far in parsing.
        static const char kAlphabet[] = "[]\\=%:;#\n\r szdwor09AF\xc3\xff";
        for (char& c : bytes)
            c = kAlphabet[random.bounded(int(sizeof kAlphabet - 1))];
        QVERIFY(root.WriteFile("registry.ini", bytes));
        RegKeyExists("Software");
        RegEnumSubkeys("");
        QVERIFY(RegSetString("Software\\After", "v", "w"));
        QCOMPARE(RegQueryString("Software\\After", "v"), std::optional<QString>("w"));
    }
}

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
        QLockFile lock(args[2] + "/registry.ini.lock");
        if (!lock.tryLock(0))
            return 1;
        _exit(0); // no unlock: the lock file stays behind
    }
    TestRegistry test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_registry.moc"
