#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

// The installed maps, as the registry and the device's folders record them
// (the keys and values are described in store/map_folder.h): walking them,
// measuring and deleting their folders, and marking the one chosen last as
// current. Folders are device paths. No widgets: the map library dialog is a
// thin window over these functions.

// One installed-map key whose InstallDir could be read.
struct InstalledMap {
    QString key;    // full key path under the registry root
    QString title;  // key name after the prefix
    QString folder; // InstallDir
};

// One map the library lists: an installed map whose folder holds files.
struct ListedMap {
    QString title;
    QString folder;
    uint32_t size = 0; // bytes of all files below the folder, summed in 32 bits
};

// Every installed-map key whose InstallDir can be read, in registry order.
// Keys whose name or InstallDir is too long to read are passed over. Nothing
// when Software\Apps cannot be opened.
std::optional<std::vector<InstalledMap>> WalkInstalledMaps();

// The maps with files, in registry order, with their folder sizes; nothing
// when the installed maps cannot be read.
std::optional<std::vector<ListedMap>> ListLibraryMaps();

// The map to open at start-up without showing the library: the map marked
// current (the last such listed map), else the only listed map. It is marked
// current; when that cannot be saved, *pObstacle (when given) names what
// stands in the way (see RegistryWriteError), else it is emptied. An empty
// title and folder when none can be chosen this way; nothing when the
// installed maps cannot be read.
std::optional<ListedMap> PreselectInstalledMap(QString* pObstacle = nullptr);

// Sets "Current" of every installed map: 1 where InstallDir equals folder
// exactly, 0 elsewhere, in one change of the registry. False when it cannot
// be made: nothing is changed then, and *pObstacle (when given) names what
// stood in the way of the change (empty when the installed maps could not be
// read at all).
bool MarkCurrentMap(const QString& folder, QString* pObstacle = nullptr);

// Deletes a listed map: its folder (unless IsDeletableMapFolder refuses it)
// and its registry key, which goes even when the folder may not. False when
// the installed maps cannot be read.
bool DeleteInstalledMap(const QString& title, const QString& folder);

// Bytes of all files below a folder, summed in 32 bits; 0 when it cannot be
// listed. Symbolic links count nothing and are not followed.
uint32_t GetFolderSize(const QString& folder);

// Deletes a folder with everything below it, names taken byte for byte. Never
// leaves the folder: a symbolic link inside it (or the folder itself, when it
// is a link) is removed, not followed, and a folder reached through a link is
// refused. True when everything went.
bool DeleteFolderTree(const QString& folder);

// False for a folder whose deletion would take more than one map: an empty
// path, the device root, the map store root \Veldra\Maps or a folder that
// holds it, and anything outside the device root.
bool IsDeletableMapFolder(const QString& folder);

// A folder size as the library shows it: megabytes of 10^6 bytes, "%.2f MB".
QString FormatMapSize(uint32_t bytes);
