#include "places/add_favourite_dlg.h"

#include "places/place_files.h"
#include "res/bitmaps.h"
#include "ui/input_panel.h"
#include "ui/ui_seam.h"

#include <QEvent>
#include <QLineEdit>
#include <QPushButton>

CAddFavouriteDlg::CAddFavouriteDlg(QWidget* parent)
    : CVeldraDialog(parent, QStringLiteral("Add Favourite Place"), QSize(139, 133)) {
    AddPicture(7, 7, MapsLogoBitmap());
    AddText(39, 15, 98, 12, QStringLiteral("Enter Favourite Place name:"));

    m_pName = new QLineEdit(this);
    m_pName->setGeometry(DluRect(7, 39, 115, 13));
    m_pName->installEventFilter(this);

    QPushButton* cancel = AddButton(QStringLiteral("Cancel"), 10, 58, 50, 14);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    m_pAdd = AddButton(QStringLiteral("Add"), 71, 58, 50, 14);
    m_pAdd->setDefault(true); // Enter presses "Add"
    connect(m_pAdd, &QPushButton::clicked, this, &CAddFavouriteDlg::OnOK);
}

void CAddFavouriteDlg::OnOK() {
    m_strPlaceName = m_pName->text();
    if (m_strPlaceName.isEmpty() || m_strPlaceName.size() > MAX_PLACE_NAME) {
        VeldraMessageBox(this,
                         QStringLiteral("Please enter a Favourite Place name (max %1 characters)")
                             .arg(MAX_PLACE_NAME),
                         QMessageBox::Ok, QMessageBox::NoIcon);
        return;
    }
    // The name is also the name of the place's file: one that cannot be
    // (with a folder separator, or "." or "..") is refused like a long one.
    if (!IsValidPlaceName(m_strPlaceName)) {
        VeldraMessageBox(
            this,
            QStringLiteral("Please enter a Favourite Place name without / or \\ (and not . or ..)"),
            QMessageBox::Ok, QMessageBox::NoIcon);
        return;
    }
    // Never closed as if saved when nothing was: the dialog stays open.
    if (!SavePlace(m_strMapTitle, m_strPlaceName, QPoint(m_nX, m_nY))) {
        VeldraMessageBox(this, QStringLiteral("The Favourite Place could not be saved."),
                         QMessageBox::Ok, QMessageBox::Warning);
        return;
    }
    QDialog::accept();
}

void CAddFavouriteDlg::OnNameSetFocus() {
    ShowInputPanel(true);
}

void CAddFavouriteDlg::OnNameKillFocus() {
    ShowInputPanel(false);
}

bool CAddFavouriteDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pName) {
        if (event->type() == QEvent::FocusIn)
            OnNameSetFocus();
        else if (event->type() == QEvent::FocusOut)
            OnNameKillFocus();
    }
    return CVeldraDialog::eventFilter(watched, event);
}
