// Registry benchmarks over 10,000 installed-map keys (a registry file made
// here, in a temporary device root, and removed after), and the map library's
// start-up preselection and marking of the current map over them.
//
//   BM_ListMapsCold   the map library's walk (the subkeys of Software\Apps,
//                     then InstallDir and Current of each) right after the
//                     file was replaced: it is read and parsed again while it
//                     is younger than a few clock ticks, then kept
//   BM_ListMapsWarm   the same walk with the file unchanged since the last
//                     walk: no read at all
//   BM_SetCurrent     one change (a Current value): lock, write the whole file
//                     beside the old one, flush it and rename it over
//   BM_PreselectMap   start-up's preselection with every map's folder holding
//                     one file: the walk, each folder measured, the Current of
//                     each read, and the chosen map marked current in one
//                     write (before each run a second map is marked current,
//                     untimed, so the marking has one to release)
//   BM_MarkCurrentMap "Open Map" in the map library: the walk and every map's
//                     Current set in one write, choosing one of two maps in turn

#include "platform/device_root.h"
#include "platform/registry.h"
#include "store/installed_maps.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace {

constexpr int kMaps = 10000;
const QString kApps = QStringLiteral("Software\\Apps");

QByteArray RegistryText() {
    QByteArray text;
    for (int i = 0; i < kMaps; ++i)
        text +=
            QStringLiteral("[%1\\Veldra Pocket map of Town %2]\nInstallDir=sz:\\Veldra\\Maps\\T%2\n"
                           "Current=dword:0\n")
                .arg(kApps)
                .arg(i, 5, 10, QChar(u'0'))
                .toUtf8();
    return text;
}

// Replaces registry.ini with the text, as another process would.
void WriteRegistry(const QTemporaryDir& root, const QByteArray& text) {
    QFile file(root.filePath(QStringLiteral("registry.ini.new")));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        std::abort();
    file.close();
    QFile::remove(root.filePath(QStringLiteral("registry.ini")));
    QFile::rename(file.fileName(), root.filePath(QStringLiteral("registry.ini")));
}

int ListMaps() {
    int listed = 0;
    for (const QString& name : RegEnumSubkeys(kApps).value_or(QStringList())) {
        const QString key = kApps + u'\\' + name;
        listed += RegQueryString(key, QStringLiteral("InstallDir")).has_value() &&
                  RegQueryDword(key, QStringLiteral("Current")).has_value();
    }
    return listed;
}

struct Fixture {
    QTemporaryDir root;
    QByteArray text = RegistryText();
    Fixture() {
        SetDeviceRoot(root.path());
        WriteRegistry(root, text);
    }
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

void BM_ListMapsCold(benchmark::State& state) {
    Fixture& f = Shared();
    const uint64_t readsBefore = RegistryFileReadCount();
    for (auto _ : state) {
        state.PauseTiming();
        WriteRegistry(f.root, f.text);
        state.ResumeTiming();
        if (ListMaps() != kMaps)
            state.SkipWithError("not every map was listed");
    }
    state.counters["file_reads_per_walk"] = benchmark::Counter(
        double(RegistryFileReadCount() - readsBefore), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ListMapsCold)->Unit(benchmark::kMillisecond);

void BM_ListMapsWarm(benchmark::State& state) {
    Shared();
    ListMaps();
    for (auto _ : state)
        benchmark::DoNotOptimize(ListMaps());
}
BENCHMARK(BM_ListMapsWarm)->Unit(benchmark::kMillisecond);

void BM_SetCurrent(benchmark::State& state) {
    Shared();
    uint32_t value = 0;
    for (auto _ : state) {
        if (!RegSetDword(kApps + QStringLiteral("\\Veldra Pocket map of Town 05000"),
                         QStringLiteral("Current"), value ^= 1))
            state.SkipWithError("the write failed");
    }
}
BENCHMARK(BM_SetCurrent)->Unit(benchmark::kMillisecond);

QString MapKeyOf(int i) {
    return kApps + QStringLiteral("\\Veldra Pocket map of Town %1").arg(i, 5, 10, QChar(u'0'));
}

// The registry as made above, the last map marked current, and a folder with
// one file for every map (made once).
void InstallEveryFolder(Fixture& f) {
    WriteRegistry(f.root, f.text);
    static bool made = false;
    for (int i = 0; i < kMaps && !made; ++i) {
        const QString folder = QStringLiteral("Veldra/Maps/T%1").arg(i, 5, 10, QChar(u'0'));
        QFile file(f.root.filePath(folder + QStringLiteral("/tile.cbm")));
        if (!QDir(f.root.path()).mkpath(folder) || !file.open(QIODevice::WriteOnly) ||
            file.write("tile") != 4)
            std::abort();
    }
    made = true;
    if (!RegSetDword(MapKeyOf(kMaps - 1), QStringLiteral("Current"), 1))
        std::abort();
}

void BM_PreselectMap(benchmark::State& state) {
    Fixture& f = Shared();
    InstallEveryFolder(f);
    int other = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!RegSetDword(MapKeyOf(other++ % (kMaps - 1)), QStringLiteral("Current"), 1))
            state.SkipWithError("the write failed");
        state.ResumeTiming();
        QString obstacle;
        const std::optional<ListedMap> chosen = PreselectInstalledMap(&obstacle);
        if (!chosen || chosen->title != QStringLiteral("Town 09999") || !obstacle.isEmpty())
            state.SkipWithError("the wrong map was preselected");
    }
}
BENCHMARK(BM_PreselectMap)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MarkCurrentMap(benchmark::State& state) {
    Fixture& f = Shared();
    InstallEveryFolder(f);
    int turn = 0;
    for (auto _ : state) {
        const QString folder = (turn++ % 2) ? QStringLiteral("\\Veldra\\Maps\\T00000")
                                            : QStringLiteral("\\Veldra\\Maps\\T09999");
        if (!MarkCurrentMap(folder))
            state.SkipWithError("the write failed");
    }
}
BENCHMARK(BM_MarkCurrentMap)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
