// The search dialog and the view's "Search...": what a search lists and
// counts, which columns it shows, what a tap chooses, what the view shows and
// remembers.

#include "gazetteer/search_dlg.h"
#include "ui/input_panel.h"
#include "ui_test_support.h"
#include "view/view_test_support.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

Q_DECLARE_METATYPE(CPoint)

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\t");

// One index record.
QByteArray Record(const char* name, const char* extra1, const char* extra2, int x, int y) {
    return QByteArray("|") + name + '|' + extra1 + '|' + extra2 + '|' + QByteArray::number(x) +
           '|' + QByteArray::number(y) + "|#";
}

// n records "lane <i>" (each also matched by "lane").
QByteArray Lanes(int n) {
    QByteArray bytes;
    for (int i = 1; i <= n; ++i)
        bytes += Record(QByteArray("lane ").append(QByteArray::number(i)).constData(), "", "",
                        100 + i, 200 + i);
    return bytes;
}

// The map folder kFolder with its index files.
void MakeIndexes(const CTestRoot& root) {
    const auto write = [&](const char* name, const QByteArray& bytes) {
        root.WriteFile(QStringLiteral("Veldra/Maps/t/%1.idx").arg(QLatin1String(name)), bytes);
    };
    write("Streets", Record("high street", "NC1 2AB", "", 1200, 900) +
                         Record("high!nhs lane", "NC12 3CD", "", 1300, 950) +
                         Record("church road", "", "", 2000, 1500) +
                         Record("station walk", "", "north", 700, 400) +
                         Record("mill lane", "", "", 0, 3000) + Record("edge row", "", "", 30, 40));
    write("Towns", Record("northcombe", "Downshire", "", 2500, 2500));
    write("Pubs", Record("the anchor", "quay side", "", 100, 100));
    write("Many", Lanes(41));
    write("Forty", Lanes(40));
}

QStringList ListedNames(const CSearchDlg& dialog) {
    QStringList names;
    for (int i = 0; i < dialog.MatchList()->topLevelItemCount(); ++i)
        names.append(dialog.MatchList()->topLevelItem(i)->text(0));
    return names;
}

// Headings of the columns the list shows (not hidden, wider than 0).
QStringList ShownHeadings(const CSearchDlg& dialog) {
    QStringList headings;
    const QTreeWidget* list = dialog.MatchList();
    for (int c = 0; c < list->columnCount(); ++c)
        if (!list->isColumnHidden(c) && list->columnWidth(c) > 0)
            headings.append(list->headerItem()->text(c));
    return headings;
}

QStringList LaneNames(int n) {
    QStringList names;
    for (int i = 1; i <= n; ++i)
        names.append(QStringLiteral("Lane %1").arg(i));
    return names;
}

// Types into the box and presses Enter there.
void TypeAndEnter(CSearchDlg& dialog, const QString& text) {
    dialog.TextBox()->clear();
    QTest::keyClicks(dialog.TextBox(), text);
    QTest::keyClick(dialog.TextBox(), Qt::Key_Return);
}

void Tap(CSearchDlg& dialog, int row, bool twice = false) {
    QTreeWidget* list = dialog.MatchList();
    const QPoint at = list->visualItemRect(list->topLevelItem(row)).center();
    if (twice)
        DoubleTap(list->viewport(), at);
    else
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
}

// The view over the synthetic 10 x 8 tile map, with kFolder's indexes.
class CSearchView : public CSyntheticView<CVeldraViewerView> {
public:
    CSearchView() {
        QCoreApplication::removePostedEvents(this);
        SetSyntheticMap();
        m_szMapFolder = kFolder;
    }
};

} // namespace

class TestSearchDlg : public QObject {
    Q_OBJECT
private slots:
    void opensWithTheRememberedSearchRepeated_data() {
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<int>("category");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("count");
        QTest::addColumn<bool>("showEnabled");
        QTest::newRow("first opening: Streets, nothing listed")
            << "" << 0 << "Streets" << QStringList{} << "" << true;
        QTest::newRow("remembered search repeated at once")
            << "high" << 0 << "Streets" << QStringList{"High Street", "High NHS Lane"}
            << "2 matches\nfound" << false;
        QTest::newRow("remembered index beyond this map's categories")
            << "high" << 9 << "" << QStringList{"No matches"} << "No matches\nfound" << false;
    }
    void opensWithTheRememberedSearchRepeated() {
        QFETCH(QString, remembered);
        QFETCH(int, category);
        QFETCH(QString, selected);
        QFETCH(QStringList, names);
        QFETCH(QString, count);
        QFETCH(bool, showEnabled);
        CTestRoot root;
        MakeIndexes(root);
        CSearchDlg dialog;
        dialog.m_szMapFolder = kFolder;
        dialog.m_strRememberedText = remembered;
        dialog.m_nRememberedCategory = category;
        dialog.OnInitDialog();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Pocket Veldra Search"));
        QCOMPARE(dialog.CategoryList()->count(), 5);
        QCOMPARE(dialog.CategoryList()->currentText(), selected);
        QCOMPARE(dialog.TextBox()->text(), remembered);
        QCOMPARE(ListedNames(dialog), names);
        QCOMPARE(dialog.CountText()->text(), count);
        QCOMPARE(dialog.ShowButton()->isEnabled(), showEnabled);
        if (remembered.isEmpty())
            QCOMPARE(ShownHeadings(dialog), QStringList{"Name"});
        // "Show on Map" closes; nothing is chosen yet.
        dialog.ShowButton()->setEnabled(true);
        dialog.ShowButton()->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(QPoint(dialog.m_nChosenX, dialog.m_nChosenY), QPoint());
    }

    void enterSearchesAndListsCountsAndColumns_data() {
        QTest::addColumn<QString>("category");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("prepared");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("count");
        QTest::addColumn<QStringList>("headings");
        QTest::newRow("capitals and spaces prepared; postcodes column")
            << "Streets"
            << "  HIGH "
            << "high" << QStringList{"High Street", "High NHS Lane"} << "2 matches\nfound"
            << QStringList{"Name", "PC"};
        QTest::newRow("one match, no extra texts: only Name")
            << "Streets"
            << "church"
            << "church" << QStringList{"Church Road"} << "1 match\nfound" << QStringList{"Name"};
        QTest::newRow("extra2 alone: its column without the first")
            << "Streets"
            << "Station"
            << "station" << QStringList{"Station Walk"} << "1 match\nfound"
            << QStringList{"Name", "Off"};
        QTest::newRow("no match") << "Streets"
                                  << "zzz"
                                  << "zzz" << QStringList{"No matches"} << "No matches\nfound"
                                  << QStringList{"Name"};
        QTest::newRow("more than 40")
            << "Many"
            << "lane"
            << "lane" << LaneNames(40) << "First 40\nmatches" << QStringList{"Name"};
        QTest::newRow("exactly 40 and no more")
            << "Forty"
            << "lane"
            << "lane" << LaneNames(40) << "40 matches\nfound" << QStringList{"Name"};
        QTest::newRow("Towns: Location over the first extra")
            << "Towns"
            << "north"
            << "north" << QStringList{"Northcombe"} << "1 match\nfound"
            << QStringList{"Name", "Location"};
        QTest::newRow("another category: empty heading")
            << "Pubs"
            << "anchor"
            << "anchor" << QStringList{"The Anchor"} << "1 match\nfound" << QStringList{"Name", ""};
    }
    void enterSearchesAndListsCountsAndColumns() {
        QFETCH(QString, category);
        QFETCH(QString, typed);
        QFETCH(QString, prepared);
        QFETCH(QStringList, names);
        QFETCH(QString, count);
        QFETCH(QStringList, headings);
        CTestRoot root;
        MakeIndexes(root);
        CSearchDlg dialog;
        dialog.m_szMapFolder = kFolder;
        dialog.OnInitDialog();
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.CategoryList()->setCurrentText(category);
        TypeAndEnter(dialog, typed);
        QCOMPARE(dialog.TextBox()->text(), prepared);
        QCOMPARE(ListedNames(dialog), names);
        QCOMPARE(dialog.CountText()->text(), count);
        QCOMPARE(ShownHeadings(dialog), headings);
        QVERIFY(!dialog.ShowButton()->isEnabled());
        QCOMPARE(dialog.m_strRememberedText, prepared);
        QCOMPARE(dialog.m_nRememberedCategory, dialog.CategoryList()->findText(category));
        // A shown extra column fits its widest text.
        if (headings.size() > 1)
            QVERIFY(dialog.MatchList()->columnWidth(1) >=
                    dialog.MatchList()->fontMetrics().horizontalAdvance(
                        dialog.MatchList()->topLevelItem(0)->text(1)));
    }

    void onlyATapOnAMatchChooses() {
        CTestRoot root;
        MakeIndexes(root);
        QList<bool> panel;
        SetInputPanelHandler([&](bool up) { panel.append(up); });
        CSearchDlg dialog;
        dialog.m_szMapFolder = kFolder;
        dialog.OnInitDialog();
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        const auto chosen = [&] { return QPoint(dialog.m_nChosenX, dialog.m_nChosenY); };

        // The box raises the input panel while it has the focus; a search puts it down.
        dialog.TextBox()->setFocus();
        dialog.MatchList()->setFocus();
        TypeAndEnter(dialog, "zzz");
        QCOMPARE(panel.mid(0, 2), QList<bool>({true, false}));
        QCOMPARE(panel.last(), false);
        SetInputPanelHandler({});

        Tap(dialog, 0); // "No matches" cannot be chosen
        QVERIFY(!dialog.ShowButton()->isEnabled());
        QCOMPARE(chosen(), QPoint());

        TypeAndEnter(dialog, "high");
        dialog.MatchList()->setFocus();
        QTest::keyClick(dialog.MatchList(), Qt::Key_Down); // keys move, never choose
        QTest::keyClick(dialog.MatchList(), Qt::Key_Down);
        QVERIFY(!dialog.MatchList()->selectedItems().isEmpty());
        QVERIFY(!dialog.ShowButton()->isEnabled());
        QCOMPARE(chosen(), QPoint());
        Tap(dialog, 1);
        QCOMPARE(chosen(), QPoint(1300, 950));
        QVERIFY(dialog.ShowButton()->isEnabled());
        Tap(dialog, 0, /*twice=*/true); // a double tap only chooses
        QCOMPARE(chosen(), QPoint(1200, 900));
        QVERIFY(dialog.isVisible());

        // A text of spaces searches nothing and keeps the count and the choice.
        TypeAndEnter(dialog, "   ");
        QCOMPARE(dialog.MatchList()->topLevelItemCount(), 0);
        QCOMPARE(dialog.CountText()->text(), QStringLiteral("2 matches\nfound"));
        QVERIFY(dialog.ShowButton()->isEnabled());
        // So does a change of category; "Show on Map" shows the earlier tap.
        dialog.CategoryList()->setCurrentText("Towns");
        QCOMPARE(dialog.MatchList()->topLevelItemCount(), 0);
        QCOMPARE(dialog.CountText()->text(), QStringLiteral("2 matches\nfound"));
        dialog.ShowButton()->click();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(chosen(), QPoint(1200, 900));
    }

    // The view at zoom 2.0 remembers "station"; a search is made, its first
    // match tapped and "Show on Map" or "Cancel" pressed; then the dialog is
    // opened again.
    void viewShowsTheMatchAndRemembersTheSearch_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<CPoint>("centre"); // zoomed; (0, 0): the view does not move
        QTest::addColumn<QPoint>("cross");  // client point of the red cross; (0, 0): none
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<QString>("relisted"); // first row on the next opening
        QTest::newRow("in the middle: centred at zoom 1.0, no cross")
            << "church" << false << CPoint{2000, 1500} << QPoint() << "church"
            << "Church Road";
        QTest::newRow("at the map's edge: the cross marks it")
            << "EDGE" << false << CPoint{120, 134} << QPoint(30, 40) << "edge"
            << "Edge Row";
        QTest::newRow("no position: nothing moves or is remembered")
            << "mill" << false << CPoint{} << QPoint() << "station"
            << "Station Walk";
        QTest::newRow("Cancel: the earlier search stays")
            << "church" << true << CPoint{} << QPoint() << "station"
            << "Station Walk";
    }
    void viewShowsTheMatchAndRemembersTheSearch() {
        QFETCH(QString, typed);
        QFETCH(bool, cancel);
        QFETCH(CPoint, centre);
        QFETCH(QPoint, cross);
        QFETCH(QString, remembered);
        QFETCH(QString, relisted);
        CTestRoot root;
        MakeIndexes(root);
        CSearchView view;
        view.ApplyZoom(240, 268, 2.0);
        view.SetCentre(3000, 3000);
        view.m_ptMe = {1000, 800};
        view.m_strLastSearch = QStringLiteral("station");
        const CPoint before = view.m_ptCentre;

        CScriptedUi ui;
        // On each opening: the box's text, the first row, "Show on Map" enabled.
        QStringList opened;
        const auto record = [&](const CSearchDlg& dialog) {
            opened << dialog.TextBox()->text() << ListedNames(dialog).value(0)
                   << (dialog.ShowButton()->isEnabled() ? "enabled" : "disabled");
        };
        ui.OnDialog<CSearchDlg>([&](CSearchDlg& dialog) {
            record(dialog);
            dialog.TextBox()->setText(typed);
            dialog.OnGo();
            dialog.MatchList()->topLevelItem(0)->setSelected(true);
            dialog.OnClickMatch();
            cancel ? dialog.CancelButton()->click() : dialog.ShowButton()->click();
            return dialog.result();
        });
        view.OnSearch();
        const bool moved = centre != CPoint{};
        QCOMPARE(view.m_ptCentre, moved ? centre : before);
        QCOMPARE(view.m_dZoom, moved ? 1.0 : 2.0);
        if (moved)
            QCOMPARE(view.m_ptMe, (CPoint{500, 400})); // the marker keeps its map spot
        const QImage shown = view.RenderClientImage();
        const QPoint probe = cross.isNull() ? QPoint(120, 134) : cross;
        QCOMPARE(shown.pixel(probe) == qRgb(255, 0, 0), !cross.isNull());
        QCOMPARE(view.m_strLastSearch, remembered);

        ui.OnDialog<CSearchDlg>([&](CSearchDlg& dialog) {
            record(dialog);
            dialog.CancelButton()->click();
            return dialog.result();
        });
        view.OnSearch();
        QCOMPARE(opened, QStringList({"station", "Station Walk", "disabled", remembered, relisted,
                                      "disabled"}));
    }
};

QTEST_MAIN(TestSearchDlg)
#include "test_search_dlg.moc"
