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

#include "bench_support.h"
#include "platform/device_root.h"
#include "store/tile_cache.h"
#include "view/map_view_core.h"

#include <QBuffer>
#include <QDir>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <cstdio>

namespace {

using namespace bench;

constexpr int kGrid = 10;
constexpr QSize kSizes[] = {{240, 268}, {1280, 800}, {1920, 1080}, {3840, 2160}};

class CCountingView : public CMapViewCore {
public:
    bool FetchTile(const QString& tileName, const QImage*& bitmap) override {
        ++m_nFetches;
        return CMapViewCore::FetchTile(tileName, bitmap);
    }
    uint64_t m_nFetches = 0;
};

struct CBenchData {
    QTemporaryDir root;
    CCountingView view;
    bool ok = false;

    CBenchData() {
        if (!root.isValid())
            return;
        SetDeviceRoot(root.path());
        QDir(root.path()).mkpath(QStringLiteral("Veldra/Maps/Wide"));
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QImage white(500, 500, kDisplayFormat);
        white.fill(Qt::white);
        white.save(&buffer, "PNG");
        if (!WriteHostFile(root.filePath(QStringLiteral("Veldra/Maps/tpl.map")),
                           EncryptedTile(png)))
            return;
        view.m_szMapFolder = QStringLiteral("\\Veldra\\Maps\\Wide");
        view.m_szTilePrefix = QStringLiteral("wid");
        for (int r = 1; r <= kGrid; ++r)
            for (int c = 1; c <= kGrid; ++c)
                if (!view.m_tileCache.SaveCompressedTile(view.m_szMapFolder,
                                                         QStringLiteral("wid%1_%2").arg(r).arg(c),
                                                         StreetMapPicture(unsigned(r * 31 + c))))
                    return;
        if (!view.CreateDrawingSurfaces() || !view.ResetViewState())
            return;
        view.m_bMapOpen = true;
        view.m_ptPending = {kGrid * 250, kGrid * 250};
        view.ApplyZoom(240, 268, 1.0);
        ok = view.m_nTileColumns == kGrid && view.m_nTileRows == kGrid;
    }
};

CBenchData* g_data = nullptr;

// Sizes the view's client area and buffer as the widget does.
void Resize(QSize size) {
    g_data->view.ResizeBackBuffer(size.width(), size.height());
    g_data->view.ApplyZoom(size.width(), size.height(), 1.0);
}

void BM_DragFrame(benchmark::State& state) {
    CCountingView& view = g_data->view;
    Resize(kSizes[state.range(0)]);
    const uint64_t fetches = view.m_nFetches;
    int step = 0;
    for (auto _ : state) {
        step = (step + 7) % 60;
        view.PresentView(view.m_ptCentre.x + step - 30, view.m_ptCentre.y + 30 - step);
    }
    state.counters["fetches"] = double(view.m_nFetches - fetches);
    Resize(kSizes[0]);
}

void BM_KeyStep(benchmark::State& state) {
    CCountingView& view = g_data->view;
    Resize(kSizes[state.range(0)]);
    const uint64_t fetches = view.m_nFetches;
    for (auto _ : state) {
        view.OnKeyUp(VK_RIGHT);
        view.OnKeyUp(VK_LEFT);
    }
    state.counters["fetches"] = double(view.m_nFetches - fetches) / double(state.iterations());
    Resize(kSizes[0]);
}

void BM_Resize(benchmark::State& state) {
    CCountingView& view = g_data->view;
    const uint64_t fetches = view.m_nFetches;
    for (auto _ : state) {
        Resize(kSizes[state.range(0)]);
        Resize(kSizes[0]);
    }
    state.counters["fetches"] = double(view.m_nFetches - fetches) / double(state.iterations());
}

BENCHMARK(BM_DragFrame)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KeyStep)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Resize)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    CBenchData data;
    if (!data.ok) {
        std::fprintf(stderr, "could not make the benchmark map\n");
        return 1;
    }
    g_data = &data;
    benchmark::RunSpecifiedBenchmarks();
    g_data = nullptr;
    benchmark::Shutdown();
    return 0;
}
