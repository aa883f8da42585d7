// Fuzz target: an encrypted tile (.map) through the conversion the viewer
// runs: decryption, image decoding, compression and the .cbm write, or the
// .tmp kept when the tile fails. The input is the whole .map file. The cipher
// is a stream cipher, so a mutation of the encrypted bytes is the same
// mutation of the image inside.

#include "fuzz_support.h"

#include "platform/file_system.h"
#include "store/map_conversion.h"

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\F");
QString g_host; // the host folder of kFolder, with a trailing slash

bool HostExists(const char* name) {
    return ::access(QFile::encodeName(g_host + QLatin1String(name)).constData(), F_OK) == 0;
}

} // namespace

void SetUp(const QString& root) {
    QDir(root).mkpath(QStringLiteral("Veldra/Maps/F"));
    g_host = root + QStringLiteral("/Veldra/Maps/F/");
}

void MakeSeeds(const QString& demoRoot, const QString& outDir) {
    CopySeed(demoRoot + QStringLiteral("/Veldra/Maps/tpl.map"), outDir, QStringLiteral("tpl.map"));
    for (const QString& town : {QStringLiteral("Northcombe"), QStringLiteral("Eastmoor")}) {
        const QDir folder(demoRoot + QStringLiteral("/Veldra/Maps/") + town);
        for (const QString& name :
             folder.entryList({QStringLiteral("*1_1.map"), QStringLiteral("*3_2.map")}))
            CopySeed(folder.filePath(name), outDir, name);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Each input starts from a folder holding only its .map.
    for (const char* name : {"t.tmp", "t.cbm"})
        ::unlink(QFile::encodeName(g_host + QLatin1String(name)).constData());
    if (!WriteHost(g_host + QStringLiteral("t.map"), data, size))
        Fail("cannot write the input");
    const bool converted = CMapConversion(kFolder, 0).Run();
    if (converted != (HostExists("t.cbm") && !HostExists("t.map") && !HostExists("t.tmp")))
        Fail("the folder does not show what the conversion reported");
    if (!converted && !HostExists("t.map"))
        Fail("a tile that failed lost its .map");
    // A tile that fails after its decryption keeps its image for the next run.
    if (!converted && size > 56 && !HostExists("t.tmp"))
        Fail("a tile that failed lost its decrypted image");
    return 0;
}
