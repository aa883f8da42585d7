// The view's commands of the application shell: the start-up splash, the
// About box and Help.

#include "platform/device_root.h"
#include "ui/ui_seam.h"
#include "view/about_dlg.h"
#include "view/map_view.h"
#include "view/splash_dlg.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaObject>
#include <QUrl>

namespace {
const char kHelpMessage[] = "Help is displayed within your web browser.\r\n\r\nTo return to Veldra "
                            "mapping, close the web browser window.";
const char kNoBrowserMessage[] = "No web browser could show the help page.";
const char kNoHelpPageMessage[] = "The help page is not installed.";
const char kHelpPage[] = "\\Veldra\\HTML\\help.htm";
} // namespace

QString HelpPagePath() {
    const QString onDevice = HostPath(QString::fromLatin1(kHelpPage));
    if (QFileInfo(onDevice).isFile())
        return onDevice;
#ifdef VELDRA_HELP_FROM_BINDIR
    // Where the installation put it, relative to the program.
    const QString installed =
        QCoreApplication::applicationDirPath() + QLatin1String("/" VELDRA_HELP_FROM_BINDIR);
    if (QFileInfo(installed).isFile())
        return QFileInfo(installed).canonicalFilePath();
#endif
    return QString();
}

void CVeldraViewerView::OnShowSplash() {
    {
        CSplashDlg splash(this);
        splash.DoModal();
    }
    // The first open follows the splash, whatever its modal run returned.
    QMetaObject::invokeMethod(this, &CVeldraViewerView::OnOpenMapAtStartup, Qt::QueuedConnection);
}

void CVeldraViewerView::OnAbout() {
    CAboutDlg about(this);
    about.DoModal();
}

void CVeldraViewerView::OnHelp() {
    VeldraMessageBox(this, QString::fromLatin1(kHelpMessage), QMessageBox::Ok, QMessageBox::NoIcon);
    const QString page = HelpPagePath();
    if (page.isEmpty())
        VeldraMessageBox(this, QString::fromLatin1(kNoHelpPageMessage), QMessageBox::Ok,
                         QMessageBox::Warning);
    else if (!OpenInBrowser(QUrl::fromLocalFile(page)))
        VeldraMessageBox(this, QString::fromLatin1(kNoBrowserMessage), QMessageBox::Ok,
                         QMessageBox::Warning);
}
