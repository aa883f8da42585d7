#pragma once

#include <QHash>
#include <QMainWindow>

class QAction;
class QToolBar;
class QMenuBar;
class CVeldraViewerView;

// The main frame: the one top-level window. It owns the map view (its central
// widget) and the command bar, made of the menu bar ("Map", "Tools") and a
// toolbar of seven 16 x 16 buttons. Every command of the program is routed to
// the view's handler of the same id; a command whose handler the view does not
// have is shown disabled.
class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    CMainFrame();
    ~CMainFrame() override;

    // Creates the view and then the command bar. Returns 0, or -1 when a step
    // fails (the frame must then not be shown).
    int OnCreate();

    // Shows the toolbar's "Mark me" / "Mark flag" button pressed or released.
    // Does nothing while the command bar does not exist yet. The button stays
    // enabled either way.
    void CheckMarkMeButton(bool pressed);
    void CheckMarkFlagButton(bool pressed);

    // The map view, or null before OnCreate.
    CVeldraViewerView* GetActiveView() const { return m_pView; }
    // The command bar's toolbar, or null before OnCreate.
    QToolBar* CommandBar() const { return m_pToolBar; }
    // The menu or toolbar action of a command id, or null.
    QAction* CommandAction(int id) const { return m_commands.value(id, nullptr); }
    // The toolbar action of a command id (the menus and the toolbar share no
    // command), or null.
    QAction* ToolbarAction(int id) const { return m_toolButtons.value(id, nullptr); }

    // Refreshes the enabled state and the check marks of the menu commands
    // from the view (called before a menu opens).
    void UpdateCommandUI();

private:
    bool CreateCommandBar();
    QAction* AddCommand(QWidget* container, int id, const QString& text);

    CVeldraViewerView* m_pView = nullptr;
    QToolBar* m_pToolBar = nullptr;
    QHash<int, QAction*> m_commands;    // menu commands by id
    QHash<int, QAction*> m_toolButtons; // toolbar commands by id
};

// The one main frame, set by its constructor and cleared by its destructor.
extern CMainFrame* g_pMainFrame;

// Closes the document, the frame and the view without asking anything, and
// ends the program once the event loop is reached again.
void CloseApplication();
