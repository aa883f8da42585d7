// Installed maps without a window: listing, preselection, the current map, deletion.

#include "platform/file_system.h"
#include "store/installed_maps.h"
#include "test_support.h"

#include <QTest>

namespace {} // namespace

class TestInstalledMaps : public QObject {
    Q_OBJECT
private slots:
    // Maps registered under MapKey are listed by their titles.
    void listsOnlyReadableMapsWithFilesAndTheirSizes() {
        CTestRoot root;
        QCOMPARE(MapKey("Mill End"), QString("Software\\Apps\\Veldra Pocket map of Mill End"));
        QVERIFY(!ListLibraryMaps()); // no registry at all: nothing can be read
        RegisterMap("Zeta Vale", MakeFolder(root, "z", 1));
        RegisterMap("alder Cross", MakeFolder(root, "a", 5001));
        // 1 234 567 bytes, some in a sub-folder.
        RegisterMap("Mill End", MakeFolder(root, "m", 1000000));
        root.WriteFile("Veldra/Maps/m/deep/er/more", QByteArray(234567, 'x'));
        // Not maps, or not readable, or without files.
        RegSetString(MapKey("No Folder Value"), "Other", "x");
        root.MakeDir("Veldra/Maps/empty/sub");
        RegisterMap("Empty Folder", "\\Veldra\\Maps\\empty");
        RegisterMap("Missing Folder", "\\Veldra\\Maps\\gone");
        RegSetString(kAppsKey + "\\veldra pocket map of Lower", "InstallDir",
                     MakeFolder(root, "l"));
        RegSetString(kAppsKey + "\\Some Other App", "InstallDir", MakeFolder(root, "o"));
        // Longer than an InstallDir value can be: cannot be read, so not a map.
        RegisterMap("Long Folder", MakeFolder(root, QString(45, u'q') + "/inner"));

        const auto maps = ListLibraryMaps();
        QVERIFY(maps);
        QMap<QString, QString> listed; // title -> size as shown
        for (const ListedMap& map : *maps)
            listed.insert(map.title, FormatMapSize(map.size));
        const QMap<QString, QString> expected{
            {"Zeta Vale", "0.00 MB"}, {"alder Cross", "0.01 MB"}, {"Mill End", "1.23 MB"}};
        QCOMPARE(listed, expected);
    }

    void preselectionAtStartUp_data() {
        // "title" or "title=current"; "Gone" has no files, "NoDir" no InstallDir.
        QTest::addColumn<QStringList>("maps"); // none: no installed-map key at all
        QTest::addColumn<QString>("chosen");   // none: the library must be shown
        QTest::newRow("no installed-map key") << QStringList{} << "";
        QTest::newRow("only map, never opened") << QStringList{"Solo"} << "Solo";
        QTest::newRow("two, none current") << QStringList{"One", "Two"} << "";
        QTest::newRow("two, second current") << QStringList{"One=0", "Two=1"} << "Two";
        QTest::newRow("two marked, the last wins") << QStringList{"One=1", "Two=1"} << "Two";
        QTest::newRow("unlisted ones do not count")
            << QStringList{"Gone=1", "Solo=0", "NoDir=1"} << "Solo";
        QTest::newRow("nothing installed") << QStringList{"Gone=1"} << "";
    }
    void preselectionAtStartUp() {
        QFETCH(QStringList, maps);
        QFETCH(QString, chosen);
        CTestRoot root;
        for (const QString& map : maps) {
            const QString title = map.section(u'=', 0, 0);
            const int current = map.contains(u'=') ? map.section(u'=', 1).toInt() : -1;
            if (title == "NoDir")
                RegSetDword(MapKey(title), "Current", uint32_t(current));
            else
                RegisterMap(title,
                            title == QStringLiteral("Gone") ? QStringLiteral("\\Veldra\\Maps\\gone")
                                                            : MakeFolder(root, title),
                            current);
        }
        const std::optional<ListedMap> result = PreselectInstalledMap();
        QCOMPARE(bool(result), !maps.isEmpty()); // nothing: no key to read
        if (!result)
            return;
        QCOMPARE(result->title, chosen);
        QCOMPARE(result->folder, chosen.isEmpty() ? QString() : "\\Veldra\\Maps\\" + chosen);
        // The chosen map is current, others released; a key without InstallDir keeps its value.
        for (const QString& map : maps) {
            const QString title = map.section(u'=', 0, 0);
            if (!chosen.isEmpty())
                QCOMPARE(CurrentValue(title), title == chosen || title == "NoDir" ? 1 : 0);
        }
    }

    void markingCurrentComparesTheFolderTextExactly() {
        CTestRoot root;
        const QString shared = MakeFolder(root, "shared");
        RegisterMap("Town", shared, 0);
        RegisterMap("Town Again", shared);
        RegisterMap("Elsewhere", MakeFolder(root, "else"), 1);
        // Same folder spelled in another case: not the same text, not marked.
        RegisterMap("Town Upper", "\\Veldra\\Maps\\SHARED");
        // One registry write (two flushes) for the change, none when nothing changes.
        for (const uint64_t flushes : {2, 0}) {
            const uint64_t before = DiskSyncCount();
            QVERIFY(MarkCurrentMap(shared));
            QCOMPARE(DiskSyncCount() - before, flushes);
        }
        QCOMPARE(CurrentValue("Town"), 1);
        QCOMPARE(CurrentValue("Town Again"), 1);
        QCOMPARE(CurrentValue("Elsewhere"), 0);
        QCOMPARE(CurrentValue("Town Upper"), 0);
    }

    void deletionNeverTakesMoreThanOneMap_data() {
        QTest::addColumn<QString>("installDir"); // of the map deleted
        QTest::newRow("its own folder") << "\\Veldra\\Maps\\doomed";
        // Folders holding more than one map are never deleted; the key goes.
        QTest::newRow("empty") << "";
        QTest::newRow("device root") << "\\";
        QTest::newRow("map store") << "\\Veldra\\Maps";
        QTest::newRow("map store, other spelling") << "/veldra/maps/";
        QTest::newRow("holds the map store") << "\\Veldra";
        QTest::newRow("climbs to the root") << "\\Veldra\\Maps\\..\\..";
    }
    void deletionNeverTakesMoreThanOneMap() {
        QFETCH(QString, installDir);
        CTestRoot root;
        const QString doomed = MakeFolder(root, "doomed");
        root.WriteFile("Veldra/Maps/doomed/sub/deeper/x.idx", "idx");
        root.WriteFile("top.txt", "top");
        RegisterMap("Doomed", installDir);
        RegisterMap("Other", MakeFolder(root, "other"));
        QVERIFY(DeleteInstalledMap("Doomed", installDir));
        QVERIFY(!RegKeyExists(MapKey("Doomed")));
        QCOMPARE(root.Exists(QStringLiteral("Veldra/Maps/doomed")), installDir != doomed);
        QVERIFY(RegKeyExists(MapKey("Other")));
        for (const char* kept : {"Veldra/Maps/other/tile.cbm", "top.txt"})
            QVERIFY2(root.Exists(kept), kept);
    }
};

QTEST_MAIN(TestInstalledMaps)
#include "test_installed_maps.moc"
