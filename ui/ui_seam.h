#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QDialog;
class QUrl;
class QWidget;

// The seam between the program's windows and the desktop: every message box,
// every modal dialog run, file chooser, the browser and the end of the program go through
// these calls, so that a test can replace them with scripted answers and never
// block on a modal loop. It sits below every dialog and the view, so none of
// them needs the application's own classes.

// Shows a message box captioned with the program's name and returns the button pressed
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

// Asks for a file to open (save false) or to save to, with a caption, a
// proposed name (save) and a filter ("GPX files (*.gpx)"); returns its host
// path, empty when the user cancelled. Saving asks before replacing a file.
QString ChooseFileName(QWidget* owner, const QString& caption, const QString& proposed,
                       const QString& filter, bool save);
// A scripted file chooser: given the caption and whether it saves, the path.
using FileNameHandler = std::function<QString(const QString& caption, bool save)>;

// Replace the real calls; an empty function restores them.
void SetMessageBoxHandler(MessageBoxHandler handler);
void SetModalHandler(ModalHandler handler);
void SetBrowserHandler(BrowserHandler handler);
void SetFileNameHandler(FileNameHandler handler);

// Ends the program without asking anything: runs the closer that the
// application registered (which closes its document, frame and view), then
// leaves the event loop once control is back in it. Without a closer it only
// leaves the event loop.
void CloseApplication();
// Registers the application's closer; an empty function removes it.
void SetApplicationCloser(std::function<void()> closer);
