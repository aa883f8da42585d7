#include "platform/device_root.h"

#include <QDir>
#include <QFile>
#include <QHash>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>

// Device paths are resolved under one host directory. Letter case is ignored
// the way the device's file system ignores it: a path that exists as spelt is
// settled by one lstat of the whole path; otherwise each component is tried
// with its exact spelling (one lstat), and only when that fails is it looked up
// in an index of the folder's names (case-folded name -> name on disk). The
// index of a folder is built by reading the folder once and is kept until the
// folder's stamp (device, inode, modification and change time in nanoseconds,
// size) changes, so looking up many names in one big folder reads it once.

namespace {

std::mutex g_rootMutex;
QString g_root; // absolute, cleaned; empty until first used or set
bool g_rootSet = false;

// What identifies one state of a folder. Creating, deleting or renaming an
// entry updates the folder's modification and change times.
struct FolderStamp {
    dev_t device = 0;
    ino_t inode = 0;
    int64_t mtimeNs = 0;
    int64_t ctimeNs = 0;
    off_t size = 0;
    bool operator==(const FolderStamp&) const = default;
};

struct FolderIndex {
    FolderStamp stamp;
    // A folder changed within the time-stamp granularity before the index was
    // built may change again without a new stamp; such an index is read again
    // when a name is not found in it.
    bool racy = false;
    QHash<QString, QByteArray> names; // case-folded name -> name on disk
};

// Time stamps of some file systems are coarse (a clock tick, or 2 s on FAT):
// a folder whose modification time is this close to the moment its index was
// built counts as possibly changed since.
constexpr int64_t kRacyWindowNs = 2'000'000'000;
// Folders whose index is kept; the cache is emptied when it grows past this.
constexpr qsizetype kMaxCachedFolders = 512;

std::mutex g_indexMutex;
QHash<QByteArray, FolderIndex> g_indexes; // host folder path -> index
std::atomic<uint64_t> g_indexBuilds{0};

int64_t ToNs(const timespec& ts) {
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ToNs(ts);
}

std::optional<FolderStamp> StampOf(const QByteArray& hostDir) {
    struct stat st {};
    if (stat(hostDir.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return FolderStamp{st.st_dev, st.st_ino, ToNs(st.st_mtim), ToNs(st.st_ctim), st.st_size};
}

// Reads the folder's names into index; false if the folder cannot be read.
bool BuildIndex(const QByteArray& hostDir, const FolderStamp& stamp, FolderIndex& index) {
    const int64_t started = NowNs();
    DIR* dir = opendir(hostDir.constData());
    if (!dir)
        return false;
    g_indexBuilds.fetch_add(1, std::memory_order_relaxed);
    index.names.clear();
    index.stamp = stamp;
    while (const dirent* entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QString folded = QFile::decodeName(name).toCaseFolded();
        auto it = index.names.find(folded);
        // Two names differing only in case: keep the smaller, so that the
        // choice does not depend on the order of the listing.
        if (it == index.names.end())
            index.names.insert(folded, name);
        else if (name < it.value())
            it.value() = name;
    }
    closedir(dir);
    index.racy = stamp.mtimeNs + kRacyWindowNs >= started;
    return true;
}

bool EntryExists(const QByteArray& path) {
    struct stat st {};
    return lstat(path.constData(), &st) == 0;
}

QByteArray JoinHost(const QByteArray& dir, const QByteArray& name) {
    return dir.endsWith('/') ? dir + name : dir + '/' + name;
}

// The on-disk name of the entry of hostDir whose name equals name without
// regard to letter case.
std::optional<QByteArray> FindNameIgnoringCase(const QByteArray& hostDir, const QString& name) {
    const std::optional<FolderStamp> stamp = StampOf(hostDir);
    if (!stamp)
        return std::nullopt;
    const QString folded = name.toCaseFolded();

    std::lock_guard lock(g_indexMutex);
    auto it = g_indexes.find(hostDir);
    bool fresh = false;
    if (it == g_indexes.end() || !(it->stamp == *stamp)) {
        if (it == g_indexes.end() && g_indexes.size() >= kMaxCachedFolders)
            g_indexes.clear();
        FolderIndex index;
        if (!BuildIndex(hostDir, *stamp, index)) {
            g_indexes.remove(hostDir);
            return std::nullopt;
        }
        it = g_indexes.insert(hostDir, std::move(index));
        fresh = true;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto found = it->names.constFind(folded);
        if (found != it->names.cend() && EntryExists(JoinHost(hostDir, found.value())))
            return found.value();
        // Not there (or gone since): only an index that may have missed a
        // change is worth reading again.
        if (fresh || !it->racy)
            return std::nullopt;
        if (!BuildIndex(hostDir, *stamp, *it)) {
            g_indexes.erase(it);
            return std::nullopt;
        }
        fresh = true;
    }
    return std::nullopt;
}

QString DefaultRootLocked() {
    return ChooseDeviceRoot({});
}

} // namespace

void SetDeviceRoot(const QString& hostDir) {
    std::lock_guard lock(g_rootMutex);
    g_root = QDir::cleanPath(QDir(hostDir).absolutePath());
    g_rootSet = true;
}

QString DeviceRoot() {
    std::lock_guard lock(g_rootMutex);
    if (!g_rootSet) {
        g_root = DefaultRootLocked();
        g_rootSet = true;
    }
    return g_root;
}

QString ChooseDeviceRoot(const QStringList& args) {
    QString chosen;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--root") && i + 1 < args.size()) {
            chosen = args[i + 1];
            break;
        }
        if (arg.startsWith(QLatin1String("--root="))) {
            chosen = arg.mid(7);
            break;
        }
    }
    if (chosen.isEmpty())
        chosen = qEnvironmentVariable("VELDRA_ROOT");
    if (chosen.isEmpty()) {
        // Relative values of XDG_DATA_HOME are invalid and are ignored.
        QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
        if (dataHome.isEmpty() || QDir::isRelativePath(dataHome))
            dataHome = QDir::homePath() + QLatin1String("/.local/share");
        chosen = dataHome + QLatin1String("/veldra");
    }
    return QDir::cleanPath(QDir(chosen).absolutePath());
}

QString HostPath(const QString& devicePath) {
    // Split on both separators and resolve "." and ".." lexically; ".." at
    // the top stays at the root, so no device path leads outside it.
    QStringList parts;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= devicePath.size(); ++i) {
        if (i < devicePath.size() && devicePath[i] != u'\\' && devicePath[i] != u'/')
            continue;
        const QString part = devicePath.mid(start, i - start);
        start = i + 1;
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (!parts.isEmpty())
                parts.removeLast();
            continue;
        }
        parts.append(part);
    }

    const QByteArray root = QFile::encodeName(DeviceRoot());
    // Most paths name an entry that exists as spelt (every tile fetch does):
    // when the whole path resolves, so does each of its prefixes, and the
    // walk below would keep every component as given. One lstat settles it.
    QByteArray exactPath = root;
    for (const QString& part : parts)
        exactPath = JoinHost(exactPath, QFile::encodeName(part));
    if (EntryExists(exactPath))
        return QFile::decodeName(exactPath);

    QByteArray current = root;
    bool existing = true; // every component so far exists on disk
    for (const QString& part : parts) {
        const QByteArray exact = JoinHost(current, QFile::encodeName(part));
        if (existing && !EntryExists(exact)) {
            if (const std::optional<QByteArray> real = FindNameIgnoringCase(current, part)) {
                current = JoinHost(current, *real);
                continue;
            }
            existing = false;
        }
        current = exact;
    }
    return QFile::decodeName(current);
}

QString JoinDevicePath(const QString& folder, const QString& name) {
    return folder + u'\\' + name;
}

uint64_t FolderIndexBuildCount() {
    return g_indexBuilds.load(std::memory_order_relaxed);
}
