// Map view redraw benchmarks, on a converted map of 8 x 8 street-map-like
// tiles and a client area of 240 x 268 pixels.
//
//   BM_RedrawCold/Z    a full redraw at zoom Z (0.25, 0.5, 1.0, 2.0; the
//                      argument is Z x 100) with no tile kept: every tile is
//                      read from its file
//   BM_RedrawWarm/Z    the same redraw with every tile kept from before
//   BM_DragFrame       one frame of a drag: the back buffer presented at a
//                      dragged position, nothing fetched
//   BM_CopyClient      copying the client image's pixels once
//   BM_CopyBuffer      copying the 500 x 500 back buffer's pixels once
//
// The counters give the tiles fetched and the tile files read per redraw.
// The closing lines give the ratios: warm redraw at 0.25 against copying the
// buffer, cold against warm at each zoom, and a drag frame against copying
// the client image.

#include "bench_map.h"

#include <QGuiApplication>
#include <cstdio>
#include <cstring>

namespace {

using namespace bench;

constexpr int kClientWidth = 240;
constexpr int kClientHeight = 268;
constexpr int kGrid = 8;

// The benchmark's map.
struct CBenchData : CBenchMap {
    CBenchData() : CBenchMap(QStringLiteral("Redraw"), kGrid) {}
};

CBenchData* g_data = nullptr;

void Redraw(benchmark::State& state, bool warm) {
    CMapCanvas& canvas = g_data->canvas;
    TileCache& tiles = canvas.Tiles();
    const double zoom = double(state.range(0)) / 100.0;
    canvas.ApplyZoom(kClientWidth, kClientHeight, zoom); // fills the kept tiles
    const uint64_t fetches = g_data->nFetches, reads = tiles.m_nTileReads;
    for (auto _ : state) {
        if (!warm) {
            state.PauseTiming();
            tiles.ForgetTiles();
            state.ResumeTiming();
        }
        canvas.ApplyZoom(kClientWidth, kClientHeight, zoom);
    }
    const double runs = double(state.iterations());
    state.counters["fetches"] = double(g_data->nFetches - fetches) / runs;
    state.counters["file_reads"] = double(tiles.m_nTileReads - reads) / runs;
    canvas.ApplyZoom(kClientWidth, kClientHeight, 1.0);
}

void BM_RedrawCold(benchmark::State& state) {
    Redraw(state, false);
}
void BM_RedrawWarm(benchmark::State& state) {
    Redraw(state, true);
}
BENCHMARK(BM_RedrawCold)->Arg(25)->Arg(50)->Arg(100)->Arg(200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RedrawWarm)->Arg(25)->Arg(50)->Arg(100)->Arg(200)->Unit(benchmark::kMicrosecond);

void BM_DragFrame(benchmark::State& state) {
    CMapCanvas& canvas = g_data->canvas;
    const CPoint centre = g_data->viewport.Centre();
    const uint64_t fetches = g_data->nFetches;
    int step = 0;
    for (auto _ : state) {
        step = (step + 7) % 60;
        canvas.PresentView(centre.x + step - 30, centre.y + 30 - step);
    }
    state.counters["fetches"] = double(g_data->nFetches - fetches);
}
BENCHMARK(BM_DragFrame)->Unit(benchmark::kMicrosecond);

// Copies rows of width pixels from one image to another.
void CopyPixels(benchmark::State& state, int width, int height) {
    const QImage& from = g_data->canvas.BackBuffer();
    QImage to(from.size(), from.format());
    const size_t rowBytes = size_t(width) * 2;
    for (auto _ : state) {
        for (int y = 0; y < height; ++y)
            std::memcpy(to.scanLine(y), from.constScanLine(y), rowBytes);
        benchmark::ClobberMemory();
    }
}
void BM_CopyClient(benchmark::State& state) {
    CopyPixels(state, kClientWidth, kClientHeight);
}
void BM_CopyBuffer(benchmark::State& state) {
    CopyPixels(state, 500, 500);
}
BENCHMARK(BM_CopyClient)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CopyBuffer)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    UseOffscreenUnlessSet();
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    CRecordingReporter reporter;
    if (!RunWithData(g_data, &reporter, "map"))
        return 1;

    auto time = [&](const std::string& name) {
        const auto found = reporter.m_times.find(name);
        return found == reporter.m_times.end() ? 0.0 : found->second.dCpu;
    };
    std::printf("\nRatios of CPU time:\n");
    const double buffer = time("BM_CopyBuffer"), client = time("BM_CopyClient");
    if (buffer > 0)
        std::printf("warm redraw at 0.25 / copying the buffer: %.2f (goal: at most 3)\n",
                    time("BM_RedrawWarm/25") / buffer);
    for (int zoom : {25, 50, 100, 200}) {
        const double warm = time("BM_RedrawWarm/" + std::to_string(zoom));
        if (warm > 0)
            std::printf("redraw at %.2f, cold / warm: %.1f\n", zoom / 100.0,
                        time("BM_RedrawCold/" + std::to_string(zoom)) / warm);
    }
    if (client > 0)
        std::printf("drag frame / copying the client image: %.2f\n", time("BM_DragFrame") / client);
    benchmark::Shutdown();
    return 0;
}
