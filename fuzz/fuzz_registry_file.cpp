// Fuzz target: the registry file. The input is registry.ini as another process
// (or a hand edit) may leave it. Every key and value that can be read must
// still read the same after a change has rewritten the file.

#include "fuzz_support.h"

#include "platform/registry.h"

#include <map>

namespace {

QString g_file, g_next;

struct Seen {
    std::optional<QString> text;
    std::optional<uint32_t> number;
    bool operator==(const Seen&) const = default;
};

// Every addressable key below key (names with a backslash cannot be named in
// a key path) with its InstallDir text and Current number.
void Walk(const QString& key, int depth, std::map<QString, Seen>& out) {
    if (depth > 8 || out.size() > 500)
        return;
    for (const QString& name : RegEnumSubkeys(key).value_or(QStringList())) {
        if (name.contains(u'\\'))
            continue;
        const QString path = key.isEmpty() ? name : key + u'\\' + name;
        out[path] = {RegQueryString(path, QStringLiteral("InstallDir")),
                     RegQueryDword(path, QStringLiteral("Current"))};
        Walk(path, depth + 1, out);
    }
}

} // namespace

void SetUp(const QString& root) {
    g_file = root + QStringLiteral("/registry.ini");
    g_next = root + QStringLiteral("/next.ini");
}

void MakeSeeds(const QString& demoRoot, const QString& outDir) {
    CopySeed(demoRoot + QStringLiteral("/registry.ini"), outDir, QStringLiteral("registry.ini"));
    const char odd[] =
        "[Software\\Apps\\Veldra Pocket map of %5B%25]\nInstallDir=sz:\\M%0A\nCurrent=dword:7\n";
    WriteHost(outDir + QStringLiteral("/escapes.ini"), odd, sizeof odd - 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Replaced by a rename, as every writer does.
    if (!WriteHost(g_next, data, size) ||
        ::rename(QFile::encodeName(g_next).constData(), QFile::encodeName(g_file).constData()) != 0)
        Fail("cannot write the input");
    std::map<QString, Seen> before;
    Walk(QString(), 0, before);
    if (!RegSetDword(QStringLiteral("Fuzz\\Marker"), QStringLiteral("Current"), 1))
        Fail("a change to a readable registry failed");
    std::map<QString, Seen> after;
    Walk(QString(), 0, after);
    if (after[QStringLiteral("Fuzz\\Marker")].number != std::optional<uint32_t>(1))
        Fail("the change was not kept");
    for (const auto& [key, seen] : before) {
        if (key == QStringLiteral("Fuzz\\Marker") ||
            key.startsWith(QStringLiteral("Fuzz\\Marker\\")))
            continue;
        const auto it = after.find(key);
        if (it == after.end() || !(it->second == seen))
            Fail("a key or value was lost or changed by rewriting the file");
    }
    return 0;
}
