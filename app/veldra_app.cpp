#include "app/veldra_app.h"

#include "app/main_frame.h"
#include "platform/device_root.h"

#include <QApplication>

CVeldraViewerApp::CVeldraViewerApp(int& argc, char** argv) {
    if (!QCoreApplication::instance())
        m_pOwnApplication = std::make_unique<QApplication>(argc, argv);
}

CVeldraViewerApp::~CVeldraViewerApp() {
    delete m_pMainFrame.data();
    m_pDocument.reset();
}

bool CVeldraViewerApp::InitInstance(const QStringList& args) {
    // The framework's settings key; the program stores nothing under it.
    QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    QCoreApplication::setApplicationName(QStringLiteral("VeldraViewer"));
    SetDeviceRoot(ChooseDeviceRoot(args));

    m_pDocument = std::make_unique<CVeldraViewerDoc>();
    if (!m_pDocument->OnNewDocument())
        return false;
    auto* frame = new CMainFrame();
    if (frame->OnCreate() != 0) {
        delete frame;
        return false;
    }
    m_pMainFrame = frame;
    frame->show();
    frame->repaint();
    return true;
}

int CVeldraViewerApp::Run() {
    return QCoreApplication::exec();
}
