#pragma once

#include "ui/veldra_dialog.h"

#include <QPoint>
#include <QString>
#include <cstdint>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;

// The search dialog: the user picks a category of the open map, types part
// of a name, presses "Go!" (or Enter in the box), taps one of at most
// MAX_MATCHES matches and presses "Show on Map". The caller reads the tapped
// match's map position (pixels of the whole map at zoom 1.0) and the search
// to remember from the members after the modal run. A remembered search
// handed in is repeated as soon as the dialog opens. When no name holds the
// text exactly, the looser pass lists the names that differ only in accents
// or spelling, and a notice above the list says so; while the map's side
// indexes are being made in the background, the notice shows how far.
class CSearchDlg : public CVeldraDialog {
    Q_OBJECT
public:
    explicit CSearchDlg(QWidget* parent = nullptr);

    // Lists the categories (item 0 selected), then repeats the remembered
    // search when there is one, else shows an empty list.
    void OnInitDialog() override;
    // Empties the list and puts back its three columns: "Name" (110 pixels)
    // and two empty ones of width 0. Keeps the count text, the chosen
    // position and the state of "Show on Map".
    void ResetList();
    // "Go!": searches the selected category for the prepared text of the box
    // (trimmed, lower case, written back to the box), lists the matches,
    // sets the count text and disables "Show on Map". An empty prepared text
    // makes no search and changes nothing but the emptied list.
    void OnGo();
    // A tap in the list: chooses the first selected match and enables "Show
    // on Map". The "No matches" item, and a tap that selects nothing, choose
    // nothing. Enter in the list does the same and then "Show on Map".
    void OnClickMatch();
    // Another category selected: the list empties (see ResetList).
    void OnCategoryChange();
    // The text box gains / loses the focus: the input panel goes up / down.
    void OnTextSetFocus();
    void OnTextKillFocus();
    // "Show on Map": reads the controls and closes; the chosen position is
    // the one the last tap set.
    void OnOK();
    // "Cancel", Esc or the close box: no chosen position, then closes.
    void OnCancel();

    // In: the map folder (device path) and the remembered search.
    QString m_strMapFolder;
    QString m_strRememberedText;   // out: the prepared text of the last search made here
    int m_nRememberedCategory = 0; // out: the category list index of that search
    // Out: the tapped match's map position; (0, 0) when none.
    int32_t m_nChosenX = 0;
    int32_t m_nChosenY = 0;
    // Exchanged with the text box and the selected category.
    QString m_strSearchText;
    QString m_strCategory;

    // Controls, for tests.
    QComboBox* CategoryList() const { return m_pCategory; }
    QLineEdit* TextBox() const { return m_pText; }
    QPushButton* GoButton() const { return m_pGo; }
    QTreeWidget* MatchList() const { return m_pList; }
    QLabel* CountText() const { return m_pCount; }
    QLabel* Notice() const { return m_pNotice; }
    QPushButton* ShowButton() const { return m_pShow; }
    QPushButton* CancelButton() const { return m_pCancel; }

    // --- Qt virtuals ---
    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Reads the text box and the selected category into the members.
    void ReadControls();
    // Shows the members in the text box and the category list.
    void WriteControls();
    // Sizes column (1 or 2) to its contents under its heading when any
    // listed match fills it; otherwise hides it.
    void FitOrHideColumn(int column, bool filled);
    // Shows the looser pass's notice, else the side index progress, above
    // the list (which gives up the room), or neither.
    void UpdateNotice();

    std::vector<QPoint> m_matchPositions; // map position of each listed match, by list index
    int m_nMatchCount = 0;                // listed matches ("No matches" does not count)
    bool m_bLooseMatches = false;         // the listed matches are the looser pass's

    QComboBox* m_pCategory = nullptr;
    QLineEdit* m_pText = nullptr;
    QPushButton* m_pGo = nullptr; // default
    QTreeWidget* m_pList = nullptr;
    QLabel* m_pCount = nullptr;
    QLabel* m_pNotice = nullptr;   // above the list, hidden when empty
    QTimer* m_pProgress = nullptr; // polls the side index progress
    QPushButton* m_pCancel = nullptr;
    QPushButton* m_pShow = nullptr;
};
