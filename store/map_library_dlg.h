#pragma once

#include "store/installed_maps.h"
#include "ui/veldra_dialog.h"

#include <QString>

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// The map library: lists the installed maps whose folder holds files with
// their sizes, sorted by title; lets the user open one or delete one with its
// folder and key; remembers the chosen map as current; and at start-up
// preselects the current (or only) map without showing itself. The work is
// done by store/installed_maps; this dialog is its window.
class CMapLibraryDlg : public CVeldraDialog {
    Q_OBJECT
public:
    explicit CMapLibraryDlg(QWidget* parent = nullptr);

    // Called instead of showing the dialog at start-up. Chooses the map marked
    // current (the last such listed map), else the only listed map, and marks
    // it current (with a warning when that cannot be saved); skipDialog then
    // stays true. With no listed map, or several
    // and none current, the choice is emptied and skipDialog cleared. False
    // only when the installed maps cannot be read (skipDialog stays true,
    // nothing chosen).
    bool PreselectMap(bool& skipDialog);

    // Fills the list and disables "Open Map" and "Delete" until the first
    // click in the list.
    void OnInitDialog() override;
    // Empties the list and lists every installed map with files.
    void FillMapList();
    // "Open Map": takes the first selected row as the choice, marks it current
    // (with a warning when that cannot be saved) and closes as accepted.
    // Nothing happens without a selected row.
    void OnOK();
    // "Cancel" (and Esc, and the window's close button).
    void OnCancel();
    // "Delete": after the question, deletes the first selected map's folder
    // (unless the folder is one that must never go) and its registry key,
    // then refills the list.
    void OnDeleteMap();
    // A click anywhere in the list, or a row chosen with the keys, enables
    // "Open Map" and "Delete". Enter then presses "Open Map"; a double click
    // on a row opens it.
    void OnListClick();
    // Marks the chosen folder m_strMapFolder current (see ::MarkCurrentMap).
    bool MarkCurrentMap(QString* pObstacle = nullptr) {
        return ::MarkCurrentMap(m_strMapFolder, pObstacle);
    }

    QString m_strMapTitle;     // the chosen map's title; empty when none
    QString m_strMapFolder;    // the chosen map's folder (device path)
    bool m_bCancelled = false; // left with Cancel

    // Controls, for tests.
    QTreeWidget* MapList() const { return m_pList; }
    QPushButton* OpenButton() const { return m_pOpen; }
    QPushButton* DeleteButton() const { return m_pDelete; }

    // --- Qt virtuals ---
    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The first selected row in list order, or null.
    QTreeWidgetItem* FirstSelectedRow() const;
    // Says that the chosen map could not be marked current and what stands in
    // the way of the registry's change (nothing when obstacle is empty: an
    // unreadable registry, which the viewer reports at start-up).
    void WarnNotMarked(const QString& obstacle);

    QTreeWidget* m_pList = nullptr;
    QPushButton* m_pDelete = nullptr;
    QPushButton* m_pCancel = nullptr;
    QPushButton* m_pOpen = nullptr; // default
};
