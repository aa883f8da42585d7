// The map view at desktop window sizes, on a converted map of 10 x 10
// street-map-like tiles (5000 x 5000 pixels), every tile kept decoded.
//
//   BM_DragFrame/W      one frame of a drag: the back buffer presented at a
//                       dragged position, nothing fetched
//   BM_KeyStep/W        a direction key step right then left: the buffer
//                       shifted and the uncovered strip drawn
//   BM_Resize/W         a resize from 240 x 268 to the size and back, each a
//                       full redraw
//
// W picks the client size: 0 is 240 x 268, 1 is 1280 x 800, 2 is 1920 x 1080,
// 3 is 3840 x 2160. The fetches counter gives the tiles fetched per run.

#include "bench_map.h"

#include <QGuiApplication>
#include <cstdio>

namespace {

using namespace bench;

constexpr int kGrid = 10;
constexpr QSize kSizes[] = {{240, 268}, {1280, 800}, {1920, 1080}, {3840, 2160}};

// The benchmark's map.
struct CBenchData : CBenchMap {
    CBenchData() : CBenchMap(QStringLiteral("Wide"), kGrid) {}
};

CBenchData* g_data = nullptr;

// Sizes the canvas's client area and buffer as the widget does.
void Resize(QSize size) {
    g_data->canvas.Resize(size.width(), size.height());
}

void BM_DragFrame(benchmark::State& state) {
    Resize(kSizes[state.range(0)]);
    const CPoint centre = g_data->viewport.Centre();
    const uint64_t fetches = g_data->nFetches;
    int step = 0;
    for (auto _ : state) {
        step = (step + 7) % 60;
        g_data->canvas.PresentView(centre.x + step - 30, centre.y + 30 - step);
    }
    state.counters["fetches"] = double(g_data->nFetches - fetches);
    Resize(kSizes[0]);
}

void BM_KeyStep(benchmark::State& state) {
    Resize(kSizes[state.range(0)]);
    const uint64_t fetches = g_data->nFetches;
    for (auto _ : state) {
        g_data->canvas.OnKeyUp(Qt::Key_Right);
        g_data->canvas.OnKeyUp(Qt::Key_Left);
    }
    state.counters["fetches"] = double(g_data->nFetches - fetches) / double(state.iterations());
    Resize(kSizes[0]);
}

void BM_Resize(benchmark::State& state) {
    const uint64_t fetches = g_data->nFetches;
    for (auto _ : state) {
        Resize(kSizes[state.range(0)]);
        Resize(kSizes[0]);
    }
    state.counters["fetches"] = double(g_data->nFetches - fetches) / double(state.iterations());
}

BENCHMARK(BM_DragFrame)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KeyStep)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Resize)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    UseOffscreenUnlessSet();
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (!RunWithData(g_data, nullptr, "map"))
        return 1;
    benchmark::Shutdown();
    return 0;
}
