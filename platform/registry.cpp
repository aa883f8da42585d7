// The registry file, registry.ini in the device root: UTF-8 text, one line
// each, '\n' ending (a '\r' before it is ignored).
//
//   ; any line starting with ';' or '#' is a comment, blank lines are ignored
//   [Software\Apps\Veldra Pocket map of Northcombe]
//   InstallDir=sz:\Veldra\Maps\Northcombe
//   Current=dword:1
//
// A line "[...]" opens a key: its path, components separated by '\'. The lines
// after it are the key's values, "name=type:data", with type "sz" (text) or
// "dword" (a decimal number 0..4294967295). Every key has its own section,
// parents included; a key is also taken to exist when only a subkey's section
// names it. Keys and values are written sorted (keys component by component),
// so the file and every enumeration have one stable order.
//
// Escapes: in key components and value names the bytes '%', '[', ']', '=',
// ';', '#', '\' and the control bytes (0x00-0x1f, 0x7f) are written as "%XX"
// (two upper-case hex digits of the UTF-8 byte); in text data '%' and the
// control bytes are. Any key name, value name or text therefore round-trips.
//
// Reading is lenient: blanks after a section's ']' are ignored, and a line that is neither a
// comment, a section nor a valid value line, a value before the first section, and a '%' not
// followed by two hex digits (kept as it is) are all skipped over, never fatal. A later value of
// the same name in the same key wins.
//
// The parsed file is kept and read again only when the file's stamp (device,
// inode, size, modification and change time in nanoseconds) differs from the
// one it was read at, or when it was read within 20 ms of its last change
// (file times advance in clock ticks and inodes are reused, so a stamp that
// young may hide a later change). Every change replaces the file by a rename,
// which gives it a new inode, so another process's change is seen. Every change
// takes an exclusive flock on registry.ini.lock (the system drops it when the
// holder dies, so a killed writer never leaves a lock behind), reads the file
// again if it changed, changes it in memory and writes it whole through
// ReplaceFileAtomically: a crash leaves either the old or the new file, and
// the new one is on disk before the call returns.

#include "platform/registry.h"

#include "platform/device_root.h"

#include "platform/file_system.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 kMaxRegistryBytes = 64LL * 1024 * 1024;
// A change holds the lock for milliseconds; a writer that cannot have it
// within this time gives up rather than hold up the window.
constexpr int kLockTimeoutMs = 2000;

struct RegValue {
    bool isDword = false;
    QString text;
    uint32_t number = 0;
};

using KeyPath = std::vector<QString>;

struct RegKey {
    std::map<QString, RegValue> values;
};

using Registry = std::map<KeyPath, RegKey>;

const char kRegistryName[] = "registry.ini";

// Host path of the registry file, found like any device path (so reading and
// the replacing write name the same file).
QString RegistryFile() {
    return HostPath(QLatin1String(kRegistryName));
}

KeyPath SplitKey(const QString& key) {
    KeyPath path;
    for (const QString& part : key.split(u'\\', Qt::SkipEmptyParts))
        path.push_back(part);
    return path;
}

bool IsPrefix(const KeyPath& prefix, const KeyPath& path) {
    return prefix.size() <= path.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

// --- Escapes

bool EscapedInName(unsigned char c) {
    return c < 0x20 || c == 0x7f || c == '%' || c == '[' || c == ']' || c == '=' || c == ';' ||
           c == '#' || c == '\\';
}

bool EscapedInData(unsigned char c) {
    return c < 0x20 || c == 0x7f || c == '%';
}

QByteArray Escape(const QString& text, bool (*escaped)(unsigned char)) {
    static const char kHex[] = "0123456789ABCDEF";
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size());
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (escaped(c)) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QString Unescape(QByteArrayView bytes) {
    QByteArray out;
    out.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '%' && i + 1 < bytes.size()) {
            const int hi = HexDigit(bytes[i + 1]);
            const int lo = i + 2 < bytes.size() ? HexDigit(bytes[i + 2]) : -1;
            if (hi >= 0 && lo >= 0) {
                out += char(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += bytes[i];
    }
    return QString::fromUtf8(out);
}

// --- Reading and writing the file

std::optional<uint32_t> ParseDword(QByteArrayView digits) {
    if (digits.isEmpty() || digits.size() > 10)
        return std::nullopt;
    uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + uint64_t(c - '0');
    }
    if (value > 0xffffffffULL)
        return std::nullopt;
    return uint32_t(value);
}

Registry Parse(const QByteArray& bytes) {
    Registry registry;
    RegKey* current = nullptr;
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0)
            end = bytes.size();
        QByteArrayView line(bytes.constData() + start, end - start);
        start = end + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[') {
            current = nullptr;
            while (line.endsWith(' ') || line.endsWith('\t')) // after the ']', from hand edits
                line.chop(1);
            if (!line.endsWith(']'))
                continue;
            KeyPath path;
            for (const QByteArray& part :
                 line.sliced(1, line.size() - 2).toByteArray().split('\\')) {
                if (!part.isEmpty())
                    path.push_back(Unescape(part));
            }
            if (!path.empty())
                current = &registry[path];
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (!current || eq < 0)
            continue;
        const QByteArrayView data = line.sliced(eq + 1);
        RegValue value;
        if (data.startsWith("sz:")) {
            value.text = Unescape(data.sliced(3));
        } else if (data.startsWith("dword:")) {
            const std::optional<uint32_t> number = ParseDword(data.sliced(6));
            if (!number)
                continue;
            value.isDword = true;
            value.number = *number;
        } else {
            continue;
        }
        current->values[Unescape(line.first(eq))] = value;
    }
    return registry;
}

QByteArray Serialise(const Registry& registry) {
    QByteArray out = "; Veldra device registry\n";
    for (const auto& [path, key] : registry) {
        out += "\n[";
        for (size_t i = 0; i < path.size(); ++i) {
            if (i > 0)
                out += '\\';
            out += Escape(path[i], EscapedInName);
        }
        out += "]\n";
        for (const auto& [name, value] : key.values) {
            out += Escape(name, EscapedInName);
            if (value.isDword)
                out += "=dword:" + QByteArray::number(value.number) + '\n';
            else
                out += "=sz:" + Escape(value.text, EscapedInData) + '\n';
        }
    }
    return out;
}

// What identifies one version of the registry file.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t mtimeNs = 0;
    int64_t ctimeNs = 0;
    bool operator==(const FileStamp&) const = default;
};

using RegistryPtr = std::shared_ptr<const Registry>;

// The last registry read, with the file and stamp it was read from.
struct RegistryCache {
    QString file;
    FileStamp stamp;
    RegistryPtr registry;
    // File times advance in clock ticks of a few milliseconds: a file changed
    // this close to the read may change again without a new stamp (in place,
    // or as a new file under a reused inode), so it is not trusted.
    bool racy = false;
};
constexpr int64_t kRacyWindowNs = 20'000'000;

std::mutex g_cacheMutex;
RegistryCache g_cache;
std::atomic<uint64_t> g_fileReads{0};

enum class FileState { Missing, Unreadable, Present };

FileState StatRegistry(const QString& path, FileStamp& stamp) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT ? FileState::Missing : FileState::Unreadable;
    if (!S_ISREG(st.st_mode) || st.st_size > kMaxRegistryBytes)
        return FileState::Unreadable;
    stamp = {st.st_dev, st.st_ino, st.st_size,
             int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
             int64_t(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec};
    return FileState::Present;
}

// The registry as it is on disk now; empty when there is no file yet, null
// when the file exists but cannot be read (then it must not be overwritten).
// The file is read and parsed only when it changed since the last call.
RegistryPtr ReadRegistry() {
    const QString path = RegistryFile();
    FileStamp stamp;
    switch (StatRegistry(path, stamp)) {
    case FileState::Missing:
        return std::make_shared<const Registry>();
    case FileState::Unreadable:
        return nullptr;
    case FileState::Present:
        break;
    }
    {
        std::lock_guard lock(g_cacheMutex);
        if (g_cache.registry && !g_cache.racy && g_cache.file == path && g_cache.stamp == stamp)
            return g_cache.registry;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const bool racy =
        stamp.ctimeNs + kRacyWindowNs > int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    g_fileReads.fetch_add(1, std::memory_order_relaxed);
    const QByteArray bytes = file.readAll(); // sized by the file: at most the limit
    if (file.error() != QFileDevice::NoError || bytes.size() > kMaxRegistryBytes)
        return nullptr;
    // The stamp taken before the read stays valid only if the file did not
    // change while it was read; otherwise the result is not kept.
    FileStamp after;
    auto registry = std::make_shared<const Registry>(Parse(bytes));
    if (StatRegistry(path, after) == FileState::Present && after == stamp &&
        bytes.size() == stamp.size) {
        std::lock_guard lock(g_cacheMutex);
        g_cache = {path, stamp, registry, racy};
    }
    return registry;
}

bool KeyExistsIn(const Registry& registry, const KeyPath& path) {
    if (path.empty())
        return true; // the root always exists
    const auto it = registry.lower_bound(path);
    return it != registry.end() && IsPrefix(path, it->first);
}

void AddKey(Registry& registry, const KeyPath& path) {
    for (size_t n = 1; n <= path.size(); ++n)
        registry[KeyPath(path.begin(), path.begin() + n)];
}

// The registry's lock: an exclusive flock on registry.ini.lock, which is
// removed again on release. The system drops a flock when its holder dies, so
// a lock file left by a kill, empty or not, holds nobody up: the next writer
// takes it at once. A lock is held only while the file under the name is the
// one locked (a releaser may remove it between another's open and flock).
// Others wait for it at short random intervals. A link planted under the
// lock's name is removed, never opened.
class CRegistryLock {
public:
    explicit CRegistryLock(const QString& root)
        : m_path(QFile::encodeName(root + QLatin1String("/registry.ini.lock"))) {}
    ~CRegistryLock() {
        if (m_fd >= 0) {
            ::unlink(m_path.constData());
            ::close(m_fd); // drops the flock
        }
    }
    CRegistryLock(const CRegistryLock&) = delete;
    CRegistryLock& operator=(const CRegistryLock&) = delete;

    // Takes the lock; false, with error naming what is in the way, when it
    // cannot.
    bool Take(QString& error) {
        QDeadlineTimer deadline(kLockTimeoutMs);
        const QString path = QFile::decodeName(m_path);
        for (;;) {
            const int fd = ::open(m_path.constData(),
                                  O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644);
            if (fd < 0 && errno == ELOOP && ::unlink(m_path.constData()) == 0)
                continue;
            if (fd < 0 && errno == EISDIR) {
                error =
                    QStringLiteral("a folder stands at %1, the name of its lock file").arg(path);
                return false;
            }
            if (fd < 0) {
                error = QStringLiteral("its lock file %1 cannot be made (%2)")
                            .arg(path, QString::fromLocal8Bit(strerror(errno)));
                return false;
            }
            struct stat held {
            }, named{};
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                if (::fstat(fd, &held) == 0 && ::lstat(m_path.constData(), &named) == 0 &&
                    held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
                    m_fd = fd;
                    return true;
                }
            } else if (errno != EWOULDBLOCK && errno != EINTR) {
                error = QStringLiteral("its lock file %1 cannot be locked (%2)")
                            .arg(path, QString::fromLocal8Bit(strerror(errno)));
                ::close(fd);
                return false;
            }
            ::close(fd);
            if (deadline.hasExpired()) {
                error = QStringLiteral("its lock file %1 is held by another program").arg(path);
                return false;
            }
            QThread::msleep(1 + QRandomGenerator::global()->bounded(4u));
        }
    }

private:
    QByteArray m_path;
    int m_fd = -1;
};

// Why the calling thread's last change failed (see RegistryWriteError).
thread_local QString t_writeError;

// Applies change to the registry on disk under the lock. change returns false
// to fail the call, and sets its second argument when something changed.
template <typename Change> bool ModifyRegistry(Change change) {
    QString& error = t_writeError;
    error.clear();
    const QString root = DeviceRoot();
    if (!QDir().mkpath(root)) {
        error = QStringLiteral("its folder %1 cannot be made").arg(root);
        return false;
    }
    CRegistryLock lock(root);
    if (!lock.Take(error))
        return false;
    const RegistryPtr current = ReadRegistry();
    if (!current) {
        error = QStringLiteral("%1 cannot be read").arg(RegistryFile());
        return false;
    }
    Registry registry = *current;
    bool changed = false;
    if (!change(registry, changed))
        return false;
    if (!changed)
        return true;
    const QByteArray bytes = Serialise(registry);
    if (!ReplaceFileAtomically(QLatin1String(kRegistryName), {bytes})) {
        error = QStringLiteral("%1 cannot be written").arg(RegistryFile());
        return false;
    }
    return true;
}

// Sets the dword values that do not hold their data yet; true when one did.
bool SetDwords(Registry& registry, const std::vector<RegDwordValue>& values) {
    bool changed = false;
    for (const RegDwordValue& value : values) {
        const KeyPath path = SplitKey(value.key);
        const auto key = registry.find(path);
        if (key != registry.end()) {
            const auto found = key->second.values.find(value.value);
            if (found != key->second.values.end() && found->second.isDword &&
                found->second.number == value.data)
                continue;
        }
        AddKey(registry, path);
        RegValue& slot = registry[path].values[value.value];
        slot = RegValue{};
        slot.isDword = true;
        slot.number = value.data;
        changed = true;
    }
    return changed;
}

const RegValue* FindValue(const Registry& registry, const QString& key, const QString& value) {
    const auto it = registry.find(SplitKey(key));
    if (it == registry.end())
        return nullptr;
    const auto found = it->second.values.find(value);
    return found == it->second.values.end() ? nullptr : &found->second;
}

bool SetValue(const QString& key, const QString& name, const RegValue& value) {
    const KeyPath path = SplitKey(key);
    if (path.empty())
        return false;
    return ModifyRegistry([&](Registry& registry, bool& changed) {
        AddKey(registry, path);
        RegValue& slot = registry[path].values[name];
        slot = value;
        changed = true;
        return true;
    });
}

} // namespace

bool RegKeyExists(const QString& key) {
    const RegistryPtr registry = ReadRegistry();
    return registry && KeyExistsIn(*registry, SplitKey(key));
}

std::optional<QStringList> RegEnumSubkeys(const QString& key) {
    const RegistryPtr registry = ReadRegistry();
    const KeyPath path = SplitKey(key);
    if (!registry || !KeyExistsIn(*registry, path))
        return std::nullopt;
    std::set<QString> names;
    for (auto it = registry->lower_bound(path); it != registry->end() && IsPrefix(path, it->first);
         ++it) {
        if (it->first.size() > path.size())
            names.insert(it->first[path.size()]);
    }
    QStringList list;
    for (const QString& name : names)
        list.append(name);
    return list;
}

std::optional<QString> RegQueryString(const QString& key, const QString& value) {
    const RegistryPtr registry = ReadRegistry();
    if (!registry)
        return std::nullopt;
    const RegValue* found = FindValue(*registry, key, value);
    if (!found || found->isDword)
        return std::nullopt;
    return found->text;
}

std::optional<uint32_t> RegQueryDword(const QString& key, const QString& value) {
    const RegistryPtr registry = ReadRegistry();
    if (!registry)
        return std::nullopt;
    const RegValue* found = FindValue(*registry, key, value);
    if (!found || !found->isDword)
        return std::nullopt;
    return found->number;
}

bool RegSetString(const QString& key, const QString& value, const QString& data) {
    RegValue v;
    v.text = data;
    return SetValue(key, value, v);
}

bool RegSetDword(const QString& key, const QString& value, uint32_t data) {
    RegValue v;
    v.isDword = true;
    v.number = data;
    return SetValue(key, value, v);
}

bool RegSetDwords(const std::vector<RegDwordValue>& values) {
    for (const RegDwordValue& value : values)
        if (SplitKey(value.key).empty())
            return false;
    // Most calls change nothing (the current map marked again at start-up):
    // those need neither the lock nor a write.
    if (const RegistryPtr registry = ReadRegistry()) {
        const bool unchanged =
            std::all_of(values.begin(), values.end(), [&](const RegDwordValue& value) {
                const RegValue* found = FindValue(*registry, value.key, value.value);
                return found && found->isDword && found->number == value.data;
            });
        if (unchanged) {
            t_writeError.clear();
            return true;
        }
    }
    return ModifyRegistry([&](Registry& registry, bool& changed) {
        changed = SetDwords(registry, values);
        return true;
    });
}

bool RegCreateKey(const QString& key) {
    const KeyPath path = SplitKey(key);
    if (path.empty())
        return true;
    return ModifyRegistry([&](Registry& registry, bool& changed) {
        for (size_t n = 1; n <= path.size(); ++n)
            changed |= registry.try_emplace(KeyPath(path.begin(), path.begin() + n)).second;
        return true;
    });
}

bool RegDeleteKey(const QString& key) {
    const KeyPath path = SplitKey(key);
    if (path.empty())
        return false; // the root itself cannot be deleted
    return ModifyRegistry([&](Registry& registry, bool& changed) {
        auto it = registry.lower_bound(path);
        while (it != registry.end() && IsPrefix(path, it->first)) {
            it = registry.erase(it);
            changed = true;
        }
        return changed;
    });
}

bool RegistryIsReadable() {
    return ReadRegistry() != nullptr;
}

QString RegistryFilePath() {
    return RegistryFile();
}

QString RegistryWriteError() {
    return t_writeError;
}

uint64_t RegistryFileReadCount() {
    return g_fileReads.load(std::memory_order_relaxed);
}
