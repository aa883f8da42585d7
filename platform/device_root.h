#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

// The device root: the host directory under which every device path
// ("\Veldra\Maps", "/Veldra/My Places/...") lives. It is chosen once at start-up
// (--root DIR, else VELDRA_ROOT, else the per-user data folder) and tests set
// their own.

// Sets the device root to a host directory (made absolute).
void SetDeviceRoot(const QString& hostDir);

// The current device root; the default root until SetDeviceRoot is called.
QString DeviceRoot();

// The root chosen from the command line and environment: the value after
// "--root" (or "--root=DIR") in args, else $VELDRA_ROOT, else
// $XDG_DATA_HOME/veldra (~/.local/share/veldra).
QString ChooseDeviceRoot(const QStringList& args);

// Host path of a device path. A backslash and a slash are the same separator;
// a leading separator is optional. Every existing component is matched without
// regard to letter case (exact name first); components that do not exist are
// kept as given, so the result can be used to create them.
QString HostPath(const QString& devicePath);

// Joins a device folder and a name with a backslash ("%s\%s").
QString JoinDevicePath(const QString& folder, const QString& name);

// How many times a folder's name index has been read from disk since start-up
// (for tests: a folder is read once, and again only when it changed without
// the system reporting the change, or reports were lost).
uint64_t FolderIndexBuildCount();
