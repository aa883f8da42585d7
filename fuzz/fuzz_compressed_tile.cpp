// Fuzz target: reading a converted tile (.cbm) as every drawn tile is read:
// into the template image, and into a kept tile of the tile cache. The input
// is the whole .cbm file.

#include "fuzz_support.h"

#include "platform/file_system.h"
#include "store/map_conversion.h"
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
    // Converts a few demo tiles as the viewer does.
    const QString folder = DeviceRoot() + QStringLiteral("/Veldra/Maps/F/");
    QDir().mkpath(folder);
    for (const QString& town : {QStringLiteral("Northcombe"), QStringLiteral("Eastmoor")}) {
        const QDir maps(demoRoot + QStringLiteral("/Veldra/Maps/") + town);
        for (const QString& name :
             maps.entryList({QStringLiteral("*1_1.map"), QStringLiteral("*2_3.map")}))
            QFile::copy(maps.filePath(name), folder + name);
    }
    if (!CMapConversion(kFolder, 0).Run())
        Fail("the seed tiles could not be converted");
    const QStringList converted = QDir(folder).entryList({QStringLiteral("*.cbm")});
    if (converted.isEmpty())
        Fail("no seed tile was found");
    for (const QString& name : converted)
        CopySeed(folder + name, outDir, name);
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
