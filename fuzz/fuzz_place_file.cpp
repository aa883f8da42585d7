// Fuzz target: reading a place file. The input is the file; whatever position
// it reads as must survive being saved and read back.

#include "fuzz_support.h"

#include "places/place_files.h"

namespace {
QString g_place;
const QString kMap = QStringLiteral("Town");
} // namespace

void SetUp(const QString& root) {
    QDir(root).mkpath(QStringLiteral("Veldra/My Places/Town"));
    g_place = root + QStringLiteral("/Veldra/My Places/Town/p.plc");
}

void MakeSeeds(const QString&, const QString& outDir) {
    // The demo maps bring no places: these are what SavePlace writes.
    const char* texts[] = {"250 731", "-2147483648 2147483647", "0 0", "12 -7"};
    int n = 0;
    for (const char* text : texts) {
        QByteArray utf16;
        for (const char* c = text; *c; ++c)
            utf16 += QByteArray(1, *c) + '\0';
        WriteHost(outDir + QStringLiteral("/place%1").arg(n++), utf16.constData(),
                  size_t(utf16.size()));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!WriteHost(g_place, data, size))
        Fail("cannot write the input");
    const std::optional<QPoint> read = LoadPlace(kMap, QStringLiteral("p"));
    if (!read)
        Fail("an existing place file was not read");
    if (!SavePlace(kMap, QStringLiteral("q"), *read) ||
        LoadPlace(kMap, QStringLiteral("q")) != read)
        Fail("a position read from a place file did not survive a save");
    return 0;
}
