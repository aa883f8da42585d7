// The search dialog and the view's "Search...".

#include "gazetteer/search_dlg.h"
#include "ui/input_panel.h"
#include "ui_test_support.h"
#include "view/view_test_support.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\Synthetic");

// Four index files beside the synthetic map's tiles; "Many" holds 41 "lane"s, "Forty" 40.
void MakeIndexes(const CTestRoot& root) {
    QByteArray lanes;
    for (int i = 1; i <= 41; ++i)
        lanes += Rec("lane " + QByteArray::number(i), "", "", 100 + i, 200 + i);
    const QByteArray streets =
        Rec("high street", "NC1 2AB", "", 1200, 900) +
        Rec("high!nhs lane", "NC12 3CD", "", 1300, 950) + Rec("church road", "", "", 2000, 1500) +
        Rec("station walk", "", "north", 700, 400) + Rec("mill lane", "", "", 0, 3000) +
        Rec("edge row", "", "", 30, 40) + Rec("caf\xe9 corner", "", "", 900, 900);
    const auto write = [&](const char* name, const QByteArray& bytes) {
        root.WriteFile(QStringLiteral("Veldra/Maps/Synthetic/%1.idx").arg(QLatin1String(name)),
                       bytes);
    };
    write("Streets", streets);
    write("Towns", Rec("northcombe", "Downshire", "", 2500, 2500));
    write("Many", lanes);
    write("Forty", lanes.left(lanes.indexOf("|lane 41|")));
}

// Headings of the columns the list shows (not hidden, wider than 0).
QStringList ShownHeadings(const CSearchDlg& dialog) {
    QStringList headings;
    for (int c = 0; c < dialog.MatchList()->columnCount(); ++c)
        if (!dialog.MatchList()->isColumnHidden(c) && dialog.MatchList()->columnWidth(c) > 0)
            headings.append(dialog.MatchList()->headerItem()->text(c));
    return headings;
}

void TypeAndEnter(CSearchDlg& dialog, const QString& text) {
    dialog.TextBox()->clear();
    QTest::keyClicks(dialog.TextBox(), text);
    QTest::keyClick(dialog.TextBox(), Qt::Key_Return);
}

QPoint RowCentre(const CSearchDlg& dialog, int row) {
    return dialog.MatchList()->visualItemRect(dialog.MatchList()->topLevelItem(row)).center();
}

// A search typed in a category: the box after it, the names (the first of
// rows), the count text and the shown headings.
// clang-format off
struct SearchRow { const char *tag, *category, *typed, *prepared, *names; int rows; const char *count, *headings; };
const SearchRow kSearches[] = {
    {"capitals, spaces; postcodes", "Streets", "  HIGH ", "high", "High Street|High NHS Lane", 2, "2 matches\nfound", "Name|PC"},
    {"one match, no extra text", "Streets", "church", "church", "Church Road", 1, "1 match\nfound", "Name"},
    {"second extra alone", "Streets", "Station", "station", "Station Walk", 1, "1 match\nfound", "Name|Off"},
    {"no match", "Streets", "zzz", "zzz", "No matches", 1, "No matches\nfound", "Name"},
    {"more than 40", "Many", "lane", "lane", "Lane 1", 40, "First 40\nmatches", "Name"},
    {"exactly 40, no more", "Forty", "lane", "lane", "Lane 1", 40, "40 matches\nfound", "Name"},
    {"Towns: Location", "Towns", "north", "north", "Northcombe", 1, "1 match\nfound", "Name|Location"},
    {"loose: accents differ, notice", "Streets", "Cafe", "cafe", "Caf\u00e9 Corner", 1, "1 match\nfound", "Name"},
};
// clang-format on

// A scripted run: type, "Go!", tap the first match, "Show on Map" or "Cancel".
std::function<int(CSearchDlg&)> Search(const QString& typed, bool cancel = false) {
    return [typed, cancel](CSearchDlg& dialog) {
        dialog.TextBox()->setText(typed);
        dialog.OnGo();
        dialog.MatchList()->topLevelItem(0)->setSelected(true);
        dialog.OnClickMatch();
        (cancel ? dialog.CancelButton() : dialog.ShowButton())->click();
        return dialog.result();
    };
}

} // namespace

class TestSearchDlg : public QObject {
    Q_OBJECT
    std::unique_ptr<CTestRoot> m_root;
    std::unique_ptr<CSearchDlg> m_dialog;

    CSearchDlg& Shown() {
        m_dialog->OnInitDialog();
        m_dialog->show();
        if (!QTest::qWaitForWindowActive(m_dialog.get()))
            qWarning("the dialog is not active");
        return *m_dialog;
    }

private slots:
    void init() {
        m_root = std::make_unique<CTestRoot>();
        MakeIndexes(*m_root);
        m_dialog = std::make_unique<CSearchDlg>();
        m_dialog->m_strMapFolder = kFolder;
    }
    void cleanup() {
        SetInputPanelHandler({});
        m_dialog.reset();
        m_root.reset();
    }

    void opensWithTheRememberedSearchRepeated_data() {
        QTest::addColumn<int>("category"); // remembered index; -1: no remembered search
        QTest::newRow("first opening: Streets, nothing listed") << -1;
        QTest::newRow("index beyond this map's categories: nothing selected") << 9;
    }
    void opensWithTheRememberedSearchRepeated() {
        QFETCH(int, category);
        const bool first = category < 0;
        CSearchDlg& dialog = *m_dialog;
        dialog.m_strRememberedText = first ? QString() : QStringLiteral("high");
        dialog.m_nRememberedCategory = category;
        dialog.OnInitDialog();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Pocket Veldra Search"));
        QCOMPARE(dialog.CategoryList()->count(), 4);
        QCOMPARE(dialog.CategoryList()->currentText(), QString(first ? "Streets" : ""));
        QCOMPARE(RowTexts(dialog.MatchList()), first ? QStringList() : QStringList{"No matches"});
        QCOMPARE(ShownHeadings(dialog), QStringList{"Name"});
        QCOMPARE(dialog.CountText()->text(), QString(first ? "" : "No matches\nfound"));
        QCOMPARE(dialog.ShowButton()->isEnabled(), first);
        if (first) {
            dialog.ShowButton()->click(); // closes, with nothing chosen
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
            QCOMPARE(QPoint(dialog.m_nChosenX, dialog.m_nChosenY), QPoint());
        }
    }

    void enterSearchesAndListsCountsAndColumns_data() {
        QTest::addColumn<int>("row");
        for (size_t i = 0; i < std::size(kSearches); ++i)
            QTest::newRow(kSearches[i].tag) << int(i);
    }
    void enterSearchesAndListsCountsAndColumns() {
        QFETCH(int, row);
        const SearchRow& want = kSearches[row];
        CSearchDlg& dialog = Shown();
        dialog.CategoryList()->setCurrentText(want.category);
        TypeAndEnter(dialog, want.typed);
        const QStringList names = QString(want.names).split(u'|');
        QCOMPARE(dialog.TextBox()->text(), QString(want.prepared));
        QCOMPARE(RowTexts(dialog.MatchList()).size(), want.rows);
        QCOMPARE(RowTexts(dialog.MatchList()).mid(0, names.size()), names);
        QCOMPARE(dialog.CountText()->text(), QString(want.count));
        QCOMPARE(ShownHeadings(dialog).join(u'|'), QString(want.headings));
        QCOMPARE(dialog.Notice()->isVisible(), QString(want.tag).startsWith("loose"));
        QVERIFY(!dialog.ShowButton()->isEnabled());
        QCOMPARE(dialog.m_strRememberedText, QString(want.prepared));
        QCOMPARE(dialog.m_nRememberedCategory, dialog.CategoryList()->findText(want.category));
        if (QString(want.headings).endsWith("PC")) // sized to fit the postcodes
            QVERIFY(dialog.MatchList()->columnWidth(1) >=
                    dialog.MatchList()->fontMetrics().horizontalAdvance("NC12 3CD"));
    }

    // A tap chooses a match; keys move in the list and choose only with Enter.
    void onlyATapOrEnterOnAMatchChooses() {
        QList<bool> panel;
        SetInputPanelHandler([&](bool up) { panel.append(up); });
        CSearchDlg& dialog = Shown();
        QWidget* list = dialog.MatchList()->viewport();
        const auto chosen = [&] { return QPoint(dialog.m_nChosenX, dialog.m_nChosenY); };

        // The box raises the input panel while it has the focus; a search puts it down.
        dialog.TextBox()->setFocus();
        dialog.MatchList()->setFocus();
        TypeAndEnter(dialog, "zzz");
        SetInputPanelHandler({});
        QCOMPARE(panel.mid(0, 2), QList<bool>({true, false}));
        QCOMPARE(panel.last(), false);

        QTest::mouseClick(list, Qt::LeftButton, {}, RowCentre(dialog, 0)); // "No matches"
        QVERIFY(!dialog.ShowButton()->isEnabled());
        TypeAndEnter(dialog, "high");
        dialog.MatchList()->setFocus();
        QTest::keyClick(dialog.MatchList(), Qt::Key_Down); // keys move, never choose
        QTest::keyClick(dialog.MatchList(), Qt::Key_Down);
        QVERIFY(!dialog.MatchList()->selectedItems().isEmpty());
        QVERIFY(!dialog.ShowButton()->isEnabled() && chosen().isNull());
        QTest::mouseClick(list, Qt::LeftButton, {}, RowCentre(dialog, 1));
        QCOMPARE(chosen(), QPoint(1300, 950));
        QVERIFY(dialog.ShowButton()->isEnabled());
        DoubleTap(list, RowCentre(dialog, 0)); // only chooses
        QCOMPARE(chosen(), QPoint(1200, 900));
        QVERIFY(dialog.isVisible());

        // Spaces alone or a category change touch no count, button or choice.
        TypeAndEnter(dialog, "   ");
        dialog.CategoryList()->setCurrentText("Towns");
        QCOMPARE(dialog.MatchList()->topLevelItemCount(), 0);
        QCOMPARE(dialog.CountText()->text(), QStringLiteral("2 matches\nfound"));
        dialog.ShowButton()->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(chosen(), QPoint(1200, 900));

        // Keys alone: Enter searches, Tab and arrows move, Enter there shows.
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        dialog.CategoryList()->setCurrentText("Streets");
        dialog.TextBox()->setFocus();
        TypeAndEnter(dialog, "high");
        while (QApplication::focusWidget() != dialog.MatchList())
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTest::keyClick(dialog.MatchList(), Qt::Key_Down);
        QTest::keyClick(dialog.MatchList(), Qt::Key_Down);
        QVERIFY(dialog.isVisible() && chosen() == QPoint(1200, 900));
        QTest::keyClick(dialog.MatchList(), Qt::Key_Return);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(chosen(), QPoint(1300, 950));
    }

    // From zoom 2.0 at (3000, 3000) a search is shown or cancelled; then the
    // dialog opens again with what the view remembered.
    void viewShowsTheMatchAndRemembersTheSearch_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<QPoint>("centre");    // zoomed; (0, 0): the view does not move
        QTest::addColumn<QPoint>("cross");     // client point of the red cross; (0, 0): none
        QTest::addColumn<QString>("relisted"); // box|first row|"Show on Map" enabled
        QTest::newRow("in the middle: centred at zoom 1.0, no cross")
            << "church" << false << QPoint(2000, 1500) << QPoint() << "church|Church Road|0";
        QTest::newRow("at the map's edge: the cross marks it")
            << "EDGE" << false << QPoint(120, 134) << QPoint(30, 40) << "edge|Edge Row|0";
        QTest::newRow("no position: nothing moves or is remembered")
            << "mill" << false << QPoint() << QPoint() << "||1";
        QTest::newRow("a loose match: shown and remembered alike")
            << "CAFE" << false << QPoint(900, 900) << QPoint()
            << QString::fromUtf8("cafe|Café Corner|0");
        QTest::newRow("Cancel: nothing remembered")
            << "church" << true << QPoint() << QPoint() << "||1";
    }
    void viewShowsTheMatchAndRemembersTheSearch() {
        QFETCH(QString, typed);
        QFETCH(bool, cancel);
        QFETCH(QPoint, centre);
        QFETCH(QPoint, cross);
        QFETCH(QString, relisted);
        CSyntheticView w;
        MakeIndexes(w.root);
        w.canvas.CentreOnMapPosition({1500, 1500}, 2.0, CTargetCross::Keep);
        CScriptedUi ui;
        ui.OnDialog<CSearchDlg>(Search(typed, cancel));
        QString reopened;
        ui.OnDialog<CSearchDlg>([&](CSearchDlg& dialog) {
            reopened = dialog.TextBox()->text() + u'|' + RowTexts(dialog.MatchList()).value(0) +
                       u'|' + QString::number(dialog.ShowButton()->isEnabled());
            return Search(typed, true)(dialog);
        });
        w.view.OnSearch();
        const bool moved = !centre.isNull();
        QCOMPARE(w.view.Viewport().Centre(),
                 moved ? (CPoint{centre.x(), centre.y()}) : (CPoint{3000, 3000}));
        QCOMPARE(w.view.Viewport().Zoom(), moved ? 1.0 : 2.0);
        const QPoint probe = cross.isNull() ? QPoint(120, 134) : cross;
        QCOMPARE(w.canvas.RenderClientImage().pixel(probe) == qRgb(255, 0, 0), !cross.isNull());
        w.view.OnSearch();
        QCOMPARE(reopened, relisted);
    }
};

QTEST_MAIN(TestSearchDlg)
#include "test_search_dlg.moc"
