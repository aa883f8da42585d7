// The map library: which maps are listed and how, preselection at start-up,
// marking the current map, and deleting a map without ever reaching beyond it.

#include "app_test_support.h"
#include "store/map_library_dlg.h"

#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <unistd.h>

namespace {

// Titles of the list's rows in list order.
QStringList ListedTitles(const CMapLibraryDlg& dialog) {
    QStringList titles;
    for (int i = 0; i < dialog.MapList()->topLevelItemCount(); ++i)
        titles.append(dialog.MapList()->topLevelItem(i)->text(0));
    return titles;
}

QTreeWidgetItem* RowOf(const CMapLibraryDlg& dialog, const QString& title) {
    for (int i = 0; i < dialog.MapList()->topLevelItemCount(); ++i)
        if (dialog.MapList()->topLevelItem(i)->text(0) == title)
            return dialog.MapList()->topLevelItem(i);
    return nullptr;
}

// A map folder Veldra/Maps/<name> holding one file of the given size.
QString MakeFolder(const CTestRoot& root, const QString& name, int bytes = 100) {
    root.WriteFile(QStringLiteral("Veldra/Maps/") + name + QStringLiteral("/tile.cbm"),
                   QByteArray(bytes, 'x'));
    return QStringLiteral("\\Veldra\\Maps\\") + name;
}

} // namespace

class TestMapLibrary : public QObject {
    Q_OBJECT
private slots:
    void sizeColumnShowsDecimalMegabytes_data() {
        QTest::addColumn<QList<int>>("files"); // sizes; a negative size goes in a sub-folder
        QTest::addColumn<QString>("shown");
        QTest::newRow("1 234 567 bytes") << QList<int>{1234567} << "1.23 MB";
        QTest::newRow("one byte") << QList<int>{1} << "0.00 MB";
        QTest::newRow("rounds half up") << QList<int>{5000, 1} << "0.01 MB";
        QTest::newRow("sub-folders count") << QList<int>{1000000, -2000000} << "3.00 MB";
    }
    void sizeColumnShowsDecimalMegabytes() {
        QFETCH(QList<int>, files);
        QFETCH(QString, shown);
        CTestRoot root;
        for (int i = 0; i < files.size(); ++i) {
            const QString sub = files[i] < 0 ? QStringLiteral("deep/er/") : QString();
            root.WriteFile(QStringLiteral("Veldra/Maps/m/%1f%2").arg(sub).arg(i),
                           QByteArray(qAbs(files[i]), 'x'));
        }
        RegisterMap(QStringLiteral("Map"), QStringLiteral("\\Veldra\\Maps\\m"));
        CMapLibraryDlg dialog;
        dialog.OnInitDialog();
        QCOMPARE(ListedTitles(dialog), QStringList{"Map"});
        QCOMPARE(dialog.MapList()->topLevelItem(0)->text(1), shown);
    }

    void listsOnlyReadableMapsWithFilesSortedByTitle() {
        CTestRoot root;
        RegisterMap(QStringLiteral("Zeta Vale"), MakeFolder(root, "z"));
        RegisterMap(QStringLiteral("alder Cross"), MakeFolder(root, "a"));
        RegisterMap(QStringLiteral("Mill End"), MakeFolder(root, "m"));
        // Not maps, or not readable, or without files.
        RegSetString(MapKey("No Folder Value"), QStringLiteral("Other"), QStringLiteral("x"));
        root.MakeDir(QStringLiteral("Veldra/Maps/empty/sub"));
        RegisterMap(QStringLiteral("Empty Folder"), QStringLiteral("\\Veldra\\Maps\\empty"));
        RegisterMap(QStringLiteral("Missing Folder"), QStringLiteral("\\Veldra\\Maps\\gone"));
        RegSetString(kAppsKey + QStringLiteral("\\veldra pocket map of Lower"),
                     QStringLiteral("InstallDir"), MakeFolder(root, "l"));
        RegSetString(kAppsKey + QStringLiteral("\\Some Other App"), QStringLiteral("InstallDir"),
                     MakeFolder(root, "o"));
        // Longer than an InstallDir value can be: cannot be read, so not a map.
        root.MakeDir(QStringLiteral("Veldra/Maps/") + QString(45, u'q'));
        RegisterMap(QStringLiteral("Long Folder"),
                    MakeFolder(root, QString(45, u'q') + QStringLiteral("/inner")));

        CMapLibraryDlg dialog;
        dialog.OnInitDialog();
        QCOMPARE(ListedTitles(dialog), QStringList({"alder Cross", "Mill End", "Zeta Vale"}));
        QCOMPARE(dialog.MapList()->topLevelItem(1)->text(2), QStringLiteral("\\Veldra\\Maps\\m"));
        QVERIFY(dialog.MapList()->isColumnHidden(2));
        QCOMPARE(dialog.MapList()->headerItem()->text(0), QStringLiteral("Map"));
        QCOMPARE(dialog.MapList()->headerItem()->text(1), QStringLiteral("Size"));
    }

    void refillMessageListsMapsAddedSince() {
        CTestRoot root;
        RegisterMap(QStringLiteral("First"), MakeFolder(root, "f"));
        CMapLibraryDlg dialog;
        dialog.OnInitDialog();
        RegisterMap(QStringLiteral("Second"), MakeFolder(root, "s"));
        QCOMPARE(ListedTitles(dialog), QStringList{"First"});
        QEvent refill(QEvent::Type(CMapLibraryDlg::kRefillMessage));
        QCoreApplication::sendEvent(&dialog, &refill);
        QCOMPARE(ListedTitles(dialog), QStringList({"First", "Second"}));
    }

    void preselectionAtStartUp_data() {
        QTest::addColumn<QStringList>("maps"); // "title|folder|current", folder "-" has no files
        QTest::addColumn<bool>("skip");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("only map, never opened") << QStringList{"Solo|a|"} << true << "Solo";
        QTest::newRow("two, none current") << QStringList{"One|a|", "Two|b|"} << false << "";
        QTest::newRow("two, second current") << QStringList{"One|a|0", "Two|b|1"} << true << "Two";
        QTest::newRow("two marked, the last wins")
            << QStringList{"One|a|1", "Two|b|1"} << true << "Two";
        QTest::newRow("unlisted ones do not count")
            << QStringList{"Gone|-|1", "Solo|a|0", "NoDir||"} << true << "Solo";
        QTest::newRow("nothing installed") << QStringList{"Gone|-|1"} << false << "";
    }
    void preselectionAtStartUp() {
        QFETCH(QStringList, maps);
        QFETCH(bool, skip);
        QFETCH(QString, chosen);
        CTestRoot root;
        QString chosenFolder;
        for (const QString& row : maps) {
            const QStringList parts = row.split(u'|');
            if (parts[1].isEmpty()) {
                RegSetDword(MapKey(parts[0]), QStringLiteral("Current"), 1);
                continue;
            }
            const QString folder = parts[1] == QStringLiteral("-")
                                       ? QStringLiteral("\\Veldra\\Maps\\missing")
                                       : MakeFolder(root, parts[1]);
            RegisterMap(parts[0], folder, parts[2].isEmpty() ? -1 : parts[2].toInt());
            if (parts[0] == chosen)
                chosenFolder = folder;
        }
        CMapLibraryDlg dialog;
        bool skipDialog = !skip;
        QVERIFY(dialog.PreselectMap(skipDialog));
        QCOMPARE(skipDialog, skip);
        QCOMPARE(dialog.m_strMapTitle, chosen);
        QCOMPARE(dialog.m_strMapFolder, chosenFolder);
        // The chosen map is marked current and every other map released; a
        // key without InstallDir is no map and keeps what it had.
        if (skip) {
            for (const QString& row : maps) {
                const QString title = row.section(u'|', 0, 0);
                if (row.section(u'|', 1, 1).isEmpty()) {
                    QCOMPARE(CurrentValue(title), std::optional<uint32_t>(1));
                    continue;
                }
                QCOMPARE(CurrentValue(title), std::optional<uint32_t>(title == chosen ? 1 : 0));
            }
        }
    }

    void preselectionWithoutTheAppsKeyChoosesNothing() {
        CTestRoot root;
        CMapLibraryDlg dialog;
        bool skipDialog = false;
        QVERIFY(!dialog.PreselectMap(skipDialog));
        QVERIFY(skipDialog);
        QVERIFY(dialog.m_strMapTitle.isEmpty() && dialog.m_strMapFolder.isEmpty());
    }

    void openMapMarksEveryKeyOfTheChosenFolder() {
        CTestRoot root;
        const QString shared = MakeFolder(root, "shared");
        RegisterMap(QStringLiteral("Town"), shared, 0);
        RegisterMap(QStringLiteral("Town Again"), shared);
        RegisterMap(QStringLiteral("Elsewhere"), MakeFolder(root, "else"), 1);
        // Same folder spelled in another case: not the same text, not marked.
        RegisterMap(QStringLiteral("Town Upper"), QStringLiteral("\\Veldra\\Maps\\SHARED"));
        CMapLibraryDlg dialog;
        dialog.OnInitDialog();
        QVERIFY(!dialog.OpenButton()->isEnabled() && !dialog.DeleteButton()->isEnabled());
        RowOf(dialog, QStringLiteral("Town"))->setSelected(true);
        RowOf(dialog, QStringLiteral("Elsewhere"))->setSelected(true);
        dialog.OpenButton()->setEnabled(true);
        dialog.OpenButton()->click();
        // The first selected row in list order wins.
        QCOMPARE(dialog.m_strMapTitle, QStringLiteral("Elsewhere"));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));

        CMapLibraryDlg again;
        again.OnInitDialog();
        RowOf(again, QStringLiteral("Town Again"))->setSelected(true);
        again.OnOK();
        QVERIFY(!again.m_bCancelled);
        QCOMPARE(again.m_strMapFolder, shared);
        QCOMPARE(CurrentValue("Town"), std::optional<uint32_t>(1));
        QCOMPARE(CurrentValue("Town Again"), std::optional<uint32_t>(1));
        QCOMPARE(CurrentValue("Elsewhere"), std::optional<uint32_t>(0));
        QCOMPARE(CurrentValue("Town Upper"), std::optional<uint32_t>(0));
    }

    void clickInTheListEnablesButtonsWhichThenNeedARow() {
        CTestRoot root;
        RegisterMap(QStringLiteral("Only"), MakeFolder(root, "only"));
        CScriptedUi ui;
        CMapLibraryDlg dialog;
        dialog.OnInitDialog();
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        // A click below the last row selects nothing but enables both buttons.
        QWidget* viewport = dialog.MapList()->viewport();
        QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(5, viewport->height() - 3));
        QVERIFY(dialog.OpenButton()->isEnabled() && dialog.DeleteButton()->isEnabled());
        QVERIFY(dialog.MapList()->selectedItems().isEmpty());
        dialog.OpenButton()->click();
        dialog.DeleteButton()->click();
        QVERIFY(dialog.isVisible());
        QVERIFY(ui.m_events.isEmpty());
        QVERIFY(dialog.m_strMapTitle.isEmpty());
        QCOMPARE(ListedTitles(dialog), QStringList{"Only"});
        dialog.OnCancel();
        QVERIFY(dialog.m_bCancelled);
        QVERIFY(!dialog.isVisible());
    }

    void deleteAsksAndNoLeavesEverything() {
        CTestRoot root;
        const QString folder = MakeFolder(root, "keep");
        RegisterMap(QStringLiteral("Keep Town"), folder);
        CScriptedUi ui;
        ui.Answer(QMessageBox::No);
        CMapLibraryDlg dialog;
        dialog.OnInitDialog();
        dialog.MapList()->topLevelItem(0)->setSelected(true);
        dialog.OnDeleteMap();
        QCOMPARE(ui.MessageTexts(),
                 QStringList{"Are you sure you want to delete the \"Keep Town\" map?"});
        QCOMPARE(ui.m_messages[0].buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(ui.m_messages[0].icon, QMessageBox::NoIcon);
        QVERIFY(root.Exists(QStringLiteral("Veldra/Maps/keep/tile.cbm")));
        QVERIFY(RegKeyExists(MapKey("Keep Town")));
        QCOMPARE(ListedTitles(dialog), QStringList{"Keep Town"});
    }

    void deleteYesRemovesFolderAndKeyOfThatMapOnly() {
        CTestRoot root;
        RegisterMap(QStringLiteral("Doomed"), MakeFolder(root, "doomed"));
        root.WriteFile(QStringLiteral("Veldra/Maps/doomed/sub/deeper/x.idx"), "idx");
        RegisterMap(QStringLiteral("Doomed Too"), MakeFolder(root, "doomed2"));
        RegisterMap(QStringLiteral("Other"), MakeFolder(root, "other"));
        CScriptedUi ui;
        CMapLibraryDlg dialog;
        dialog.OnInitDialog();
        RowOf(dialog, QStringLiteral("Doomed Too"))->setSelected(true);
        RowOf(dialog, QStringLiteral("Doomed"))->setSelected(true);
        dialog.OnDeleteMap(); // only the first selected in list order goes
        QVERIFY(!root.Exists(QStringLiteral("Veldra/Maps/doomed")));
        QVERIFY(!RegKeyExists(MapKey("Doomed")));
        QVERIFY(RegKeyExists(MapKey("Doomed Too")));
        QVERIFY(root.Exists(QStringLiteral("Veldra/Maps/doomed2/tile.cbm")));
        QVERIFY(root.Exists(QStringLiteral("Veldra/Maps/other/tile.cbm")));
        QCOMPARE(ListedTitles(dialog), QStringList({"Doomed Too", "Other"}));
    }

    void foldersHoldingMoreThanOneMapAreNeverDeleted_data() {
        QTest::addColumn<QString>("installDir");
        QTest::newRow("empty") << "";
        QTest::newRow("device root") << "\\";
        QTest::newRow("map store") << "\\Veldra\\Maps";
        QTest::newRow("map store, other spelling") << "/veldra/maps/";
        QTest::newRow("holds the map store") << "\\Veldra";
        QTest::newRow("climbs to the root") << "\\Veldra\\Maps\\..\\..";
    }
    void foldersHoldingMoreThanOneMapAreNeverDeleted() {
        QFETCH(QString, installDir);
        CTestRoot root;
        RegisterMap(QStringLiteral("Neighbour"), MakeFolder(root, "neighbour"));
        root.WriteFile(QStringLiteral("Veldra/Maps/tpl.tmp"), "template");
        root.WriteFile(QStringLiteral("top.txt"), "top");
        RegisterMap(QStringLiteral("Broken"), installDir);
        CScriptedUi ui;
        CMapLibraryDlg dialog;
        dialog.OnInitDialog();
        QTreeWidgetItem* row = RowOf(dialog, QStringLiteral("Broken"));
        QVERIFY(row); // listed: its folder holds files
        row->setSelected(true);
        dialog.OnDeleteMap();
        QCOMPARE(ui.m_messages.size(), size_t(1));
        QVERIFY(!RegKeyExists(MapKey("Broken"))); // the entry goes ...
        QVERIFY(root.Exists(QStringLiteral("Veldra/Maps/neighbour/tile.cbm"))); // ... nothing else
        QVERIFY(root.Exists(QStringLiteral("Veldra/Maps/tpl.tmp")));
        QVERIFY(root.Exists(QStringLiteral("top.txt")));
        QCOMPARE(ListedTitles(dialog), QStringList{"Neighbour"});
    }

    void deleteFolderTreeNeverLeavesTheFolder() {
        CTestRoot root;
        root.WriteFile(QStringLiteral("outside/precious.txt"), "keep me");
        root.WriteFile(QStringLiteral("Veldra/Maps/victim.txt"), "keep me too");
        root.WriteFile(QStringLiteral("Veldra/Maps/m/a.cbm"), "tile");
        root.WriteFile(QStringLiteral("Veldra/Maps/m/sub/b.cbm"), "tile");
        QVERIFY(::symlink(qPrintable(root.Host("outside")),
                          qPrintable(root.Host("Veldra/Maps/m/link"))) == 0);
        QVERIFY(::symlink(qPrintable(root.Host("outside/precious.txt")),
                          qPrintable(root.Host("Veldra/Maps/m/sub/file-link"))) == 0);
        // A name that reads as a path out of the folder.
        root.WriteFile(QStringLiteral("Veldra/Maps/m/..\\victim.txt"), "odd name");

        QVERIFY(!CMapLibraryDlg::DeleteFolderTree(QStringLiteral("\\Veldra\\Maps\\m")));
        QCOMPARE(root.ReadFile(QStringLiteral("outside/precious.txt")), QByteArray("keep me"));
        QCOMPARE(root.ReadFile(QStringLiteral("Veldra/Maps/victim.txt")),
                 QByteArray("keep me too"));
        QVERIFY(!QFileInfo(root.Host("Veldra/Maps/m/link")).isSymLink());
        QVERIFY(!root.Exists(QStringLiteral("Veldra/Maps/m/sub")));
        QVERIFY(!root.Exists(QStringLiteral("Veldra/Maps/m/a.cbm")));
        // The folder given as a link: the link goes, its target stays.
        QVERIFY(::symlink(qPrintable(root.Host("outside")),
                          qPrintable(root.Host("Veldra/Maps/linked"))) == 0);
        QVERIFY(CMapLibraryDlg::DeleteFolderTree(QStringLiteral("\\Veldra\\Maps\\linked")));
        QVERIFY(!QFileInfo(root.Host("Veldra/Maps/linked")).isSymLink());
        QVERIFY(root.Exists(QStringLiteral("outside/precious.txt")));
    }

    void folderSizeDoesNotFollowLinks() {
        CTestRoot root;
        root.WriteFile(QStringLiteral("Veldra/Maps/m/a.cbm"), QByteArray(300, 'x'));
        root.WriteFile(QStringLiteral("outside/big"), QByteArray(5000, 'x'));
        QVERIFY(::symlink(qPrintable(root.Host("outside")),
                          qPrintable(root.Host("Veldra/Maps/m/link"))) == 0);
        // A link back up would otherwise never end.
        QVERIFY(::symlink(qPrintable(root.Host("Veldra/Maps")),
                          qPrintable(root.Host("Veldra/Maps/m/loop"))) == 0);
        QCOMPARE(CMapLibraryDlg::GetFolderSize(QStringLiteral("\\Veldra\\Maps\\m")), 300u);
        QCOMPARE(CMapLibraryDlg::GetFolderSize(QStringLiteral("\\Veldra\\Maps\\none")), 0u);
    }
};

QTEST_MAIN(TestMapLibrary)
#include "test_map_library.moc"
