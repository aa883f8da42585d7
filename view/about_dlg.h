#pragma once

#include "ui/veldra_dialog.h"

class QPushButton;

// The About box: the title picture, the map publisher's addresses and
// notice, the software maker's credit, logo, address and notice, the OK
// button and the version line.
class CAboutDlg : public CVeldraDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    QPushButton* OkButton() const { return m_pOk; }

private:
    QPushButton* m_pOk = nullptr; // control id 1010
};
