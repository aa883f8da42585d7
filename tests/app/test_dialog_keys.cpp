// Escape cancels each dialog; the library opens by keys or a double click.

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
#include <memory>

using DialogMaker = CVeldraDialog* (*)();
Q_DECLARE_METATYPE(DialogMaker)

namespace {
template <class Dialog> CVeldraDialog* Make() {
    return new Dialog();
}
// Initialised and shown as its modal run would, without a modal loop.
bool ShowActive(CVeldraDialog& dialog) {
    dialog.OnInitDialog();
    dialog.show();
    return QTest::qWaitForWindowActive(&dialog);
}
} // namespace

class TestDialogKeys : public QObject {
    Q_OBJECT
private slots:
    void escapeCancels_data() {
        QTest::addColumn<DialogMaker>("make");
        QTest::newRow("map library") << &Make<CMapLibraryDlg>;
        QTest::newRow("conversion") << &Make<CConvertMapDlg>;
        QTest::newRow("search") << &Make<CSearchDlg>;
        QTest::newRow("add favourite") << &Make<CAddFavouriteDlg>;
        QTest::newRow("favourites") << &Make<CFavouritesDlg>;
        QTest::newRow("about") << &Make<CAboutDlg>;
        QTest::newRow("splash") << &Make<CSplashDlg>;
    }
    void escapeCancels() {
        QFETCH(DialogMaker, make);
        CTestRoot root;
        CScriptedUi ui;
        const std::unique_ptr<CVeldraDialog> dialog(make());
        QVERIFY(ShowActive(*dialog));
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : dialog.get(),
                        Qt::Key_Escape);
        QVERIFY(!dialog->isVisible() && ui.m_messages.empty());
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        if (auto* library = qobject_cast<CMapLibraryDlg*>(dialog.get()))
            QVERIFY(library->m_bCancelled);
    }

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
            QCOMPARE(QApplication::focusWidget(), list); // the list has the focus first
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
    }
};

QTEST_MAIN(TestDialogKeys)
#include "test_dialog_keys.moc"
