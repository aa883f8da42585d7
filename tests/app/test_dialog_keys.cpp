// Every dialog of the program from the keyboard: Escape cancels each one, and
// the map library is driven by keys alone (arrows choose, Enter opens) or a
// double click.

#include "gazetteer/search_dlg.h"
#include "places/add_favourite_dlg.h"
#include "places/favourites_dlg.h"
#include "store/convert_map_dlg.h"
#include "ui_test_support.h"
#include "view/about_dlg.h"
#include "view/splash_dlg.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <functional>
#include <memory>

using DialogMaker = std::function<std::unique_ptr<CVeldraDialog>()>;
Q_DECLARE_METATYPE(DialogMaker)

namespace {

template <class Dialog> DialogMaker Make() {
    return [] { return std::unique_ptr<CVeldraDialog>(new Dialog()); };
}

// Shows a dialog as its modal run would (initialised, active) without a
// modal loop.
bool ShowActive(CVeldraDialog& dialog) {
    dialog.OnInitDialog();
    dialog.show();
    return QTest::qWaitForWindowActive(&dialog);
}

} // namespace

class TestDialogKeys : public QObject {
    Q_OBJECT
private slots:
    void escapeCancelsEveryDialog_data() {
        QTest::addColumn<DialogMaker>("make");
        QTest::newRow("map library") << Make<CMapLibraryDlg>();
        QTest::newRow("conversion") << Make<CConvertMapDlg>();
        QTest::newRow("search") << Make<CSearchDlg>();
        QTest::newRow("add favourite") << Make<CAddFavouriteDlg>();
        QTest::newRow("favourites") << Make<CFavouritesDlg>();
        QTest::newRow("about") << Make<CAboutDlg>();
        QTest::newRow("splash") << Make<CSplashDlg>();
    }
    void escapeCancelsEveryDialog() {
        QFETCH(DialogMaker, make);
        CTestRoot root;
        CScriptedUi ui;
        const std::unique_ptr<CVeldraDialog> dialog = make();
        QVERIFY(ShowActive(*dialog));
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : dialog.get(), Qt::Key_Escape);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        QVERIFY(ui.m_messages.empty());
        if (auto* library = qobject_cast<CMapLibraryDlg*>(dialog.get()))
            QVERIFY(library->m_bCancelled);
        if (auto* search = qobject_cast<CSearchDlg*>(dialog.get()))
            QCOMPARE(QPoint(search->m_nChosenX, search->m_nChosenY), QPoint());
    }

    // The list has the focus first; an arrow chooses a map and enables both
    // buttons, Enter opens it. A double click on a row opens that row.
    void mapLibraryByKeysOrDoubleClick_data() {
        QTest::addColumn<bool>("keys");
        QTest::newRow("keys") << true;
        QTest::newRow("double click") << false;
    }
    void mapLibraryByKeysOrDoubleClick() {
        QFETCH(bool, keys);
        CTestRoot root;
        MakeConvertedMap(root, "Alpha", "alpha");
        const QString beta = MakeConvertedMap(root, "Beta", "beta");
        CScriptedUi ui;
        CMapLibraryDlg dialog;
        QVERIFY(ShowActive(dialog));
        QTreeWidget* list = dialog.MapList();
        if (keys) {
            QCOMPARE(QApplication::focusWidget(), list);
            QTest::keyClick(list, Qt::Key_Down);
            QTest::keyClick(list, Qt::Key_Down);
            QVERIFY(dialog.OpenButton()->isEnabled() && dialog.DeleteButton()->isEnabled());
            QTest::keyClick(list, Qt::Key_Return);
        } else {
            DoubleTap(list->viewport(), list->visualItemRect(RowOf(dialog, "Beta")).center());
        }
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.m_strMapFolder, beta);
        QCOMPARE(CurrentValue("Beta"), 1);
        QCOMPARE(CurrentValue("Alpha"), 0);
    }
};

QTEST_MAIN(TestDialogKeys)
#include "test_dialog_keys.moc"
