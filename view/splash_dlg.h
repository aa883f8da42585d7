#pragma once

#include "ui/veldra_dialog.h"

#include <QTimer>

class QLabel;

// The splash: the title picture shown modally at start-up. It closes itself
// (as a cancel) when its timer fires; tapping it does nothing.
class CSplashDlg : public CVeldraDialog {
    Q_OBJECT
public:
    explicit CSplashDlg(QWidget* parent = nullptr);

    // Starts the timer that closes the dialog.
    void OnInitDialog() override;

    // Milliseconds the splash stays: 3000. Tests shorten it.
    static int s_nDelayMs;

    QLabel* Picture() const { return m_pPicture; }
    // The timer that closes the dialog (a precise one: never early).
    const QTimer& CloseTimer() const { return m_timer; }

private:
    QLabel* m_pPicture = nullptr;
    QTimer m_timer; // timer 1 of the dialog
};
