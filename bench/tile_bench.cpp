// Tile pipeline benchmarks.
//
//   BM_LoadCompressedTile  reading one converted tile into the template bitmap
//                          (the file read and libdeflate's inflate)
//   BM_ZlibUncompress      zlib's own uncompress of the same bytes into the
//                          same memory
//   BM_Libdeflate          libdeflate's inflate alone of the same bytes into
//                          the same memory (the floor for the first line)
//   BM_GetTileBitmap       the view's whole fetch of one tile, nothing kept
//   BM_GetKeptTileBitmap   the same fetch of a tile kept from before
//   BM_ConvertTile         converting one tile: decrypt, decode, compress, write
//   BM_DecryptTile, BM_DecodeTmp, BM_SaveCompressedTile: its three stages
//
// The data is made in a temporary device root: a 500 x 500 street-map-like
// picture (blocks, roads with casings, a river, a park, labels) stored as an
// encrypted PNG tile and as the template. After the run the ratios of
// LoadCompressedTile and of libdeflate alone to zlib's uncompress are printed.

#include "bench_support.h"
#include "platform/device_root.h"
#include "platform/file_system.h"
#include "store/tile_cache.h"
#include "store/tile_crypto.h"

#include <QBuffer>
#include <QDir>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <libdeflate.h>
#include <zlib.h>

namespace {

using namespace bench;

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\Benchmap");
const QString kTile = QStringLiteral("ben1_1");

// The benchmark data and the pipeline object shared by all benchmarks.
struct CBenchData {
    QTemporaryDir root;
    TileCache cache;
    QByteArray mapFile; // the encrypted tile
    QByteArray cbmFile; // the converted tile
    QImage decoded;     // the decoded tile
    bool ok = false;

    CBenchData() {
        if (!root.isValid())
            return;
        cache.SetCacheLimit(0); // every fetch reads its file unless a benchmark says otherwise
        SetDeviceRoot(root.path());
        QDir(root.path()).mkpath(QStringLiteral("Veldra/Maps/Benchmap"));
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        StreetMapPicture(20261206).save(&buffer, "PNG");
        mapFile = EncryptedTile(png);
        if (!WriteHostFile(root.filePath("Veldra/Maps/tpl.map"), mapFile) ||
            !WriteHostFile(root.filePath("Veldra/Maps/Benchmap/ben1_1.map"), mapFile))
            return;
        if (!cache.DecodeTile(kFolder, kTile, decoded) ||
            !WriteCompressedTile(kFolder, kTile, decoded))
            return;
        QFile cbm(root.filePath("Veldra/Maps/Benchmap/ben1_1.cbm"));
        if (!cbm.open(QIODevice::ReadOnly))
            return;
        cbmFile = cbm.readAll();
        const QImage* bitmap = nullptr;
        ok = cache.GetTileBitmap(kFolder, kTile, bitmap) && *bitmap == decoded;
        std::printf("tile: .map %lld bytes (PNG %lld), .cbm %lld bytes, raw 500000 bytes\n",
                    static_cast<long long>(mapFile.size()), static_cast<long long>(png.size()),
                    static_cast<long long>(cbmFile.size()));
    }
};

CBenchData* g_data = nullptr;

void BM_LoadCompressedTile(benchmark::State& state) {
    for (auto _ : state) {
        if (!g_data->cache.LoadCompressedTile(kFolder, kTile)) {
            state.SkipWithError("LoadCompressedTile failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * 500000);
}
BENCHMARK(BM_LoadCompressedTile);

void BM_ZlibUncompress(benchmark::State& state) {
    const Bytef* source = reinterpret_cast<const Bytef*>(g_data->cbmFile.constData()) + 4;
    const uLong sourceSize = uLong(g_data->cbmFile.size() - 4);
    unsigned char* pixels = g_data->cache.m_bmTemplate.bmBits;
    for (auto _ : state) {
        uLongf size = 500000;
        if (uncompress(pixels, &size, source, sourceSize) != Z_OK || size != 500000) {
            state.SkipWithError("uncompress failed");
            break;
        }
        benchmark::DoNotOptimize(pixels);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 500000);
}
BENCHMARK(BM_ZlibUncompress);

void BM_Libdeflate(benchmark::State& state) {
    const uint8_t* source = reinterpret_cast<const uint8_t*>(g_data->cbmFile.constData()) + 4;
    const size_t sourceSize = size_t(g_data->cbmFile.size() - 4);
    unsigned char* pixels = g_data->cache.m_bmTemplate.bmBits;
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    for (auto _ : state) {
        if (libdeflate_zlib_decompress(decompressor, source, sourceSize, pixels, 500000, nullptr) !=
            LIBDEFLATE_SUCCESS) {
            state.SkipWithError("libdeflate failed");
            break;
        }
        benchmark::DoNotOptimize(pixels);
        benchmark::ClobberMemory();
    }
    libdeflate_free_decompressor(decompressor);
    state.SetBytesProcessed(state.iterations() * 500000);
}
BENCHMARK(BM_Libdeflate);

void BM_GetKeptTileBitmap(benchmark::State& state) {
    g_data->cache.SetCacheLimit(TileCache::DEFAULT_CACHE_BYTES);
    for (auto _ : state) {
        const QImage* bitmap = nullptr;
        if (!g_data->cache.GetTileBitmap(kFolder, kTile, bitmap)) {
            state.SkipWithError("GetTileBitmap failed");
            break;
        }
        benchmark::DoNotOptimize(bitmap);
    }
    g_data->cache.SetCacheLimit(0);
}
BENCHMARK(BM_GetKeptTileBitmap);

void BM_GetTileBitmap(benchmark::State& state) {
    for (auto _ : state) {
        const QImage* bitmap = nullptr;
        if (!g_data->cache.GetTileBitmap(kFolder, kTile, bitmap)) {
            state.SkipWithError("GetTileBitmap failed");
            break;
        }
        benchmark::DoNotOptimize(bitmap);
    }
}
BENCHMARK(BM_GetTileBitmap);

void BM_ConvertTile(benchmark::State& state) {
    const QString tmpPath = JoinDevicePath(kFolder, kTile + ".tmp");
    for (auto _ : state) {
        DeleteFileAt(tmpPath); // decrypt every time, as a fresh tile would
        QImage bitmap;
        if (!g_data->cache.DecodeTile(kFolder, kTile, bitmap) ||
            !WriteCompressedTile(kFolder, kTile, bitmap)) {
            state.SkipWithError("conversion failed");
            break;
        }
    }
}
BENCHMARK(BM_ConvertTile)->Unit(benchmark::kMillisecond);

void BM_DecryptTile(benchmark::State& state) {
    const QString mapPath = JoinDevicePath(kFolder, kTile + ".map");
    const QString tmpPath = JoinDevicePath(kFolder, kTile + ".tmp");
    for (auto _ : state) {
        if (!DecryptTileFile(mapPath, tmpPath)) {
            state.SkipWithError("DecryptTileFile failed");
            break;
        }
    }
}
BENCHMARK(BM_DecryptTile)->Unit(benchmark::kMicrosecond);

void BM_DecodeTmp(benchmark::State& state) {
    for (auto _ : state) {
        QImage bitmap;
        if (!g_data->cache.DecodeTile(kFolder, kTile, bitmap)) { // the .tmp exists
            state.SkipWithError("DecodeTile failed");
            break;
        }
    }
}
BENCHMARK(BM_DecodeTmp)->Unit(benchmark::kMillisecond);

void BM_SaveCompressedTile(benchmark::State& state) {
    for (auto _ : state) {
        if (!WriteCompressedTile(kFolder, kTile, g_data->decoded)) {
            state.SkipWithError("SaveCompressedTile failed");
            break;
        }
    }
}
BENCHMARK(BM_SaveCompressedTile)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    UseOffscreenUnlessSet();
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    CRecordingReporter reporter;
    if (!RunWithData(g_data, &reporter, "tiles"))
        return 1;

    // Ratios last: each line against zlib's uncompress of the same tile.
    const auto zlib = reporter.m_times.find("BM_ZlibUncompress");
    for (const char* name : {"BM_LoadCompressedTile", "BM_Libdeflate", "BM_GetTileBitmap"}) {
        const auto line = reporter.m_times.find(name);
        if (line == reporter.m_times.end() || zlib == reporter.m_times.end() ||
            zlib->second.dReal <= 0 || zlib->second.dCpu <= 0)
            continue;
        std::printf("%s / uncompress: real time %.3f, CPU time %.3f (%.1f us vs %.1f us)\n",
                    name + 3, line->second.dReal / zlib->second.dReal,
                    line->second.dCpu / zlib->second.dCpu, line->second.dReal * 1e6,
                    zlib->second.dReal * 1e6);
    }
    benchmark::Shutdown();
    return 0;
}
