#include "platform/file_system.h"

#include "platform/device_root.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// The host path as the system calls take it. A name with a NUL character in it
// would be cut short there and name another file; such a path becomes "",
// which every call refuses.
QByteArray NativePath(const QString& devicePath) {
    if (devicePath.contains(QChar(u'\0')))
        return QByteArray();
    return QFile::encodeName(HostPath(devicePath));
}

// WildcardMatch on a case-folded wildcard and a case-folded name.
bool FoldedWildcardMatch(QStringView wildcard, QStringView name);

int64_t ToNs(const timespec& ts) {
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Splits a device pattern into its folder and its last component.
void SplitPattern(const QString& devicePattern, QString& folder, QString& wildcard) {
    qsizetype cut = -1;
    for (qsizetype i = devicePattern.size() - 1; i >= 0; --i) {
        if (devicePattern[i] == u'\\' || devicePattern[i] == u'/') {
            cut = i;
            break;
        }
    }
    folder = cut < 0 ? QString() : devicePattern.left(cut);
    wildcard = devicePattern.mid(cut + 1);
}

// Fills out from the entry name of the folder open as dirFd, without
// following a symbolic link. False when the entry cannot be examined (it may
// have been removed since the folder was read).
bool Describe(int dirFd, const char* name, FindData& out) {
    mode_t mode = 0;
    uint64_t size = 0;
    int64_t created = 0;
#ifdef STATX_BTIME
    struct statx sx {};
    if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
        mode = sx.stx_mode;
        size = sx.stx_size;
        const statx_timestamp& t = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime;
        created = int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    } else
#endif
    {
        struct stat st {};
        if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        mode = st.st_mode;
        size = uint64_t(st.st_size);
        created = ToNs(st.st_mtim);
    }
    out.name = QFile::decodeName(name);
    out.isSymLink = S_ISLNK(mode);
    out.isDirectory = S_ISDIR(mode);
    out.size = S_ISREG(mode) ? size : 0;
    out.creationTime = created;
    return true;
}

} // namespace

// --- CFileHandle

CFileHandle::CFileHandle(CFileHandle&& other) noexcept : m_fd(other.m_fd) {
    other.m_fd = -1;
}

CFileHandle& CFileHandle::operator=(CFileHandle&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

CFileHandle::~CFileHandle() {
    Close();
}

int64_t CFileHandle::Read(void* buffer, int64_t size) {
    if (m_fd < 0 || size < 0 || (size > 0 && !buffer))
        return -1;
    auto* bytes = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(m_fd, bytes + done, size_t(size - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return done > 0 ? done : -1;
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

bool CFileHandle::Write(const void* data, int64_t size) {
    if (m_fd < 0 || size < 0 || (size > 0 && !data))
        return false;
    const auto* bytes = static_cast<const char*>(data);
    int64_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_fd, bytes + done, size_t(size - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return false;
        done += n;
    }
    return true;
}

int64_t CFileHandle::Size() const {
    struct stat st {};
    if (m_fd < 0 || fstat(m_fd, &st) != 0)
        return -1;
    return st.st_size;
}

void CFileHandle::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

CFileHandle OpenFileForRead(const QString& devicePath) {
    // O_NONBLOCK keeps a FIFO of that name from blocking the open; only
    // regular files are accepted, and the flag is cleared again.
    const int fd =
        ::open(NativePath(devicePath).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return CFileHandle();
    CFileHandle handle(fd);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return CFileHandle();
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return CFileHandle();
    return handle;
}

namespace {

std::atomic<uint64_t> g_diskSyncs{0};

// A descriptor closed when the object goes.
class CFd {
public:
    CFd() = default;
    explicit CFd(int fd) : m_fd(fd) {}
    CFd(CFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    CFd& operator=(CFd&& other) noexcept {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    ~CFd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int Get() const { return m_fd; }
    int Release() { return std::exchange(m_fd, -1); }
    bool IsValid() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// Deepest folder nesting that DeleteTree and TreeSize walk into: each level
// holds a descriptor open.
constexpr int kMaxTreeDepth = 128;

int OpenSubfolder(int dirFd, const char* name) {
    return ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Opens the folder that holds the last component of devicePath, walking down
// from the device root one component at a time without following a link, and
// gives the last component's name on disk. False for the root itself, for a
// folder that is missing or is a link, and for a path that cannot be encoded.
bool OpenParent(const QString& devicePath, CFd& dir, QByteArray& leaf) {
    const QByteArray host = NativePath(devicePath);
    QByteArray root = QFile::encodeName(DeviceRoot());
    if (host.isEmpty() || root.isEmpty())
        return false;
    if (!root.endsWith('/'))
        root += '/';
    if (!host.startsWith(root))
        return false;
    QList<QByteArray> parts = host.mid(root.size()).split('/');
    parts.removeAll(QByteArray());
    if (parts.isEmpty())
        return false;
    CFd current(::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (qsizetype i = 0; current.IsValid() && i + 1 < parts.size(); ++i)
        current = CFd(OpenSubfolder(current.Get(), parts[i].constData()));
    if (!current.IsValid())
        return false;
    dir = std::move(current);
    leaf = parts.back();
    return true;
}

bool SyncDescriptor(int fd) {
    g_diskSyncs.fetch_add(1, std::memory_order_relaxed);
    return ::fsync(fd) == 0;
}

// Creates name in dirFd exclusively for writing, after removing a file or a
// link that stands there.
int CreateExclusive(int dirFd, const char* name) {
    ::unlinkat(dirFd, name, 0);
    return ::openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                    0644);
}

// The names of the entries of an open folder, "." and ".." left out.
std::optional<QList<QByteArray>> ReadNames(int dirFd) {
    const int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return std::nullopt;
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return std::nullopt;
    }
    ::rewinddir(dir);
    QList<QByteArray> names;
    while (const dirent* entry = ::readdir(dir)) {
        if (qstrcmp(entry->d_name, ".") != 0 && qstrcmp(entry->d_name, "..") != 0)
            names.append(QByteArray(entry->d_name));
    }
    ::closedir(dir);
    return names;
}

// Empties the open folder dirFd: files and links are unlinked, sub-folders
// emptied and removed. Nothing is ever reached through a link.
bool EmptyFolder(int dirFd, int depth) {
    if (depth > kMaxTreeDepth)
        return false;
    // Entries of a folder go only when the folder is writable.
    struct stat st {};
    if (::fstat(dirFd, &st) != 0)
        return false;
    if ((st.st_mode & S_IRWXU) != S_IRWXU)
        ::fchmod(dirFd, (st.st_mode & 07777) | S_IRWXU);
    const std::optional<QList<QByteArray>> names = ReadNames(dirFd);
    if (!names)
        return false;
    bool result = true;
    for (const QByteArray& name : *names) {
        struct stat entry {};
        if (::fstatat(dirFd, name.constData(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        if (S_ISDIR(entry.st_mode)) {
            const CFd sub(OpenSubfolder(dirFd, name.constData()));
            if (!sub.IsValid() || !EmptyFolder(sub.Get(), depth + 1) ||
                ::unlinkat(dirFd, name.constData(), AT_REMOVEDIR) != 0)
                result = false;
        } else if (::unlinkat(dirFd, name.constData(), 0) != 0) {
            result = false;
        }
    }
    return result;
}

uint32_t FolderBytes(int dirFd, int depth) {
    if (depth > kMaxTreeDepth)
        return 0;
    const std::optional<QList<QByteArray>> names = ReadNames(dirFd);
    if (!names)
        return 0;
    uint32_t total = 0;
    for (const QByteArray& name : *names) {
        struct stat entry {};
        if (::fstatat(dirFd, name.constData(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(entry.st_mode)) {
            const CFd sub(OpenSubfolder(dirFd, name.constData()));
            if (sub.IsValid())
                total += FolderBytes(sub.Get(), depth + 1);
        } else if (S_ISREG(entry.st_mode)) {
            total += static_cast<uint32_t>(entry.st_size);
        }
    }
    return total;
}

} // namespace

CFileHandle CreateFileAlways(const QString& devicePath) {
    CFd dir;
    QByteArray leaf;
    if (!OpenParent(devicePath, dir, leaf))
        return CFileHandle();
    return CFileHandle(CreateExclusive(dir.Get(), leaf.constData()));
}

bool ReplaceFileAtomically(const QString& devicePath, std::initializer_list<QByteArrayView> parts) {
    CFd dir;
    QByteArray leaf;
    if (!OpenParent(devicePath, dir, leaf))
        return false;
    const QByteArray side = leaf + SIDE_FILE_EXTENSION;
    CFileHandle file(CreateExclusive(dir.Get(), side.constData()));
    if (!file.IsValid())
        return false;
    bool written = true;
    for (const QByteArrayView part : parts)
        written = written && file.Write(part.data(), part.size());
    // The data must be on disk before the name points at it, and the rename
    // must be on disk before the caller goes on as if the file were replaced.
    written = written && SyncDescriptor(file.Descriptor());
    file.Close();
    if (!written || ::renameat(dir.Get(), side.constData(), dir.Get(), leaf.constData()) != 0) {
        ::unlinkat(dir.Get(), side.constData(), 0);
        return false;
    }
    SyncDescriptor(dir.Get());
    return true;
}

bool FileExists(const QString& devicePath) {
    struct stat st {};
    return stat(NativePath(devicePath).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const QString& devicePath) {
    struct stat st {};
    return stat(NativePath(devicePath).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DeleteFileAt(const QString& devicePath) {
    CFd dir;
    QByteArray leaf;
    return OpenParent(devicePath, dir, leaf) && ::unlinkat(dir.Get(), leaf.constData(), 0) == 0;
}

bool CreateDirectoryAt(const QString& devicePath) {
    CFd dir;
    QByteArray leaf;
    return OpenParent(devicePath, dir, leaf) && ::mkdirat(dir.Get(), leaf.constData(), 0755) == 0;
}

bool RemoveDirectoryAt(const QString& devicePath) {
    CFd dir;
    QByteArray leaf;
    return OpenParent(devicePath, dir, leaf) &&
           ::unlinkat(dir.Get(), leaf.constData(), AT_REMOVEDIR) == 0;
}

bool SetNormalAttribute(const QString& devicePath) {
    CFd dir;
    QByteArray leaf;
    struct stat st {};
    if (!OpenParent(devicePath, dir, leaf) ||
        ::fstatat(dir.Get(), leaf.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        S_ISLNK(st.st_mode))
        return false; // a link's mode would be set on its target
    if (st.st_mode & S_IWUSR)
        return true;
    return ::fchmodat(dir.Get(), leaf.constData(), (st.st_mode & 07777) | S_IWUSR, 0) == 0;
}

bool RenameFileAt(const QString& fromDevicePath, const QString& toDevicePath) {
    CFd fromDir, toDir;
    QByteArray fromLeaf, toLeaf;
    return OpenParent(fromDevicePath, fromDir, fromLeaf) &&
           OpenParent(toDevicePath, toDir, toLeaf) &&
           ::renameat(fromDir.Get(), fromLeaf.constData(), toDir.Get(), toLeaf.constData()) == 0;
}

bool CreateFolderPath(const QString& devicePath) {
    const QByteArray host = NativePath(devicePath);
    QByteArray root = QFile::encodeName(DeviceRoot());
    if (host.isEmpty() || root.isEmpty())
        return false;
    if (!root.endsWith('/'))
        root += '/';
    if (host != root.chopped(1) && !host.startsWith(root))
        return false;
    if (::mkdir(root.constData(), 0755) != 0 && errno != EEXIST)
        return false;
    CFd current(::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const QByteArray& part : host.mid(root.size()).split('/')) {
        if (!current.IsValid())
            return false;
        if (part.isEmpty())
            continue;
        if (::mkdirat(current.Get(), part.constData(), 0755) != 0 && errno != EEXIST)
            return false;
        current = CFd(OpenSubfolder(current.Get(), part.constData()));
    }
    return current.IsValid();
}

bool ExchangeEntries(const QString& firstDevicePath, const QString& secondDevicePath) {
    CFd firstDir, secondDir;
    QByteArray firstLeaf, secondLeaf;
    return OpenParent(firstDevicePath, firstDir, firstLeaf) &&
           OpenParent(secondDevicePath, secondDir, secondLeaf) &&
           ::renameat2(firstDir.Get(), firstLeaf.constData(), secondDir.Get(),
                       secondLeaf.constData(), RENAME_EXCHANGE) == 0;
}

bool IsReachableWithoutLinks(const QString& devicePath) {
    CFd dir;
    QByteArray leaf;
    return OpenParent(devicePath, dir, leaf);
}

bool DeleteTree(const QString& deviceFolder) {
    CFd parent;
    QByteArray leaf;
    struct stat st {};
    if (!OpenParent(deviceFolder, parent, leaf) ||
        ::fstatat(parent.Get(), leaf.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (S_ISLNK(st.st_mode)) // the folder itself a link: only the link goes
        return ::unlinkat(parent.Get(), leaf.constData(), 0) == 0;
    if (!S_ISDIR(st.st_mode))
        return false;
    const CFd folder(OpenSubfolder(parent.Get(), leaf.constData()));
    const bool emptied = folder.IsValid() && EmptyFolder(folder.Get(), 0);
    return ::unlinkat(parent.Get(), leaf.constData(), AT_REMOVEDIR) == 0 && emptied;
}

uint32_t TreeSize(const QString& deviceFolder) {
    CFd parent;
    QByteArray leaf;
    CFd folder;
    if (OpenParent(deviceFolder, parent, leaf))
        folder = CFd(OpenSubfolder(parent.Get(), leaf.constData()));
    else if (NativePath(deviceFolder) == QFile::encodeName(DeviceRoot()))
        folder = CFd(::open(QFile::encodeName(DeviceRoot()).constData(),
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC)); // the root itself
    return folder.IsValid() ? FolderBytes(folder.Get(), 0) : 0;
}

uint64_t DiskSyncCount() {
    return g_diskSyncs.load(std::memory_order_relaxed);
}

// --- CFindFile

CFindFile::~CFindFile() {
    Close();
}

bool CFindFile::FindFirst(const QString& devicePattern, FindData& out) {
    Close();
    QString folder;
    SplitPattern(devicePattern, folder, m_wildcard);
    m_wildcard = m_wildcard.toCaseFolded(); // folded once, not for every entry
    m_hostDir = HostPath(folder);
    if (folder.contains(QChar(u'\0')))
        return false;
    DIR* dir = opendir(QFile::encodeName(m_hostDir).constData());
    if (!dir)
        return false;
    m_dir = dir;
    if (FindNext(out))
        return true;
    Close();
    return false;
}

bool CFindFile::FindNext(FindData& out) {
    auto* dir = static_cast<DIR*>(m_dir);
    if (!dir)
        return false;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (qstrcmp(name, ".") == 0 || qstrcmp(name, "..") == 0)
            continue;
        if (!FoldedWildcardMatch(m_wildcard, QFile::decodeName(name).toCaseFolded()))
            continue;
        if (Describe(dirfd(dir), name, out))
            return true;
    }
    return false;
}

void CFindFile::Close() {
    if (m_dir) {
        closedir(static_cast<DIR*>(m_dir));
        m_dir = nullptr;
    }
}

std::vector<FindData> FindFiles(const QString& devicePattern) {
    std::vector<FindData> found;
    CFindFile find;
    FindData data;
    if (find.FindFirst(devicePattern, data)) {
        do {
            found.push_back(data);
        } while (find.FindNext(data));
    }
    return found;
}

namespace {

// Case-folded glob match: "*" any run, "?" exactly one character. Greedy, with
// one back-tracking point (the last "*" seen): linear in practice, quadratic
// at worst.
bool GlobMatch(QStringView p, QStringView s) {
    qsizetype pi = 0, si = 0, starP = -1, starS = 0;
    while (si < s.size()) {
        if (pi < p.size() && (p[pi] == u'?' || (p[pi] != u'*' && p[pi] == s[si]))) {
            ++pi;
            ++si;
        } else if (pi < p.size() && p[pi] == u'*') {
            starP = pi++;
            starS = si;
        } else if (starP >= 0) {
            pi = starP + 1;
            si = ++starS;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == u'*')
        ++pi;
    return pi == p.size();
}

bool FoldedWildcardMatch(QStringView wildcard, QStringView name) {
    if (GlobMatch(wildcard, name))
        return true;
    // A trailing ".*" also stands for no extension at all, as on the device:
    // "*.*" matches every name and "tpl.*" matches "tpl".
    return wildcard.endsWith(QLatin1String(".*")) && GlobMatch(wildcard.chopped(2), name);
}

} // namespace

bool WildcardMatch(const QString& wildcard, const QString& name) {
    return FoldedWildcardMatch(wildcard.toCaseFolded(), name.toCaseFolded());
}

// --- CMappedFile

CMappedFile::~CMappedFile() {
    Close();
}

bool CMappedFile::Open(const QString& devicePath) {
    Close();
    CFileHandle file = OpenFileForRead(devicePath);
    if (!file.IsValid())
        return false;
    const int64_t size = file.Size();
    if (size <= 0 || uint64_t(size) > SIZE_MAX)
        return false;
    void* data = mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, file.Descriptor(), 0);
    if (data == MAP_FAILED)
        return false;
    m_data = static_cast<const unsigned char*>(data);
    m_size = size;
    return true;
}

void CMappedFile::Close() {
    if (m_data) {
        munmap(const_cast<unsigned char*>(m_data), size_t(m_size));
        m_data = nullptr;
        m_size = 0;
    }
}
