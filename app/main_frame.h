#pragma once

#include <QHash>
#include <QMainWindow>

class QAction;
class QMenu;
class QToolBar;
class CVeldraViewerView;

// The main frame: the one top-level window. It owns the map view (its central
// widget) and the command bar: the menu bar with "Map" and "Tools" and a
// toolbar of seven 16 x 16 buttons and "Follow My Position". Every command is routed to the view's
// handler of the same id through the command table; a command without a
// handler there (the blank toolbar button) is shown disabled. The view tells
// the frame when a marking button is to show pressed.
class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    CMainFrame();
    ~CMainFrame() override;

    // Creates the view, then the command bar. Returns 0, or -1 when a step
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
    // The action of a command id (menu item, toolbar button or accelerator),
    // or null.
    QAction* CommandAction(int id) const { return m_commands.value(id, nullptr); }

    // Sets the enabled state of every command from the view's handlers and the
    // menu check marks from the view's switches (run before a menu opens).
    void UpdateCommandUI();
    // Full screen on, or back to the window as it was (F11).
    void ToggleFullScreen();

    // Client size of the view in a new window, pixels.
    static constexpr int kDefaultViewWidth = 240;
    static constexpr int kDefaultViewHeight = 268;

private:
    bool CreateCommandBar();
    // Makes the action of a command routed to the view and records it by id.
    QAction* MakeCommand(int id, const QString& text);
    // Runs the view's handler of a command; false when it has none.
    bool RouteCommand(int id, bool invoke);
    void OnCommand(int id);

    CVeldraViewerView* m_pView = nullptr;
    QToolBar* m_pToolBar = nullptr;
    QHash<int, QAction*> m_commands;
    bool m_bMarkMePressed = false;
    bool m_bMarkFlagPressed = false;
};

// The one main frame, set by its constructor and cleared by its destructor.
// The application's closer (see CloseApplication) finds the frame through it.
extern CMainFrame* g_pMainFrame;
