#pragma once

#include "store/geo_reference.h"
#include "ui/veldra_dialog.h"

#include <QString>
#include <cstdint>

class QLineEdit;
class QPushButton;

// "Go to Coordinates": asks for a latitude and longitude (decimal degrees,
// or degrees, minutes and seconds; see ParseGeoPoint) and gives the map
// position that holds them. Text it cannot read, and a point off the map,
// are refused with a message and the dialog stays open.
class CGoToCoordinatesDlg : public CVeldraDialog {
    Q_OBJECT
public:
    explicit CGoToCoordinatesDlg(QWidget* parent = nullptr);

    void OnInitDialog() override;
    // "Go" (or Enter): reads the text and closes when it names a point on the map.
    void OnOK();

    const CGeoReference* m_pGeo = nullptr; // in: the open map's place on Earth
    QString m_strText;                     // exchanged with the text box
    int32_t m_nChosenX = 0;                // out: the map position; (0, 0) = none
    int32_t m_nChosenY = 0;

    // Controls, for tests.
    QLineEdit* TextBox() const { return m_pText; }

    // --- Qt virtuals ---
    void accept() override { OnOK(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* m_pText = nullptr;
    QPushButton* m_pGo = nullptr; // default
};
