// The map library dialog (what is listed and deleted: test_installed_maps).

#include "store/map_library_dlg.h"
#include "ui_test_support.h"

#include <QPushButton>
#include <QTest>

namespace {} // namespace

class TestMapLibraryDlg : public QObject {
    Q_OBJECT
private slots:
    void listsMapsSortedByTitleWithSizes() {
        CTestRoot root;
        RegisterMap("Zeta Vale", MakeFolder(root, "z"));
        RegisterMap("alder Cross", MakeFolder(root, "a"));
        RegisterMap("Mill End", MakeFolder(root, "m", 1234567));
        CMapLibraryDlg dialog;
        dialog.OnInitDialog();
        // Sorted without regard to letter case; the size beside each title.
        QCOMPARE(RowTexts(dialog.MapList()), QStringList({"alder Cross", "Mill End", "Zeta Vale"}));
        QCOMPARE(RowOf(dialog, "Mill End")->text(1), QStringLiteral("1.23 MB"));
    }

    void clickEnablesButtonsWhichThenNeedARow() {
        CTestRoot root;
        const QString only = MakeFolder(root, "only");
        RegisterMap("Only", only);
        RegisterMap("Other", MakeFolder(root, "other"), 1);
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
        // With a row, "Open Map" chooses it and marks it current.
        RowOf(dialog, "Only")->setSelected(true);
        dialog.OpenButton()->click();
        QCOMPARE(dialog.m_strMapFolder, only);
        QVERIFY(!dialog.m_bCancelled && !dialog.isVisible());
        QCOMPARE(CurrentValue("Only"), 1);
        QCOMPARE(CurrentValue("Other"), 0);
    }

    void deleteAsksThenRemovesOnlyTheFirstSelectedMap_data() {
        QTest::addColumn<int>("answer");
        QTest::newRow("No leaves everything") << int(QMessageBox::No);
        QTest::newRow("Yes removes folder and key") << int(QMessageBox::Yes);
    }
    void deleteAsksThenRemovesOnlyTheFirstSelectedMap() {
        QFETCH(int, answer);
        const bool yes = answer == QMessageBox::Yes;
        CTestRoot root;
        RegisterMap("Doomed", MakeFolder(root, "doomed"));
        RegisterMap("Doomed Too", MakeFolder(root, "doomed2"));
        CScriptedUi ui;
        ui.Answer(answer);
        CMapLibraryDlg dialog;
        dialog.OnInitDialog();
        RowOf(dialog, "Doomed Too")->setSelected(true);
        RowOf(dialog, "Doomed")->setSelected(true);
        dialog.OnDeleteMap(); // only the first selected in list order goes
        QCOMPARE(ui.MessageTexts(),
                 QStringList{"Are you sure you want to delete the \"Doomed\" map?"});
        QCOMPARE(ui.m_messages[0].buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(ui.m_messages[0].icon, QMessageBox::NoIcon);
        QCOMPARE(RegKeyExists(MapKey("Doomed")), !yes);
        QCOMPARE(root.Exists(QStringLiteral("Veldra/Maps/doomed")), !yes);
        QCOMPARE(RowTexts(dialog.MapList()),
                 yes ? QStringList({"Doomed Too"}) : QStringList({"Doomed", "Doomed Too"}));
    }

    // A folder at the registry lock's name: the choice (opened or preselected)
    // stands, unsaved, and the warning names what is in the way.
    void choiceThatCannotBeSavedIsExplained() {
        for (const bool preselect : {false, true}) {
            CTestRoot root;
            RegisterMap("Only", MakeFolder(root, "only"), 1);
            RegisterMap("Other", MakeFolder(root, "other"), 1);
            QVERIFY(root.MakeDir("registry.ini.lock/inside"));
            CScriptedUi ui;
            CMapLibraryDlg dialog;
            bool skipDialog = false;
            if (preselect) {
                QVERIFY(dialog.PreselectMap(skipDialog) && skipDialog);
            } else {
                dialog.OnInitDialog();
                RowOf(dialog, "Only")->setSelected(true);
                dialog.OpenButton()->click();
            }
            QCOMPARE(dialog.m_strMapTitle, preselect ? "Other" : "Only");
            QCOMPARE(ui.MessageTexts(),
                     QStringList{"The list of installed maps cannot be changed: a folder stands "
                                 "at " +
                                 root.Host("registry.ini.lock") +
                                 ", the name of its lock file. The map chosen will not be opened "
                                 "by itself at the next start."});
            QCOMPARE(ui.m_messages[0].icon, QMessageBox::Warning);
            QVERIFY(CurrentValue("Only") == 1 && CurrentValue("Other") == 1);
        }
    }
};

QTEST_MAIN(TestMapLibraryDlg)
#include "test_map_library_dlg.moc"
