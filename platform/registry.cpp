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
// Every query reads the file again. Every change takes registry.ini.lock
// (QLockFile, so other processes wait, and a lock left by a dead process is
// taken over), reads the file again, changes it in memory and writes it whole
// through QSaveFile, which replaces the old file atomically only once the new
// one is complete and synced: a crash leaves either the old or the new file.

#include "platform/registry.h"

#include "platform/device_root.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QThread>

#include <map>
#include <set>
#include <vector>

namespace {

constexpr qint64 kMaxRegistryBytes = 64LL * 1024 * 1024;
constexpr int kLockTimeoutMs = 10000;

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

QString RegistryFile() {
    return DeviceRoot() + QLatin1String("/registry.ini");
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

// The registry as it is on disk now; empty when there is no file yet, nothing
// when the file exists but cannot be read (then it must not be overwritten).
std::optional<Registry> ReadRegistry() {
    QFile file(RegistryFile());
    if (!file.exists())
        return Registry();
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxRegistryBytes)
        return std::nullopt;
    const QByteArray bytes = file.readAll(); // sized by the file, not by the limit
    if (file.error() != QFileDevice::NoError || bytes.size() > kMaxRegistryBytes)
        return std::nullopt;
    return Parse(bytes);
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

// Takes the registry lock, waiting up to kLockTimeoutMs for another writer.
// QLockFile's own waiting doubles its pause after every attempt (up to
// seconds), which starves a waiter while others write in quick succession; a
// change holds the lock for milliseconds, so it is polled at short random
// intervals instead. A lock left by a process that has died is taken over.
bool TakeLock(QLockFile& lock) {
    QDeadlineTimer deadline(kLockTimeoutMs);
    for (;;) {
        if (lock.tryLock(0))
            return true;
        if (lock.error() != QLockFile::LockFailedError || deadline.hasExpired())
            return false;
        QThread::msleep(2 + QRandomGenerator::global()->bounded(8u));
    }
}

// Applies change to the registry on disk under the lock. change returns false
// to fail the call, and sets its second argument when something changed.
template <typename Change> bool ModifyRegistry(Change change) {
    const QString root = DeviceRoot();
    if (!QDir().mkpath(root))
        return false;
    QLockFile lock(root + QLatin1String("/registry.ini.lock"));
    if (!TakeLock(lock))
        return false;
    std::optional<Registry> registry = ReadRegistry();
    if (!registry)
        return false;
    bool changed = false;
    if (!change(*registry, changed))
        return false;
    if (!changed)
        return true;
    QSaveFile out(RegistryFile());
    if (!out.open(QIODevice::WriteOnly))
        return false;
    const QByteArray bytes = Serialise(*registry);
    if (out.write(bytes) != bytes.size()) {
        out.cancelWriting();
        return false;
    }
    return out.commit();
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
    const std::optional<Registry> registry = ReadRegistry();
    return registry && KeyExistsIn(*registry, SplitKey(key));
}

std::optional<QStringList> RegEnumSubkeys(const QString& key) {
    const std::optional<Registry> registry = ReadRegistry();
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
    const std::optional<Registry> registry = ReadRegistry();
    if (!registry)
        return std::nullopt;
    const RegValue* found = FindValue(*registry, key, value);
    if (!found || found->isDword)
        return std::nullopt;
    return found->text;
}

std::optional<uint32_t> RegQueryDword(const QString& key, const QString& value) {
    const std::optional<Registry> registry = ReadRegistry();
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
