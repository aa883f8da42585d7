#include "ui/ui_seam.h"

#include "res/resource.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QUrl>

namespace {
MessageBoxHandler& MessageHandler() {
    static MessageBoxHandler handler;
    return handler;
}
ModalHandler& DialogHandler() {
    static ModalHandler handler;
    return handler;
}
BrowserHandler& UrlHandler() {
    static BrowserHandler handler;
    return handler;
}
FileNameHandler& FileHandler() {
    static FileNameHandler handler;
    return handler;
}
std::function<void()>& Closer() {
    static std::function<void()> closer;
    return closer;
}
} // namespace

int VeldraMessageBox(QWidget* owner, const QString& text, QMessageBox::StandardButtons buttons,
                     QMessageBox::Icon icon) {
    if (MessageHandler())
        return MessageHandler()(text, buttons, icon);
    // The texts keep the platform's "\r\n" line breaks; the box shows "\n".
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    QMessageBox box(icon, QString::fromLatin1(kAppTitle), shown, buttons, owner);
    return box.exec();
}

int RunModal(QDialog& dialog) {
    if (DialogHandler()) {
        dialog.setModal(true);
        return DialogHandler()(dialog);
    }
    return dialog.exec();
}

bool OpenInBrowser(const QUrl& url) {
    if (UrlHandler())
        return UrlHandler()(url);
    return QDesktopServices::openUrl(url);
}

QString ChooseFileName(QWidget* owner, const QString& caption, const QString& proposed,
                       const QString& filter, bool save) {
    if (FileHandler())
        return FileHandler()(caption, save);
    return save ? QFileDialog::getSaveFileName(owner, caption, proposed, filter)
                : QFileDialog::getOpenFileName(owner, caption, QString(), filter);
}

void SetMessageBoxHandler(MessageBoxHandler handler) {
    MessageHandler() = std::move(handler);
}
void SetModalHandler(ModalHandler handler) {
    DialogHandler() = std::move(handler);
}
void SetBrowserHandler(BrowserHandler handler) {
    UrlHandler() = std::move(handler);
}
void SetFileNameHandler(FileNameHandler handler) {
    FileHandler() = std::move(handler);
}

void CloseApplication() {
    if (Closer())
        Closer()();
    QCoreApplication::quit();
}
void SetApplicationCloser(std::function<void()> closer) {
    Closer() = std::move(closer);
}
