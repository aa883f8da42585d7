// Map conversion and folder listing benchmarks.
//
//   BM_ConvertMap/N          the conversion engine (every core) on a generated
//                            map of N tiles: 300, 1,200 and 4,800
//   BM_ConvertMapDialog/N    the same through the conversion dialog's own path
//                            (CountMapTiles, then ConvertAll), as the viewer
//                            converts a newly installed map: 300 and 4,800
//   BM_ConvertMapOneCore/N   the engine with every tile worked on the
//                            converting thread alone (1,200 tiles)
//   BM_CountMapTiles/F, BM_MeasureTileGrid/F, BM_GetFolderSize/F,
//   BM_LibraryListing/F      the conversion's tile count, the view's grid
//                            measurement, a map's size in the map library and
//                            the library's list of maps, on a folder of F files
//                            (2,500 and 10,000)
//
// The maps are made quickly: eight street-map-like tiles are encoded and
// encrypted once, and each tile file of a map is a copy of one of them. The
// folder is made afresh, untimed, before each conversion. Each conversion
// also counts the folder-index builds (folder listings for name lookups) it
// caused. The closing lines give the cost per tile at each size and the
// ratios: CPU per tile at 4,800 tiles against 300 (engine and dialog), every
// core against one, and each listing at 10,000 files against 2,500.

#include "bench_support.h"
#include "platform/device_root.h"
#include "platform/registry.h"
#include "store/convert_map_dlg.h"
#include "store/installed_maps.h"
#include "store/map_conversion.h"
#include "store/map_folder.h"
#include "store/tile_cache.h"
#include "view/map_canvas.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <sys/resource.h>

namespace {

using namespace bench;

const QString kMapFolder = QStringLiteral("\\Veldra\\Maps\\Benchtown");
const char kMapHost[] = "Veldra/Maps/Benchtown";

struct CBenchData {
    QTemporaryDir root;
    std::vector<QByteArray> tiles; // encrypted tile files
    TileCache cache;               // lent to the conversion dialog
    bool ok = false;

    CBenchData() {
        if (!root.isValid())
            return;
        SetDeviceRoot(root.path());
        for (unsigned seed = 1; seed <= 8; ++seed) {
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            StreetMapPicture(seed * 7919).save(&buffer, "PNG");
            tiles.push_back(EncryptedTile(png));
        }
        ok = true;
    }

    // A fresh map folder of rows x columns encrypted tiles "ben<r>_<c>.map".
    bool MakeMap(int rows, int columns) {
        const QString folder = root.filePath(kMapHost);
        QDir(folder).removeRecursively();
        if (!QDir().mkpath(folder))
            return false;
        for (int r = 1; r <= rows; ++r)
            for (int c = 1; c <= columns; ++c)
                if (!WriteHostFile(folder + QStringLiteral("/ben%1_%2.map").arg(r).arg(c),
                                   tiles[size_t(r * 7 + c * 3) % tiles.size()]))
                    return false;
        return true;
    }

    // A folder of that many small files, made once: half converted tiles,
    // half encrypted ones, in a grid 50 columns wide. It is registered as the
    // one map of the library. Returns its device path, empty on failure.
    QString ListingFolder(int files) {
        const QString device = QStringLiteral("\\Veldra\\Maps\\Listing%1").arg(files);
        const QString folder = root.filePath(QStringLiteral("Veldra/Maps/Listing%1").arg(files));
        if (!QDir(folder).exists()) {
            if (!QDir().mkpath(folder))
                return QString();
            for (int i = 0; i < files; ++i) {
                const QString name = QStringLiteral("ben%1_%2.%3")
                                         .arg(i / 2 / 50 + 1)
                                         .arg(i / 2 % 50 + 1)
                                         .arg(i % 2 ? "map" : "cbm");
                if (!WriteHostFile(folder + u'/' + name, QByteArray(64, 'x')))
                    return QString();
            }
        }
        if (!RegSetString(MapKey(QStringLiteral("Listing")), QString::fromLatin1(INSTALL_DIR_VALUE),
                          device))
            return QString();
        return device;
    }
};

CBenchData* g_data = nullptr;

// The grid of a map of that many tiles: 4 columns for every 3 rows.
void GridOf(int tiles, int& rows, int& columns) {
    rows = int(std::lround(std::sqrt(tiles * 3.0 / 4.0)));
    columns = tiles / rows;
}

// CPU time of the whole process (every thread), in seconds.
double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Process CPU seconds of each conversion, by benchmark name.
std::map<std::string, double> g_conversionCpu;

// Converts a fresh map of state.range(0) tiles in every iteration: prepare
// (untimed) sets the conversion up and returns what runs it (timed).
template <class Prepare>
void ConvertMap(benchmark::State& state, const char* name, int workers, Prepare prepare) {
    int rows = 0, columns = 0;
    GridOf(int(state.range(0)), rows, columns);
    double cpu = 0;
    uint64_t builds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!g_data->MakeMap(rows, columns)) {
            state.SkipWithError("could not make the map");
            break;
        }
        const std::function<bool()> run = prepare(rows * columns, workers);
        state.ResumeTiming();
        const double started = ProcessCpuSeconds();
        const uint64_t buildsBefore = FolderIndexBuildCount();
        const bool ok = run && run();
        cpu += ProcessCpuSeconds() - started;
        builds += FolderIndexBuildCount() - buildsBefore;
        if (!ok) {
            state.SkipWithError("conversion failed");
            break;
        }
    }
    state.counters["tiles"] = rows * columns;
    state.counters["workers"] = workers;
    state.counters["cpu_ms_a_tile"] = cpu * 1e3 / double(state.iterations() * rows * columns);
    state.counters["index_builds"] =
        benchmark::Counter(double(builds), benchmark::Counter::kAvgIterations);
    g_conversionCpu[std::string(name) + "/" + std::to_string(state.range(0))] =
        cpu / double(state.iterations());
}

// The engine alone; it lists the folder twice (the second listing finds no
// .map left).
std::function<bool()> PrepareEngine(int, int workers) {
    auto conversion = std::make_shared<CMapConversion>(kMapFolder, workers);
    return [conversion] { return conversion->Run() && conversion->m_nListings == 2; };
}

// The dialog, as the open-map flow drives it: the tiles counted (and the
// leftovers of a killed run cleared), then every tile converted.
std::function<bool()> PrepareDialog(int tiles, int workers) {
    auto dialog = std::make_shared<CConvertMapDlg>();
    dialog->m_strFolder = kMapFolder;
    dialog->m_pTileCache = &g_data->cache;
    dialog->m_nWorkers = workers;
    if (dialog->CountMapTiles() != tiles)
        return {};
    return [dialog] { return dialog->ConvertAll(); };
}

void BM_ConvertMap(benchmark::State& state) {
    ConvertMap(state, "BM_ConvertMap", CMapConversion::AllCores(), PrepareEngine);
}
// The small map is converted four times, so that its cost a tile, against
// which the others are compared, is not one short run's.
BENCHMARK(BM_ConvertMap)->Arg(300)->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertMap)
    ->Arg(1200)
    ->Arg(4800)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_ConvertMapDialog(benchmark::State& state) {
    ConvertMap(state, "BM_ConvertMapDialog", CMapConversion::AllCores(), PrepareDialog);
}
BENCHMARK(BM_ConvertMapDialog)
    ->Arg(300)
    ->Iterations(4)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertMapDialog)
    ->Arg(4800)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_ConvertMapOneCore(benchmark::State& state) {
    ConvertMap(state, "BM_ConvertMapOneCore", 0, PrepareEngine);
}
BENCHMARK(BM_ConvertMapOneCore)
    ->Arg(1200)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Runs a listing on a folder of state.range(0) files.
template <class Listing> void ListFolder(benchmark::State& state, Listing listing) {
    const QString folder = g_data->ListingFolder(int(state.range(0)));
    if (folder.isEmpty()) {
        state.SkipWithError("could not make the folder");
        return;
    }
    for (auto _ : state) {
        if (!listing(folder)) {
            state.SkipWithError("wrong result");
            break;
        }
    }
}

void BM_CountMapTiles(benchmark::State& state) {
    CConvertMapDlg dialog;
    ListFolder(state, [&](const QString& folder) {
        dialog.m_strFolder = folder;
        return dialog.CountMapTiles() == state.range(0) / 2;
    });
}

void BM_MeasureTileGrid(benchmark::State& state) {
    CViewport viewport;
    COverlays overlays;
    CMapCanvas canvas(viewport, overlays);
    // The map "Benchmark" has the tile prefix of the listing's files.
    canvas.ShowMap({.strTitle = QStringLiteral("Benchmark"),
                    .strFolder = g_data->ListingFolder(int(state.range(0)))});
    ListFolder(state, [&](const QString&) {
        canvas.MeasureTileGrid();
        return viewport.TileColumns() * viewport.TileRows() == state.range(0) / 2;
    });
}

void BM_GetFolderSize(benchmark::State& state) {
    ListFolder(state, [&](const QString& folder) {
        return GetFolderSize(folder) == uint32_t(state.range(0) * 64);
    });
}

void BM_LibraryListing(benchmark::State& state) {
    ListFolder(state, [&](const QString&) {
        const std::optional<std::vector<ListedMap>> maps = ListLibraryMaps();
        return maps && maps->size() == 1;
    });
}

BENCHMARK(BM_CountMapTiles)->Arg(2500)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MeasureTileGrid)->Arg(2500)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetFolderSize)->Arg(2500)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LibraryListing)->Arg(2500)->Arg(10000)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    UseOffscreenUnlessSet();
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    CRecordingReporter reporter;
    if (!RunWithData(g_data, &reporter, "tiles"))
        return 1;

    auto realTime = [&](const std::string& name) {
        const auto found = reporter.m_times.find(name);
        return found == reporter.m_times.end() ? 0.0 : found->second.dReal;
    };
    std::printf("\n%d cores\n", CMapConversion::AllCores());
    // CPU of every thread a tile, by benchmark and tile count.
    auto cpuPerTile = [](const std::string& benchmark, int tiles) {
        int rows = 0, columns = 0;
        GridOf(tiles, rows, columns);
        return g_conversionCpu[benchmark + "/" + std::to_string(tiles)] * 1e3 / (rows * columns);
    };
    for (const char* benchmark : {"BM_ConvertMap", "BM_ConvertMapDialog"}) {
        for (const int tiles : {300, 1200, 4800}) {
            const std::string name = std::string(benchmark) + "/" + std::to_string(tiles);
            if (realTime(name) <= 0)
                continue;
            int rows = 0, columns = 0;
            GridOf(tiles, rows, columns);
            std::printf("conversion (%s), %5d tiles: %.2f ms a tile (CPU of all threads: %.2f "
                        "ms a tile)\n",
                        benchmark + 3, rows * columns, realTime(name) * 1e3 / (rows * columns),
                        cpuPerTile(benchmark, tiles));
        }
    }
    for (const char* benchmark : {"BM_ConvertMap", "BM_ConvertMapDialog"}) {
        if (cpuPerTile(benchmark, 300) > 0)
            std::printf("conversion (%s), CPU a tile, 4800 / 300 tiles: %.3f\n", benchmark + 3,
                        cpuPerTile(benchmark, 4800) / cpuPerTile(benchmark, 300));
    }
    const double one = realTime("BM_ConvertMapOneCore/1200");
    const double all = realTime("BM_ConvertMap/1200");
    if (one > 0 && all > 0)
        std::printf("conversion of 1200 tiles, one core / every core: %.3f (%.0f ms vs %.0f ms)\n",
                    one / all, one * 1e3, all * 1e3);
    for (const char* name :
         {"BM_CountMapTiles", "BM_MeasureTileGrid", "BM_GetFolderSize", "BM_LibraryListing"}) {
        const double small = realTime(std::string(name) + "/2500");
        const double large = realTime(std::string(name) + "/10000");
        if (small > 0)
            std::printf("%s, 10000 / 2500 files: %.2f (linear: 4)\n", name + 3, large / small);
    }
    benchmark::Shutdown();
    return 0;
}
