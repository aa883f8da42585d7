// The view's commands of the application shell: the start-up splash, the
// About box and Help.

#include "platform/device_root.h"
#include "ui/ui_seam.h"
#include "view/about_dlg.h"
#include "view/map_view.h"
#include "view/splash_dlg.h"

#include <QCoreApplication>
#include <QUrl>

namespace {
const char kHelpMessage[] =
    "Help is displayed within Internet Explorer.\r\n\r\nTo return to Veldra "
    "mapping, close the Internet Explorer Window.";
const char kHelpPage[] = "\\Veldra\\HTML\\help.htm";
} // namespace

void CVeldraViewerView::OnShowSplash() {
    {
        CSplashDlg splash(this);
        splash.DoModal();
    }
    // The first open follows the splash, whatever its modal run returned.
    QCoreApplication::postEvent(this, new QEvent(WM_OPENMAP));
}

void CVeldraViewerView::OnAbout() {
    CAboutDlg about(this);
    about.DoModal();
}

void CVeldraViewerView::OnHelp() {
    VeldraMessageBox(this, QString::fromLatin1(kHelpMessage), QMessageBox::Ok, QMessageBox::NoIcon);
    // Whether a browser took the page is not examined.
    OpenInBrowser(QUrl::fromLocalFile(HostPath(QString::fromLatin1(kHelpPage))));
}
