#pragma once

#include "ui/veldra_dialog.h"

#include <QString>
#include <cstdint>

class QLineEdit;
class QPushButton;

// "Add Favourite Place": asks for a name and saves the given map position
// (pixels of the whole map at zoom 1.0) under it for the map. A name that is
// empty, longer than MAX_PLACE_NAME characters or no file name (a "/" or "\"
// in it, or "." or "..") is refused with a message and the dialog stays open;
// any other name is saved as typed, replacing a place of that name, and the
// dialog closes once the place is saved (else a warning, and it stays open).
class CAddFavouriteDlg : public CVeldraDialog {
    Q_OBJECT
public:
    explicit CAddFavouriteDlg(QWidget* parent = nullptr);

    // "Add" (or Enter): checks the name, saves the place and closes.
    void OnOK();
    // The name box gains / loses the focus: the input panel goes up / down.
    void OnNameSetFocus();
    void OnNameKillFocus();

    int32_t m_nX = 0; // in: the map position to save
    int32_t m_nY = 0;
    QString m_strMapTitle;  // in: the map the place belongs to
    QString m_strPlaceName; // exchanged with the name box; empty at first

    // Controls, for tests.
    QLineEdit* NameBox() const { return m_pName; }
    QPushButton* OkButton() const { return m_pAdd; } // "Add"

    // --- Qt virtuals ---
    void accept() override { OnOK(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* m_pName = nullptr;
    QPushButton* m_pAdd = nullptr; // default
};
