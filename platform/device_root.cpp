#include "platform/device_root.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

// Device paths are resolved under one host directory. Letter case is ignored
// the way the device's file system ignores it: a path that exists as spelt is
// settled by one lstat of the whole path; otherwise each component is tried
// with its exact spelling (one lstat), and only when that fails is it looked up
// in an index of the folder's names (case-folded name -> name on disk).
//
// A folder's index is built by reading the folder once. While the system
// reports the folder's changes (inotify), the index follows every entry that
// is made, renamed or removed, by this process or by any other, without
// reading the folder again: a conversion that writes and deletes thousands of
// files in one folder reads it once. The folder's stamp (device, inode,
// modification and change time in nanoseconds, size) is checked as well, so a
// change that came with no report (a file system that does not report another
// machine's changes) still has the folder read again. Without reports, the
// index is kept until the stamp changes.

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

// A folder, whatever path reaches it.
using FolderKey = std::pair<quint64, quint64>; // device, inode

struct FolderIndex {
    FolderStamp stamp;                // the folder's stamp when the names last matched it
    QHash<QString, QByteArray> names; // case-folded name -> name on disk
    // Case-folded names held by more than one entry (only the smallest is in
    // names): when that one goes, the folder is read again to find the next.
    QSet<QString> twins;
    int watch = -1; // the change reports' watch, -1 when there is none
    // Watched: entries came or went since the stamp was taken, so a new
    // stamp is explained by them.
    bool changed = false;
    // Watched: reports were lost (or cannot be applied); read the folder again.
    bool stale = false;
    // Unwatched: a folder changed within the time-stamp granularity before the
    // index was built may change again without a new stamp; such an index is
    // read again when a name is not found in it.
    bool racy = false;
};

// Time stamps of some file systems are coarse (a clock tick, or 2 s on FAT):
// a folder whose modification time is this close to the moment its index was
// built counts as possibly changed since.
constexpr int64_t kRacyWindowNs = 2'000'000'000;
// Folders whose index is kept; the cache is emptied when it grows past this.
constexpr qsizetype kMaxCachedFolders = 512;

// Everything below is guarded by g_indexMutex.
std::mutex g_indexMutex;
QHash<FolderKey, FolderIndex> g_indexes;
QHash<int, FolderKey> g_watched; // watch -> folder
int g_notifyFd = -1;             // the change reports, -1 when unavailable
pid_t g_notifyOwner = 0;         // the process that made g_notifyFd
std::atomic<uint64_t> g_indexBuilds{0};

int64_t ToNs(const timespec& ts) {
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ToNs(ts);
}

FolderStamp StampOf(const struct stat& st) {
    return FolderStamp{st.st_dev, st.st_ino, ToNs(st.st_mtim), ToNs(st.st_ctim), st.st_size};
}

FolderKey KeyOf(const FolderStamp& stamp) {
    return {quint64(stamp.device), quint64(stamp.inode)};
}

std::optional<FolderStamp> StampOf(const QByteArray& hostDir) {
    struct stat st {};
    if (stat(hostDir.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return StampOf(st);
}

QString FoldedName(const QByteArray& name) {
    return QFile::decodeName(name).toCaseFolded();
}

// Adds an entry's name; of two names differing only in case the smaller is
// kept, so that the choice does not depend on the order of the listing.
void AddName(FolderIndex& index, const QByteArray& name) {
    const QString folded = FoldedName(name);
    auto it = index.names.find(folded);
    if (it == index.names.end()) {
        index.names.insert(folded, name);
        return;
    }
    if (it.value() == name)
        return;
    index.twins.insert(folded);
    if (name < it.value())
        it.value() = name;
}

void RemoveName(FolderIndex& index, const QByteArray& name) {
    const QString folded = FoldedName(name);
    const auto it = index.names.find(folded);
    if (it == index.names.end() || it.value() != name)
        return; // unknown, or a twin that was not the one kept
    if (index.twins.contains(folded))
        index.stale = true;
    else
        index.names.erase(it);
}

// Drops every index and stops watching their folders.
void ForgetIndexes() {
    if (g_notifyFd >= 0)
        for (auto it = g_watched.cbegin(); it != g_watched.cend(); ++it)
            inotify_rm_watch(g_notifyFd, it.key());
    g_watched.clear();
    g_indexes.clear();
}

// The change reports of this process: made when first needed, and made anew
// in a child process, which must not take its parent's reports.
int NotifyFd() {
    if (g_notifyFd >= 0 && g_notifyOwner == getpid())
        return g_notifyFd;
    if (g_notifyFd >= 0) { // inherited: the parent's watches and indexes
        ::close(g_notifyFd);
        g_notifyFd = -1;
        g_watched.clear();
        g_indexes.clear();
    }
    if (g_notifyOwner != getpid()) {
        g_notifyOwner = getpid();
        g_notifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    return g_notifyFd;
}

// Applies the change reports that have arrived to the indexes.
void ApplyReports() {
    const int fd = NotifyFd();
    if (fd < 0)
        return;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return; // nothing more (EAGAIN), or the reports failed
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                for (FolderIndex& index : g_indexes)
                    index.stale = index.stale || index.watch >= 0;
                continue;
            }
            const auto watched = g_watched.constFind(event->wd);
            if (watched == g_watched.cend())
                continue; // a watch given up before its last reports
            const auto found = g_indexes.find(watched.value());
            if (event->mask & IN_IGNORED || found == g_indexes.end()) {
                // The folder was removed (or its file system unmounted).
                if (found != g_indexes.end())
                    g_indexes.erase(found);
                g_watched.erase(watched);
                continue;
            }
            if (event->len == 0)
                continue;
            const QByteArray name(event->name, qstrnlen(event->name, event->len));
            found->changed = true;
            if (event->mask & (IN_CREATE | IN_MOVED_TO))
                AddName(*found, name);
            else if (event->mask & (IN_DELETE | IN_MOVED_FROM))
                RemoveName(*found, name);
        }
    }
}

// Reads the names of the folder open as dirFd into index, whose stamp becomes
// stamp; false if the folder cannot be read.
bool BuildIndex(int dirFd, const FolderStamp& stamp, FolderIndex& index) {
    const int64_t started = NowNs();
    const int copy = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = copy >= 0 ? fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0)
            ::close(copy);
        return false;
    }
    rewinddir(dir);
    g_indexBuilds.fetch_add(1, std::memory_order_relaxed);
    index.names.clear();
    index.twins.clear();
    index.stamp = stamp;
    index.changed = index.stale = false;
    while (const dirent* entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            AddName(index, name);
    }
    closedir(dir);
    index.racy = stamp.mtimeNs + kRacyWindowNs >= started;
    return true;
}

// Makes the index of the folder hostDir: watched when the system reports the
// folder's changes (the watch is set before the folder is read, so nothing
// made meanwhile is missed). The index's folder is the one opened, whatever
// hostDir names by the time it is read.
FolderIndex* AddIndex(const QByteArray& hostDir) {
    const int dirFd = ::open(hostDir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return nullptr;
    struct stat st {};
    FolderIndex index;
    if (fstat(dirFd, &st) != 0) {
        ::close(dirFd);
        return nullptr;
    }
    const FolderStamp stamp = StampOf(st);
    if (g_indexes.size() >= kMaxCachedFolders)
        ForgetIndexes();
    if (const int fd = NotifyFd(); fd >= 0) {
        // Through the open descriptor, so the watch is on the folder opened.
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(dirFd);
        constexpr uint32_t kMask =
            IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR;
        index.watch = inotify_add_watch(fd, self.constData(), kMask);
        if (index.watch < 0)
            index.watch = inotify_add_watch(fd, hostDir.constData(), kMask);
    }
    const bool built = BuildIndex(dirFd, stamp, index);
    ::close(dirFd);
    if (!built) {
        if (index.watch >= 0)
            inotify_rm_watch(g_notifyFd, index.watch);
        return nullptr;
    }
    if (index.watch >= 0)
        g_watched.insert(index.watch, KeyOf(stamp));
    return &*g_indexes.insert(KeyOf(stamp), std::move(index));
}

// Reads the folder of an index again; false (and the index dropped) when it
// cannot be read.
bool RebuildIndex(const QByteArray& hostDir, const FolderStamp& stamp, FolderIndex& index) {
    const int dirFd = ::open(hostDir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    const bool built = dirFd >= 0 && fstat(dirFd, &st) == 0 && KeyOf(StampOf(st)) == KeyOf(stamp) &&
                       BuildIndex(dirFd, StampOf(st), index);
    if (dirFd >= 0)
        ::close(dirFd);
    if (!built) {
        if (index.watch >= 0) {
            inotify_rm_watch(g_notifyFd, index.watch);
            g_watched.remove(index.watch);
        }
        g_indexes.remove(KeyOf(stamp));
    }
    return built;
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
    const QString folded = name.toCaseFolded();
    std::lock_guard lock(g_indexMutex);
    // The reports first, then the stamp: a change made in between is in the
    // stamp and reported at the next call, never taken for an unreported one.
    ApplyReports();
    const std::optional<FolderStamp> stamp = StampOf(hostDir);
    if (!stamp)
        return std::nullopt;

    FolderIndex* index = nullptr;
    bool fresh = false;
    if (auto it = g_indexes.find(KeyOf(*stamp)); it != g_indexes.end()) {
        index = &*it;
        if (index->watch >= 0 && !index->stale && index->changed) {
            index->stamp = *stamp; // the reported changes made the new stamp
            index->changed = false;
        } else if (index->stale || !(index->stamp == *stamp)) {
            if (!RebuildIndex(hostDir, *stamp, *index))
                return std::nullopt;
            fresh = true;
        }
    } else {
        index = AddIndex(hostDir);
        if (!index)
            return std::nullopt;
        fresh = true;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto found = index->names.constFind(folded);
        if (found != index->names.cend() && EntryExists(JoinHost(hostDir, found.value())))
            return found.value();
        // Not there (or gone since): only an unwatched index that may have
        // missed a change is worth reading again.
        if (fresh || index->watch >= 0 || !index->racy)
            return std::nullopt;
        if (!RebuildIndex(hostDir, index->stamp, *index))
            return std::nullopt;
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
