// Fuzz target: device paths. The input is a path (UTF-8) as an InstallDir
// value, a map title or a place name may carry it. It must resolve inside the
// device root, and no file call given it may write or delete anything outside
// the root, although the root holds links that lead out of it.

#include "fuzz_support.h"

#include "platform/file_system.h"

#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace {

QTemporaryDir* g_outside = nullptr; // removed at exit
QByteArray g_root, g_canary, g_links[2][2];

// The links out of the root are put back before every input (an input may
// have replaced one by a file and removed it, which is allowed).
void PlantLinks() {
    for (const auto& link : g_links)
        ::symlink(link[0].constData(), link[1].constData());
}

// The folder outside the root still holds exactly the canary, unchanged.
void CheckOutside() {
    struct stat st {};
    if (::stat(g_canary.constData(), &st) != 0 || st.st_size != 6)
        Fail("the file outside the root was changed");
    DIR* dir = ::opendir(QFile::encodeName(g_outside->path()).constData());
    int entries = 0;
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr)
        entries += entry->d_name[0] != '.';
    if (dir)
        ::closedir(dir);
    if (entries != 1)
        Fail("something was made or deleted outside the root");
}

} // namespace

void SetUp(const QString& root) {
    static QTemporaryDir outside;
    g_outside = &outside;
    g_root = QFile::encodeName(root);
    g_canary = QFile::encodeName(g_outside->filePath(QStringLiteral("canary")));
    WriteHost(QFile::decodeName(g_canary), "canary", 6);
    QDir(root).mkpath(QStringLiteral("Veldra/Maps/Town"));
    WriteHost(root + QStringLiteral("/Veldra/Maps/Town/tow1_1.map"), "tile", 4);
    g_links[0][0] = QFile::encodeName(g_outside->path());
    g_links[0][1] = g_root + "/Veldra/Maps/Out";
    g_links[1][0] = g_canary;
    g_links[1][1] = g_root + "/Veldra/Maps/Town/f.tmp";
    PlantLinks();
}

void MakeSeeds(const QString& demoRoot, const QString& outDir) {
    QFile file(demoRoot + QStringLiteral("/registry.ini"));
    int n = 0;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : file.readAll().split('\n'))
            if (line.startsWith("InstallDir=sz:")) {
                const QByteArray path = line.mid(14) + "\\nor1_1.map";
                WriteHost(outDir + QStringLiteral("/path%1").arg(n++), path.constData(),
                          size_t(path.size()));
            }
    }
    for (const char* path : {"/Veldra/My Places/Town/Home.plc", "\\Veldra\\Maps\\Out\\x",
                             "\\veldra\\maps\\TOWN\\f.tmp", "..\\..\\x", "\\Veldra\\Maps\\*.map"})
        WriteHost(outDir + QStringLiteral("/path%1").arg(n++), path, strlen(path));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PlantLinks();
    const QString path = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const QByteArray host = QFile::encodeName(HostPath(path));
    if (host != g_root && !host.startsWith(g_root + '/'))
        Fail("a device path resolved outside the device root");
    WildcardMatch(path, QStringLiteral("nor1_1.map"));
    WildcardMatch(QStringLiteral("*o*1_?.MAP"), path);
    FindFiles(path);
    FileExists(path);
    // Writes that leave the fixture as it was when they succeed.
    if (!FileExists(path) && !DirectoryExists(path)) {
        if (ReplaceFileAtomically(path, {QByteArrayView("x")}))
            DeleteFileAt(path);
        if (CreateDirectoryAt(path))
            RemoveDirectoryAt(path);
    }
    {
        CFileHandle file = CreateFileAlways(path + QStringLiteral(".new"));
        if (file.IsValid()) {
            file.Write("y", 1);
            file.Close();
            DeleteFileAt(path + QStringLiteral(".new"));
        }
    }
    TreeSize(path);
    CheckOutside();
    return 0;
}
