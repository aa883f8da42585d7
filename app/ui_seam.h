#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QDialog;
class QUrl;
class QWidget;

// Every message box and every modal dialog run of the program goes through
// these two calls, so that a test can replace them with scripted answers and
// never block on a modal loop.

// The caption of every message box.
inline const QString kMessageCaption = QStringLiteral("Pocket Veldra");

// Shows a message box captioned "Pocket Veldra" and returns the button pressed
// (a QMessageBox::StandardButton value).
int VeldraMessageBox(QWidget* owner, const QString& text, QMessageBox::StandardButtons buttons,
                     QMessageBox::Icon icon);

// Runs a dialog modally and returns its result (QDialog::Accepted or Rejected).
int RunModal(QDialog& dialog);

// A scripted answer for message boxes: given the text, buttons and icon, the
// button to press.
using MessageBoxHandler =
    std::function<int(const QString& text, QMessageBox::StandardButtons, QMessageBox::Icon)>;
// A scripted modal run: acts on the dialog (set its members, press its
// buttons) and returns the result. No event loop runs for it.
using ModalHandler = std::function<int(QDialog& dialog)>;

// Opens a URL in the desktop's browser; false when no browser took it.
bool OpenInBrowser(const QUrl& url);
// A scripted browser: receives the URL instead of a browser.
using BrowserHandler = std::function<bool(const QUrl& url)>;

// Replace the real calls; an empty function restores them.
void SetMessageBoxHandler(MessageBoxHandler handler);
void SetModalHandler(ModalHandler handler);
void SetBrowserHandler(BrowserHandler handler);
