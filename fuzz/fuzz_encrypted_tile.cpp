// Fuzz target: an encrypted tile (.map) through decryption, the .tmp write
// and the image decoder, as the conversion takes it. The input is the whole
// .map file. The cipher is a stream cipher, so a mutation of the encrypted
// bytes is the same mutation of the image inside.

#include "fuzz_support.h"

#include "platform/file_system.h"
#include "store/tile_cache.h"

#include <QImage>

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\F");
QString g_map, g_tmp;
TileCache* g_cache = nullptr;

} // namespace

void SetUp(const QString& root) {
    QDir(root).mkpath(QStringLiteral("Veldra/Maps/F"));
    g_map = root + QStringLiteral("/Veldra/Maps/F/t.map");
    g_tmp = root + QStringLiteral("/Veldra/Maps/F/t.tmp");
    g_cache = new TileCache();
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
    ::unlink(QFile::encodeName(g_tmp).constData()); // decrypt every time, not reuse
    if (!WriteHost(g_map, data, size))
        Fail("cannot write the input");
    QImage bitmap;
    if (g_cache->DecodeTile(kFolder, QStringLiteral("t"), bitmap) &&
        (bitmap.isNull() || bitmap.width() > 10000 || bitmap.height() > 10000))
        Fail("a decoded tile outside the decoder's bounds");
    return 0;
}
