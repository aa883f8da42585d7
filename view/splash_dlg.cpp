#include "view/splash_dlg.h"

#include "res/bitmaps.h"

#include <QLabel>

int CSplashDlg::s_nDelayMs = 3000;

CSplashDlg::CSplashDlg(QWidget* parent)
    : CVeldraDialog(parent, QStringLiteral("Dialog"), QSize(157, 167)) {
    // The picture keeps its own size (144 x 184) from the control's top-left.
    m_pPicture = AddPicture(30, 22, SplashBitmap());

    m_timer.setSingleShot(true);
    // The default timer may fire up to 5 % early; the splash stays at least
    // as long as it promises.
    m_timer.setTimerType(Qt::PreciseTimer);
    // The timer posts the close, so the dialog ends from its own event loop.
    connect(&m_timer, &QTimer::timeout, this, &QDialog::reject, Qt::QueuedConnection);
}

void CSplashDlg::OnInitDialog() {
    m_timer.start(s_nDelayMs);
}
