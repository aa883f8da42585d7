#include "store/installed_maps.h"

#include "platform/device_root.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "store/map_folder.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

// Longest key name that the registry reads return, in characters; longer
// ones cannot be read and their keys are passed over.
constexpr int kMaxKeyName = 254;

QString AppsKey() {
    return QString::fromLatin1(APPS_KEY);
}

// Host path of a device path with every symbolic link resolved except in the
// last component, so that a link is compared as itself and not as its target.
QString ResolvedPath(const QString& devicePath) {
    const QFileInfo info(HostPath(devicePath));
    const QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (parent.isEmpty())
        return QDir::cleanPath(info.absoluteFilePath());
    return QDir::cleanPath(parent + u'/' + info.fileName());
}

// Sets Current of the installed maps in one change of the registry.
bool MarkCurrentIn(const std::vector<InstalledMap>& maps, const QString& folder,
                   QString* pObstacle) {
    const QString currentValue = QString::fromLatin1(CURRENT_VALUE);
    std::vector<RegDwordValue> values;
    values.reserve(maps.size());
    for (const InstalledMap& map : maps)
        values.push_back({map.key, currentValue, map.folder == folder ? 1u : 0u});
    const bool marked = RegSetDwords(values);
    if (pObstacle)
        *pObstacle = marked ? QString() : RegistryWriteError();
    return marked;
}

} // namespace

std::optional<std::vector<InstalledMap>> WalkInstalledMaps() {
    const QString apps = AppsKey();
    const std::optional<QStringList> names = RegEnumSubkeys(apps);
    if (!names)
        return std::nullopt;
    const QString prefix = QString::fromLatin1(MAP_KEY_PREFIX);
    const QString installDir = QString::fromLatin1(INSTALL_DIR_VALUE);
    std::vector<InstalledMap> maps;
    for (const QString& name : *names) {
        if (name.size() > kMaxKeyName || !name.startsWith(prefix, Qt::CaseSensitive))
            continue;
        const QString key = apps + u'\\' + name;
        // An InstallDir too long to read in full counts as unreadable: cut, it
        // could name another folder.
        const std::optional<QString> folder = RegQueryString(key, installDir);
        if (!folder || folder->size() > MAX_INSTALL_DIR_CHARS)
            continue;
        maps.push_back({key, name.mid(prefix.size()), *folder});
    }
    return maps;
}

std::optional<std::vector<ListedMap>> ListLibraryMaps() {
    const std::optional<std::vector<InstalledMap>> maps = WalkInstalledMaps();
    if (!maps)
        return std::nullopt;
    std::vector<ListedMap> listed;
    for (const InstalledMap& map : *maps)
        if (const uint32_t size = GetFolderSize(map.folder); size != 0)
            listed.push_back({map.title, map.folder, size});
    return listed;
}

std::optional<ListedMap> PreselectInstalledMap(QString* pObstacle) {
    if (pObstacle)
        pObstacle->clear();
    const std::optional<std::vector<InstalledMap>> maps = WalkInstalledMaps();
    if (!maps)
        return std::nullopt;
    // The choice is the last listed map marked current, else the only listed
    // map. Measuring every folder would settle that as well, but only these
    // are measured: the maps marked current, from the last, until one is
    // listed; failing that, the maps in order until a second is listed.
    const QString currentValue = QString::fromLatin1(CURRENT_VALUE);
    const InstalledMap* chosen = nullptr;
    for (auto it = maps->crbegin(); it != maps->crend() && chosen == nullptr; ++it) {
        const std::optional<uint32_t> current = RegQueryDword(it->key, currentValue);
        if (current && *current == 1 && GetFolderSize(it->folder) != 0)
            chosen = &*it;
    }
    for (auto it = maps->cbegin(); it != maps->cend() && chosen == nullptr; ++it) {
        if (GetFolderSize(it->folder) == 0)
            continue;
        const auto second = std::find_if(it + 1, maps->cend(), [](const InstalledMap& map) {
            return GetFolderSize(map.folder) != 0;
        });
        if (second != maps->cend())
            return ListedMap{}; // several, none current: the library is shown
        chosen = &*it;
    }
    if (chosen == nullptr)
        return ListedMap{};
    MarkCurrentIn(*maps, chosen->folder, pObstacle);
    return ListedMap{chosen->title, chosen->folder, 0};
}

bool MarkCurrentMap(const QString& folder, QString* pObstacle) {
    if (pObstacle)
        pObstacle->clear();
    const std::optional<std::vector<InstalledMap>> maps = WalkInstalledMaps();
    return maps && MarkCurrentIn(*maps, folder, pObstacle);
}

bool DeleteInstalledMap(const QString& title, const QString& folder) {
    // A folder that holds other maps, the map store or the whole device is
    // never deleted; the key goes all the same, so the entry disappears.
    if (IsDeletableMapFolder(folder))
        DeleteFolderTree(folder);

    const QString apps = AppsKey();
    const QString key = MapKey(title);
    const std::optional<QStringList> names = RegEnumSubkeys(apps);
    if (!names)
        return false;
    for (const QString& name : *names) {
        if (apps + u'\\' + name == key) {
            RegDeleteKey(key);
            break;
        }
    }
    return true;
}

uint32_t GetFolderSize(const QString& folder) {
    return TreeSize(folder);
}

bool DeleteFolderTree(const QString& folder) {
    return DeleteTree(folder);
}

bool IsDeletableMapFolder(const QString& folder) {
    if (folder.trimmed().isEmpty())
        return false;
    const QString target = ResolvedPath(folder);
    QString root = QFileInfo(DeviceRoot()).canonicalFilePath();
    if (root.isEmpty())
        root = QDir::cleanPath(QFileInfo(DeviceRoot()).absoluteFilePath());
    const QString store = ResolvedPath(QString::fromLatin1(MAPS_FOLDER));
    if (!target.startsWith(root + u'/'))
        return false; // the root itself, or outside it
    return target != store && !store.startsWith(target + u'/');
}

QString FormatMapSize(uint32_t bytes) {
    return QString::asprintf("%.2f MB", bytes * 0.000001);
}
