#include "platform/file_system.h"

#include "platform/device_root.h"

#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

CFileHandle CreateFileAlways(const QString& devicePath) {
    return CFileHandle(::open(NativePath(devicePath).constData(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644));
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
    return ::unlink(NativePath(devicePath).constData()) == 0;
}

bool CreateDirectoryAt(const QString& devicePath) {
    return ::mkdir(NativePath(devicePath).constData(), 0755) == 0;
}

bool RemoveDirectoryAt(const QString& devicePath) {
    return ::rmdir(NativePath(devicePath).constData()) == 0;
}

bool SetNormalAttribute(const QString& devicePath) {
    const QByteArray path = NativePath(devicePath);
    struct stat st {};
    if (stat(path.constData(), &st) != 0)
        return false;
    if (st.st_mode & S_IWUSR)
        return true;
    return ::chmod(path.constData(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool RenameFileAt(const QString& fromDevicePath, const QString& toDevicePath) {
    return ::rename(NativePath(fromDevicePath).constData(), NativePath(toDevicePath).constData()) ==
           0;
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
