// The map library: which maps are listed and how, preselection at start-up,
// marking the current map, and deleting a map without ever reaching beyond it.

#include "app_test_support.h"

#include <QPushButton>
#include <QTest>
#include <unistd.h>

namespace {

// Titles of the list's rows in list order.
QStringList ListedTitles(const CMapLibraryDlg& dialog) {
    QStringList titles;
    for (int i = 0; i < dialog.MapList()->topLevelItemCount(); ++i)
        titles.append(dialog.MapList()->topLevelItem(i)->text(0));
    return titles;
}

// A map folder Veldra/Maps/<name> holding one file of the given size.
QString MakeFolder(const CTestRoot& root, const QString& name, int bytes = 100) {
    root.WriteFile(QStringLiteral("Veldra/Maps/%1/tile.cbm").arg(name), QByteArray(bytes, 'x'));
    return QStringLiteral("\\Veldra\\Maps\\") + name;
}

bool Link(const CTestRoot& root, const char* target, const char* link) {
    return ::symlink(qPrintable(root.Host(target)), qPrintable(root.Host(link))) == 0;
}

} // namespace

class TestMapLibrary : public QObject {
    Q_OBJECT
private slots:
    void listsOnlyMapsWithFilesSortedByTitleWithTheirSizes() {
        CTestRoot root;
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

        CMapLibraryDlg dialog;
        dialog.OnInitDialog();
        QCOMPARE(ListedTitles(dialog), QStringList({"alder Cross", "Mill End", "Zeta Vale"}));
        QStringList sizes; // in megabytes of 10^6 bytes, rounded half up
        for (int i = 0; i < 3; ++i)
            sizes.append(dialog.MapList()->topLevelItem(i)->text(1));
        QCOMPARE(sizes, QStringList({"0.01 MB", "1.23 MB", "0.00 MB"}));
        // The refill message lists maps added since.
        RegisterMap("Beech", MakeFolder(root, "b"));
        QEvent refill(QEvent::Type(CMapLibraryDlg::kRefillMessage));
        QCoreApplication::sendEvent(&dialog, &refill);
        QCOMPARE(ListedTitles(dialog),
                 QStringList({"alder Cross", "Beech", "Mill End", "Zeta Vale"}));
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
        const bool skip = maps.isEmpty() || !chosen.isEmpty();
        CMapLibraryDlg dialog;
        bool skipDialog = !skip;
        QCOMPARE(dialog.PreselectMap(skipDialog), !maps.isEmpty()); // false: no key to read
        QCOMPARE(skipDialog, skip);
        QCOMPARE(dialog.m_strMapTitle, chosen);
        QCOMPARE(dialog.m_strMapFolder, chosen.isEmpty() ? QString() : "\\Veldra\\Maps\\" + chosen);
        // The chosen map is marked current and every other map released; a
        // key without InstallDir is no map and keeps what it had.
        for (const QString& map : maps) {
            const QString title = map.section(u'=', 0, 0);
            if (!chosen.isEmpty())
                QCOMPARE(CurrentValue(title), title == chosen || title == "NoDir" ? 1 : 0);
        }
    }

    void openMapMarksEveryKeyOfTheChosenFolder() {
        CTestRoot root;
        const QString shared = MakeFolder(root, "shared");
        RegisterMap("Town", shared, 0);
        RegisterMap("Town Again", shared);
        RegisterMap("Elsewhere", MakeFolder(root, "else"), 1);
        // Same folder spelled in another case: not the same text, not marked.
        RegisterMap("Town Upper", "\\Veldra\\Maps\\SHARED");
        CMapLibraryDlg dialog;
        dialog.OnInitDialog();
        RowOf(dialog, "Town Again")->setSelected(true);
        dialog.OnOK();
        QCOMPARE(dialog.m_strMapFolder, shared);
        QCOMPARE(CurrentValue("Town"), 1);
        QCOMPARE(CurrentValue("Town Again"), 1);
        QCOMPARE(CurrentValue("Elsewhere"), 0);
        QCOMPARE(CurrentValue("Town Upper"), 0);
    }

    void clickInTheListEnablesButtonsWhichThenNeedARow() {
        CTestRoot root;
        RegisterMap("Only", MakeFolder(root, "only"));
        CScriptedUi ui;
        CMapLibraryDlg dialog;
        dialog.OnInitDialog();
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(!dialog.OpenButton()->isEnabled() && !dialog.DeleteButton()->isEnabled());
        // A click below the last row selects nothing but enables both buttons.
        QWidget* viewport = dialog.MapList()->viewport();
        QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(5, viewport->height() - 3));
        QVERIFY(dialog.OpenButton()->isEnabled() && dialog.DeleteButton()->isEnabled());
        QVERIFY(dialog.MapList()->selectedItems().isEmpty());
        dialog.OpenButton()->click();
        dialog.DeleteButton()->click();
        QVERIFY(dialog.isVisible() && ui.m_events.isEmpty()); // no choice, no question
        QVERIFY(dialog.m_strMapTitle.isEmpty());
    }

    void deleteAsksThenRemovesOnlyTheFirstSelectedMap_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("installDir"); // of the map deleted
        const QString doomed = QStringLiteral("\\Veldra\\Maps\\doomed");
        QTest::newRow("No leaves everything") << int(QMessageBox::No) << doomed;
        QTest::newRow("Yes removes folder and key") << int(QMessageBox::Yes) << doomed;
        // Folders holding more than one map are never deleted; the key goes.
        const int yes = QMessageBox::Yes;
        QTest::newRow("empty") << yes << "";
        QTest::newRow("device root") << yes << "\\";
        QTest::newRow("map store") << yes << "\\Veldra\\Maps";
        QTest::newRow("map store, other spelling") << yes << "/veldra/maps/";
        QTest::newRow("holds the map store") << yes << "\\Veldra";
        QTest::newRow("climbs to the root") << yes << "\\Veldra\\Maps\\..\\..";
    }
    void deleteAsksThenRemovesOnlyTheFirstSelectedMap() {
        QFETCH(int, answer);
        QFETCH(QString, installDir);
        const bool yes = answer == QMessageBox::Yes;
        CTestRoot root;
        const QString doomed = MakeFolder(root, "doomed");
        root.WriteFile("Veldra/Maps/doomed/sub/deeper/x.idx", "idx");
        root.WriteFile("top.txt", "top");
        RegisterMap("Doomed", installDir);
        RegisterMap("Doomed Too", MakeFolder(root, "doomed2"));
        RegisterMap("Other", MakeFolder(root, "other"));
        CScriptedUi ui;
        ui.Answer(answer);
        CMapLibraryDlg dialog;
        dialog.OnInitDialog();
        RowOf(dialog, "Doomed Too")->setSelected(true);
        QTreeWidgetItem* row = RowOf(dialog, "Doomed");
        QVERIFY(row); // listed: its folder holds files
        row->setSelected(true);
        dialog.OnDeleteMap(); // only the first selected in list order goes
        QCOMPARE(ui.MessageTexts(),
                 QStringList{"Are you sure you want to delete the \"Doomed\" map?"});
        QCOMPARE(ui.m_messages[0].buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(RegKeyExists(MapKey("Doomed")), !yes);
        QCOMPARE(root.Exists(QStringLiteral("Veldra/Maps/doomed")), !yes || installDir != doomed);
        QVERIFY(RegKeyExists(MapKey("Doomed Too")));
        for (const char* kept :
             {"Veldra/Maps/doomed2/tile.cbm", "Veldra/Maps/other/tile.cbm", "top.txt"})
            QVERIFY2(root.Exists(kept), kept);
        QCOMPARE(ListedTitles(dialog), yes ? QStringList({"Doomed Too", "Other"})
                                           : QStringList({"Doomed", "Doomed Too", "Other"}));
    }

    void folderWalksNeverFollowLinks() {
        CTestRoot root;
        root.WriteFile("outside/precious.txt", QByteArray(5000, 'p'));
        root.WriteFile("Veldra/Maps/victim.txt", "keep me too");
        root.WriteFile("Veldra/Maps/m/a.cbm", QByteArray(300, 'x'));
        root.WriteFile("Veldra/Maps/m/sub/b.cbm", QByteArray(20, 'x'));
        QVERIFY(Link(root, "outside", "Veldra/Maps/m/link"));
        QVERIFY(Link(root, "outside/precious.txt", "Veldra/Maps/m/sub/file-link"));
        QVERIFY(Link(root, "Veldra/Maps", "Veldra/Maps/m/loop")); // would never end
        // A name that reads as a path out of the folder is only a name.
        root.WriteFile("Veldra/Maps/m/..\\victim.txt", "odd");

        QCOMPARE(CMapLibraryDlg::GetFolderSize(QStringLiteral("\\Veldra\\Maps\\m")), 323u);
        QVERIFY(CMapLibraryDlg::DeleteFolderTree("\\Veldra\\Maps\\m"));
        QCOMPARE(root.ReadFile(QStringLiteral("outside/precious.txt")), QByteArray(5000, 'p'));
        QCOMPARE(root.ReadFile(QStringLiteral("Veldra/Maps/victim.txt")),
                 QByteArray("keep me too"));
        QVERIFY(!QFileInfo(root.Host("Veldra/Maps/m/link")).isSymLink());
        QVERIFY(!root.Exists("Veldra/Maps/m"));
        // The folder given as a link: the link goes, its target stays.
        QVERIFY(Link(root, "outside", "Veldra/Maps/linked"));
        QVERIFY(CMapLibraryDlg::DeleteFolderTree("\\Veldra\\Maps\\linked"));
        QVERIFY(!QFileInfo(root.Host("Veldra/Maps/linked")).isSymLink());
        QVERIFY(root.Exists("outside/precious.txt"));
    }
};

QTEST_MAIN(TestMapLibrary)
#include "test_map_library.moc"
