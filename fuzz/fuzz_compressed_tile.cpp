// Fuzz target: reading a converted tile (.cbm) as every drawn tile is read:
// into the template image, and into a kept tile of the tile cache. The input
// is the whole .cbm file.

#include "fuzz_support.h"

#include "platform/file_system.h"
#include "store/tile_cache.h"

#include <QImage>

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\F");
QString g_cbm;
TileCache* g_plain = nullptr; // keeps no tile: reads into the template
TileCache* g_kept = nullptr;  // keeps decoded tiles

} // namespace

void SetUp(const QString& root) {
    QDir(root).mkpath(QStringLiteral("Veldra/Maps/F"));
    QImage white(500, 500, QImage::Format_RGB32);
    white.fill(Qt::white);
    if (!white.save(root + QStringLiteral("/Veldra/Maps/tpl.tmp"), "PNG"))
        Fail("cannot write the template");
    g_cbm = root + QStringLiteral("/Veldra/Maps/F/t.cbm");
    g_plain = new TileCache();
    g_plain->SetCacheLimit(0);
    g_kept = new TileCache();
}

void MakeSeeds(const QString& demoRoot, const QString& outDir) {
    // Converts a few demo tiles the way the conversion does.
    const QString maps = DeviceRoot() + QStringLiteral("/Veldra/Maps");
    QDir().mkpath(maps + QStringLiteral("/F"));
    QFile::copy(demoRoot + QStringLiteral("/Veldra/Maps/tpl.map"),
                maps + QStringLiteral("/tpl.map"));
    TileCache cache;
    int made = 0;
    for (const QString& town : {QStringLiteral("Northcombe"), QStringLiteral("Eastmoor")}) {
        const QDir folder(demoRoot + QStringLiteral("/Veldra/Maps/") + town);
        for (const QString& name :
             folder.entryList({QStringLiteral("*1_1.map"), QStringLiteral("*2_3.map")})) {
            QFile::copy(folder.filePath(name), maps + QStringLiteral("/F/") + name);
            const QString tile = name.chopped(4);
            QImage bitmap;
            if (cache.DecodeTile(kFolder, tile, bitmap) &&
                WriteCompressedTile(kFolder, tile, bitmap)) {
                CopySeed(maps + QStringLiteral("/F/") + tile + QStringLiteral(".cbm"), outDir,
                         tile + QStringLiteral(".cbm"));
                ++made;
            }
        }
    }
    if (made == 0)
        Fail("no seed tile could be converted");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!WriteHost(g_cbm, data, size))
        Fail("cannot write the input");
    g_kept->ForgetTiles(); // read the file again, not the tile kept from the last input
    for (TileCache* cache : {g_plain, g_kept}) {
        const QImage* bitmap = nullptr;
        if (cache->GetTileBitmap(kFolder, QStringLiteral("t"), bitmap) &&
            (!bitmap || bitmap->width() != 500 || bitmap->height() != 500))
            Fail("a tile read as something other than a 500 x 500 image");
    }
    return 0;
}
