#include "app/main_frame.h"

#include "res/bitmaps.h"
#include "res/resource.h"
#include "ui/ui_seam.h"
#include "view/map_view.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>
#include <array>

CMainFrame* g_pMainFrame = nullptr;

namespace {

// Closes the document, the frame and the view. The frame is destroyed once
// control is back in the event loop: the caller may be a handler of the view
// that the frame owns.
void CloseMainFrame() {
    if (CMainFrame* frame = g_pMainFrame) {
        frame->hide();
        frame->deleteLater();
    }
}

// A command's handler: a member function of the view, for the commands that
// need its dialogs, or of its canvas, for those that only move or mark the
// map. A misspelt or missing handler does not compile.
using ViewHandler = void (CVeldraViewerView::*)();
using CanvasHandler = void (CMapCanvas::*)();

struct CommandRoute {
    int id;
    ViewHandler onView;
    CanvasHandler onCanvas;
};

// The command table: every command of the program is handled by the view or
// its canvas. A command without a row (the blank toolbar button) is shown
// disabled.
const std::array<CommandRoute, 23> kCommandTable = {{
    {ID_MAP_OPEN, &CVeldraViewerView::OnOpenMap, nullptr},
    {ID_MAP_EXIT, &CVeldraViewerView::OnExit, nullptr},
    {ID_MAP_HELP, &CVeldraViewerView::OnHelp, nullptr},
    {ID_APP_ABOUT, &CVeldraViewerView::OnAbout, nullptr},
    {ID_TOOLS_SEARCH, &CVeldraViewerView::OnSearch, nullptr},
    {ID_TOOLS_ADD_FAVOURITE, &CVeldraViewerView::OnAddFavourite, nullptr},
    {ID_TOOLS_SHOW_FAVOURITES, &CVeldraViewerView::OnShowFavourites, nullptr},
    {ID_TOOLS_SET_HOME, nullptr, &CMapCanvas::OnSetHome},
    {ID_TOOLS_GO_HOME, &CVeldraViewerView::OnGoToHome, nullptr},
    {ID_TOOLS_SHOW_DIRECTION, nullptr, &CMapCanvas::OnShowDirection},
    {ID_TOOLS_SHOW_DISTANCE, nullptr, &CMapCanvas::OnShowDistance},
    {ID_TOOLS_GO_TO_COORDINATES, &CVeldraViewerView::OnGoToCoordinates, nullptr},
    {ID_TOOLS_EXPORT_GPX, &CVeldraViewerView::OnExportGpx, nullptr},
    {ID_TOOLS_IMPORT_GPX, &CVeldraViewerView::OnImportGpx, nullptr},
    {ID_TOOLS_FOLLOW_POSITION, &CVeldraViewerView::OnFollowPosition, nullptr},
    {ID_ZOOM_IN, nullptr, &CMapCanvas::OnZoomIn},
    {ID_ZOOM_OUT, nullptr, &CMapCanvas::OnZoomOut},
    {ID_MARK_ME, nullptr, &CMapCanvas::OnMarkMe},
    {ID_GOTO_ME, &CVeldraViewerView::OnGotoMe, nullptr},
    {ID_MARK_FLAG, nullptr, &CMapCanvas::OnMarkFlag},
    {ID_GOTO_FLAG, nullptr, &CMapCanvas::OnGotoFlag},
    {ID_FILE_OPEN, &CVeldraViewerView::OnFileOpen, nullptr},
    {ID_FILE_SAVE_AS, &CVeldraViewerView::OnFileSaveAs, nullptr},
}};

// The toolbar: command id, tooltip (empty: none) and image index in the strip.
struct ToolButton {
    int id;
    const char* tooltip;
};
const std::array<ToolButton, kToolbarImageCount> kToolButtons = {{
    {ID_ZOOM_IN, "Zoom in"},
    {ID_ZOOM_OUT, "Zoom out"},
    {ID_MARK_ME, "Mark me"},
    {ID_GOTO_ME, "Goto me"},
    {ID_MARK_FLAG, "Mark flag"},
    {ID_GOTO_FLAG, "Goto flag"},
    {ID_BLANK, ""},
}};

// A menu entry: command id and text; id 0 is a separator.
struct MenuEntry {
    int id;
    const char* text;
};
const MenuEntry kMapMenu[] = {
    {ID_MAP_OPEN, "Open..."}, {ID_MAP_EXIT, "Exit"}, {0, nullptr},
    {ID_MAP_HELP, "Help..."}, {0, nullptr},          {ID_APP_ABOUT, "About..."},
};
const MenuEntry kToolsMenu[] = {
    {ID_TOOLS_SEARCH, "Search..."},
    {0, nullptr},
    {ID_TOOLS_ADD_FAVOURITE, "Add to Favourite Places..."},
    {ID_TOOLS_SHOW_FAVOURITES, "Show Favourite Places..."},
    {ID_TOOLS_SET_HOME, "Set as Home"},
    {ID_TOOLS_GO_HOME, "Go to Home"},
    {0, nullptr},
    {ID_TOOLS_SHOW_DIRECTION, "Show Direction to Flag"},
    {ID_TOOLS_SHOW_DISTANCE, "Show Distance to Flag"},
    {0, nullptr},
    {ID_TOOLS_GO_TO_COORDINATES, "Go to Coordinates..."},
    {ID_TOOLS_EXPORT_GPX, "Export Places to GPX..."},
    {ID_TOOLS_IMPORT_GPX, "Import Places from GPX..."},
    {ID_TOOLS_FOLLOW_POSITION, "Follow My Position"},
};

// The commands that need the open map's place on Earth, with what their
// tooltips say while they are available.
struct GeoCommand {
    int id;
    const char* tooltip;
};
const GeoCommand kGeoCommands[] = {
    {ID_TOOLS_GO_TO_COORDINATES, "Centre the map on a latitude and longitude"},
    {ID_TOOLS_EXPORT_GPX, "Save the Favourite Places, Home, me and the flag as a GPX file"},
    {ID_TOOLS_IMPORT_GPX, "Add the waypoints and track points of a GPX file as places"},
    {ID_TOOLS_FOLLOW_POSITION, "Move me to where the position receiver says you are"},
};

} // namespace

CMainFrame::CMainFrame() {
    g_pMainFrame = this;
    SetApplicationCloser(CloseMainFrame);
    setWindowTitle(QString::fromLatin1(kAppTitle));
    setWindowIcon(AppIcon());
}

CMainFrame::~CMainFrame() {
    if (g_pMainFrame == this)
        g_pMainFrame = nullptr;
}

int CMainFrame::OnCreate() {
    // The view first, then the command bar whose marking buttons it presses.
    auto* view = new CVeldraViewerView(this);
    if (!view->IsCreated()) {
        delete view;
        return -1;
    }
    m_pView = view;
    connect(m_pView, &CVeldraViewerView::CommandsChanged, this, &CMainFrame::UpdateCommandUI);
    connect(m_pView, &CVeldraViewerView::MarkButtonChanged, this, [this](int marker, bool pressed) {
        if (marker == COverlays::MARKER_ME)
            CheckMarkMeButton(pressed);
        else
            CheckMarkFlagButton(pressed);
    });
    setCentralWidget(m_pView);
    if (!CreateCommandBar())
        return -1;

    // A new window gives the view a 240 x 268 client area; the user may make
    // it as large as the screen.
    const int chrome = menuBar()->sizeHint().height() + m_pToolBar->sizeHint().height();
    resize(kDefaultViewWidth, kDefaultViewHeight + chrome);
    return 0;
}

QAction* CMainFrame::MakeCommand(int id, const QString& text) {
    auto* action = new QAction(text, this);
    action->setEnabled(RouteCommand(id, false));
    connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    m_commands.insert(id, action);
    return action;
}

bool CMainFrame::CreateCommandBar() {
    // Menu bar.
    auto fillMenu = [this](QMenu* menu, const MenuEntry* entries, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            if (entries[i].id == 0)
                menu->addSeparator();
            else
                menu->addAction(MakeCommand(entries[i].id, QString::fromLatin1(entries[i].text)));
        }
        connect(menu, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommandUI);
    };
    QMenuBar* bar = menuBar();
    fillMenu(bar->addMenu(QStringLiteral("Map")), kMapMenu, std::size(kMapMenu));
    fillMenu(bar->addMenu(QStringLiteral("Tools")), kToolsMenu, std::size(kToolsMenu));
    CommandAction(ID_TOOLS_SHOW_DIRECTION)->setCheckable(true);
    CommandAction(ID_TOOLS_SHOW_DISTANCE)->setCheckable(true);
    // A disabled command says why in its tooltip.
    for (QMenu* menu : bar->findChildren<QMenu*>())
        menu->setToolTipsVisible(true);

    // Toolbar, images from the 112 x 16 strip.
    m_pToolBar = new QToolBar(QStringLiteral("Command bar"), this);
    m_pToolBar->setObjectName(QStringLiteral("commandBar"));
    m_pToolBar->setMovable(false);
    m_pToolBar->setFloatable(false);
    m_pToolBar->setIconSize(QSize(kToolbarImageSize, kToolbarImageSize));
    m_pToolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    m_pToolBar->setContextMenuPolicy(Qt::PreventContextMenu);
    for (int i = 0; i < kToolbarImageCount; ++i) {
        const ToolButton& button = kToolButtons[static_cast<size_t>(i)];
        QAction* action = MakeCommand(button.id, QString::fromLatin1(button.tooltip));
        action->setIcon(ToolbarIcon(i));
        action->setToolTip(QString::fromLatin1(button.tooltip));
        m_pToolBar->addAction(action);
    }
    // The two marking buttons show a pressed state, set only by the view.
    CommandAction(ID_MARK_ME)->setCheckable(true);
    CommandAction(ID_MARK_FLAG)->setCheckable(true);
    // Follow My Position, the menu item's action, after the strip's buttons.
    QAction* follow = CommandAction(ID_TOOLS_FOLLOW_POSITION);
    follow->setCheckable(true);
    follow->setIcon(FollowPositionIcon());
    m_pToolBar->addAction(follow);
    addToolBar(Qt::TopToolBarArea, m_pToolBar);
    UpdateCommandUI();

    // Accelerators: Ctrl+O reaches the view's no-op Open; Ctrl+Q closes the
    // window. Save As has no key and does nothing either.
    QAction* open = MakeCommand(ID_FILE_OPEN, QStringLiteral("Open"));
    open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    addAction(open);
    addAction(MakeCommand(ID_FILE_SAVE_AS, QStringLiteral("Save As")));
    auto* exit = new QAction(QStringLiteral("Exit"), this);
    exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(exit, &QAction::triggered, this, &QWidget::close);
    addAction(exit);
    // F11 switches between full screen and the window as it was.
    auto* fullScreen = new QAction(QStringLiteral("Full Screen"), this);
    fullScreen->setObjectName(QStringLiteral("fullScreen"));
    fullScreen->setShortcut(QKeySequence(Qt::Key_F11));
    connect(fullScreen, &QAction::triggered, this, &CMainFrame::ToggleFullScreen);
    addAction(fullScreen);
    return true;
}

void CMainFrame::ToggleFullScreen() {
    setWindowState(windowState() ^ Qt::WindowFullScreen);
}

bool CMainFrame::RouteCommand(int id, bool invoke) {
    for (const CommandRoute& entry : kCommandTable) {
        if (entry.id != id)
            continue;
        if (invoke && m_pView) {
            if (entry.onView)
                (m_pView->*entry.onView)();
            else
                (m_pView->Canvas().*entry.onCanvas)();
        }
        return true;
    }
    return false;
}

void CMainFrame::OnCommand(int id) {
    // A checkable action flips itself when triggered; the marking buttons show
    // only what the view last set.
    if (id == ID_MARK_ME)
        CommandAction(id)->setChecked(m_bMarkMePressed);
    else if (id == ID_MARK_FLAG)
        CommandAction(id)->setChecked(m_bMarkFlagPressed);
    RouteCommand(id, true);
    if (id == ID_TOOLS_SHOW_DIRECTION || id == ID_TOOLS_SHOW_DISTANCE ||
        id == ID_TOOLS_FOLLOW_POSITION)
        UpdateCommandUI();
}

void CMainFrame::UpdateCommandUI() {
    if (!m_pView)
        return;
    if (QAction* direction = CommandAction(ID_TOOLS_SHOW_DIRECTION))
        direction->setChecked(m_pView->Overlays().ShowDirection());
    if (QAction* distance = CommandAction(ID_TOOLS_SHOW_DISTANCE))
        distance->setChecked(m_pView->Overlays().ShowDistance());
    // Without a geo-reference the commands that need one are off, and say why.
    const QString reason = m_pView->GeoUnavailableReason();
    for (const GeoCommand& command : kGeoCommands) {
        if (QAction* action = CommandAction(command.id)) {
            const QString tip = reason.isEmpty() ? QString::fromUtf8(command.tooltip) : reason;
            action->setEnabled(reason.isEmpty());
            action->setToolTip(tip);
            action->setStatusTip(tip);
        }
    }
    if (QAction* follow = CommandAction(ID_TOOLS_FOLLOW_POSITION))
        follow->setChecked(m_pView->Follower().IsOn());
}

void CMainFrame::CheckMarkMeButton(bool pressed) {
    if (!m_pToolBar)
        return;
    m_bMarkMePressed = pressed;
    CommandAction(ID_MARK_ME)->setChecked(pressed);
}

void CMainFrame::CheckMarkFlagButton(bool pressed) {
    if (!m_pToolBar)
        return;
    m_bMarkFlagPressed = pressed;
    CommandAction(ID_MARK_FLAG)->setChecked(pressed);
}
