#include "app/main_frame.h"

#include <QAction>
#include <QCoreApplication>
#include <QToolBar>

CMainFrame* g_pMainFrame = nullptr;

CMainFrame::CMainFrame() { g_pMainFrame = this; }

CMainFrame::~CMainFrame() {
    if (g_pMainFrame == this)
        g_pMainFrame = nullptr;
}

int CMainFrame::OnCreate() { return CreateCommandBar() ? 0 : -1; }

bool CMainFrame::CreateCommandBar() {
    m_pToolBar = addToolBar(QStringLiteral("Command bar"));
    return m_pToolBar != nullptr;
}

QAction* CMainFrame::AddCommand(QWidget*, int, const QString&) { return nullptr; }

void CMainFrame::CheckMarkMeButton(bool) {}
void CMainFrame::CheckMarkFlagButton(bool) {}
void CMainFrame::UpdateCommandUI() {}

void CloseApplication() {
    if (g_pMainFrame) {
        g_pMainFrame->hide();
        g_pMainFrame->deleteLater();
    }
    QCoreApplication::quit();
}
