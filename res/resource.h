#pragma once

// Command ids of the program: the values the menus, the toolbar and the
// command table share.

// Commands of the "Map" menu.
inline constexpr int ID_MAP_OPEN = 32776;  // "Open..."
inline constexpr int ID_MAP_EXIT = 32779;  // "Exit"
inline constexpr int ID_MAP_HELP = 32786;  // "Help..."
inline constexpr int ID_APP_ABOUT = 32790; // "About..."

// Commands of the "Tools" menu.
inline constexpr int ID_TOOLS_SEARCH = 32785;          // "Search..."
inline constexpr int ID_TOOLS_ADD_FAVOURITE = 32777;   // "Add to Favourite Places..."
inline constexpr int ID_TOOLS_SHOW_FAVOURITES = 32778; // "Show Favourite Places..."
inline constexpr int ID_TOOLS_SET_HOME = 32787;        // "Set as Home"
inline constexpr int ID_TOOLS_GO_HOME = 32788;         // "Go to Home"
inline constexpr int ID_TOOLS_SHOW_DIRECTION = 32780;  // "Show Direction to Flag"
inline constexpr int ID_TOOLS_SHOW_DISTANCE = 32789;   // "Show Distance to Flag"
// Commands of maps that know where on Earth they lie.
inline constexpr int ID_TOOLS_GO_TO_COORDINATES = 32791; // "Go to Coordinates..."
inline constexpr int ID_TOOLS_EXPORT_GPX = 32792;        // "Export Places to GPX..."
inline constexpr int ID_TOOLS_IMPORT_GPX = 32793;        // "Import Places from GPX..."
inline constexpr int ID_TOOLS_FOLLOW_POSITION = 32794;   // "Follow My Position" (also a button)

// Toolbar buttons.
inline constexpr int ID_ZOOM_IN = 32781;   // "Zoom in"
inline constexpr int ID_ZOOM_OUT = 32782;  // "Zoom out"
inline constexpr int ID_MARK_ME = 32783;   // "Mark me"
inline constexpr int ID_GOTO_ME = 32784;   // "Goto me"
inline constexpr int ID_MARK_FLAG = 32771; // "Mark flag"
inline constexpr int ID_GOTO_FLAG = 32772; // "Goto flag"
inline constexpr int ID_BLANK = 32773;     // the seventh button: no handler

// The framework's own file commands (the view turns both into no-ops).
inline constexpr int ID_FILE_OPEN = 57601;
inline constexpr int ID_FILE_SAVE_AS = 57604;

// The window title and the version line shown in the pictures and the About box.
inline constexpr char kAppTitle[] = "Pocket Veldra";
inline constexpr char kVersionLine[] = "version 2.0.4";
