#pragma once

#include "ui/veldra_dialog.h"

#include <QString>
#include <cstdint>

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// "Favourite Places": lists the places saved for a map (Home among them),
// sorted by name. "Show on Map" leaves the first selected place's map
// position (pixels of the whole map at zoom 1.0) in the chosen position and
// closes; "Delete" removes the first selected place after a question. Both
// buttons are disabled until the first tap in the list.
class CFavouritesDlg : public CVeldraDialog {
    Q_OBJECT
public:
    explicit CFavouritesDlg(QWidget* parent = nullptr);

    // The "Place" column, the list, both buttons disabled.
    void OnInitDialog() override;
    // Lists the map's places again, nothing selected; clears the chosen position.
    void FillList();
    // A tap in the list enables "Show on Map" and "Delete".
    void OnClickPlace();
    // "Show on Map" (or Enter): loads the first selected place into the
    // chosen position and closes. Nothing happens without a selected place.
    void OnOK();
    // "Delete": asks, then deletes the first selected place and refills the list.
    void OnDelete();

    QString m_strMapTitle;  // in
    int32_t m_nChosenX = 0; // out; (0, 0) when none
    int32_t m_nChosenY = 0;

    // Controls, for tests.
    QTreeWidget* PlaceList() const { return m_pList; }
    QPushButton* ShowButton() const { return m_pShow; }
    QPushButton* DeleteButton() const { return m_pDelete; }

    // --- Qt virtuals ---
    void accept() override { OnOK(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The first selected place in the sorted list, or null.
    QTreeWidgetItem* FirstSelected() const;

    QTreeWidget* m_pList = nullptr;
    QPushButton* m_pDelete = nullptr;
    QPushButton* m_pShow = nullptr; // default
};
