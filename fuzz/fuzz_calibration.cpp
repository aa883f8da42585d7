// Fuzz target: reading a map's calibration. The input is Map.dat; an input of
// odd length is also looked up as a title in the built-in table (with no
// Map.dat to read).

#include "fuzz_support.h"

#include "store/map_calibration.h"

namespace {
QString g_mapDat;
} // namespace

void SetUp(const QString& root) {
    QDir(root).mkpath(QStringLiteral("Veldra/Maps/F"));
    g_mapDat = root + QStringLiteral("/Veldra/Maps/F/Map.dat");
}

void MakeSeeds(const QString& demoRoot, const QString& outDir) {
    for (const QString& town : {QStringLiteral("Northcombe"), QStringLiteral("Eastmoor")})
        CopySeed(demoRoot + QStringLiteral("/Veldra/Maps/") + town + QStringLiteral("/Map.dat"),
                 outDir, town + QStringLiteral(".dat"));
    WriteHost(outDir + QStringLiteral("/title"), "Northcombe", 10);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!WriteHost(g_mapDat, data, size))
        Fail("cannot write the input");
    MapCalibration calibration;
    if (!ReadMapCalibration(QStringLiteral("Northcombe"), QStringLiteral("\\Veldra\\Maps\\F"),
                            calibration))
        Fail("an existing Map.dat was not read");
    if (size % 2 == 1) {
        const QString title =
            QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
        const bool found =
            ReadMapCalibration(title, QStringLiteral("\\Veldra\\Maps\\Missing"), calibration);
        if (!found && (calibration.nScale || calibration.nNorth || calibration.nSouth ||
                       calibration.nEast || calibration.nWest))
            Fail("a title not in the table gave a calibration");
    }
    return 0;
}
