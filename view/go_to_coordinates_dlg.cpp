#include "view/go_to_coordinates_dlg.h"

#include "ui/input_panel.h"
#include "ui/ui_seam.h"
#include "view/geo_readouts.h"

#include <QEvent>
#include <QLineEdit>
#include <QPushButton>

CGoToCoordinatesDlg::CGoToCoordinatesDlg(QWidget* parent)
    : CVeldraDialog(parent, QStringLiteral("Go to Coordinates"), QSize(160, 78)) {
    AddText(7, 7, 146, 10, QStringLiteral("Latitude and longitude:"));
    m_pText = new QLineEdit(this);
    m_pText->setGeometry(DluRect(7, 19, 146, 13));
    m_pText->installEventFilter(this);
    AddText(7, 35, 146, 18,
            QStringLiteral("for example 48.1361, 10.0695 or 48°8'10\"N 10°4'10\"E"));

    QPushButton* cancel = AddButton(QStringLiteral("Cancel"), 46, 57, 50, 14);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    m_pGo = AddButton(QStringLiteral("Go"), 103, 57, 50, 14);
    m_pGo->setDefault(true); // Enter presses "Go"
    connect(m_pGo, &QPushButton::clicked, this, &CGoToCoordinatesDlg::OnOK);
}

void CGoToCoordinatesDlg::OnInitDialog() {
    m_pText->setText(m_strText);
    m_pText->selectAll();
}

void CGoToCoordinatesDlg::OnOK() {
    m_strText = m_pText->text();
    QString error;
    const std::optional<GeoPoint> point = ParseGeoPoint(m_strText, error);
    if (!point) {
        VeldraMessageBox(this, error, QMessageBox::Ok, QMessageBox::Warning);
        return;
    }
    const QPoint position = m_pGeo ? m_pGeo->MapPositionOf(*point) : QPoint();
    if (m_pGeo == nullptr || !m_pGeo->IsUsablePosition(position)) {
        VeldraMessageBox(this,
                         QStringLiteral("%1 lies outside this map.").arg(FormatGeoPoint(*point)),
                         QMessageBox::Ok, QMessageBox::Warning);
        return;
    }
    m_nChosenX = position.x();
    m_nChosenY = position.y();
    QDialog::accept();
}

bool CGoToCoordinatesDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pText) {
        if (event->type() == QEvent::FocusIn)
            ShowInputPanel(true);
        else if (event->type() == QEvent::FocusOut)
            ShowInputPanel(false);
    }
    return CVeldraDialog::eventFilter(watched, event);
}
