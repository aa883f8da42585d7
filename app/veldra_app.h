#pragma once

#include "app/main_frame.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <memory>

class QApplication;

// The document: holds nothing. A new document does only the default; saving
// writes nothing.
class CVeldraViewerDoc : public QObject {
    Q_OBJECT
public:
    bool OnNewDocument() { return true; }
    void Serialize() {}
};

// The application object: owns the QApplication (or uses the one that
// exists, as under a test), the document and the main frame.
class CVeldraViewerApp {
public:
    CVeldraViewerApp(int& argc, char** argv);
    ~CVeldraViewerApp();
    CVeldraViewerApp(const CVeldraViewerApp&) = delete;
    CVeldraViewerApp& operator=(const CVeldraViewerApp&) = delete;

    // Start-up: chooses the device root from args (--root DIR, else
    // VELDRA_ROOT, else the per-user folder), makes the document and the main
    // frame (which makes the view) and shows the window. False ends the program.
    bool InitInstance(const QStringList& args);
    // Runs the event loop until the program closes; returns its exit code.
    int Run();

    CVeldraViewerDoc* Document() const { return m_pDocument.get(); }
    CMainFrame* MainFrame() const { return m_pMainFrame; }

private:
    std::unique_ptr<QApplication> m_pOwnApplication; // null when one existed
    std::unique_ptr<CVeldraViewerDoc> m_pDocument;
    QPointer<CMainFrame> m_pMainFrame;
};
