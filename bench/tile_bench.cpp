// Tile benchmarks.
//
//   BM_GetTileBitmap       the view's whole fetch of one tile, nothing kept:
//                          the file read and libdeflate's inflate into the
//                          template bitmap
//   BM_ZlibUncompress      zlib's own uncompress of the same bytes into
//                          memory of the same size
//   BM_Libdeflate          libdeflate's inflate alone of the same bytes (the
//                          floor for the first line)
//   BM_GetKeptTileBitmap   the same fetch of a tile kept from before
//   BM_ConvertTile         converting a map of one tile as the viewer does:
//                          decrypt, decode, compress, write, delete the .map
//   BM_DecryptTile, BM_DecodeImage, BM_WriteCompressedTile: its three stages
//
// The data is made in a temporary device root: a 500 x 500 street-map-like
// picture (blocks, roads with casings, a river, a park, labels) stored as an
// encrypted PNG tile and as the template. After the run the ratios of the
// fetch and of libdeflate alone to zlib's uncompress are printed.

#include "bench_support.h"
#include "platform/device_root.h"
#include "platform/file_system.h"
#include "store/map_conversion.h"
#include "store/tile_cache.h"
#include "store/tile_crypto.h"

#include <QBuffer>
#include <QDir>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <libdeflate.h>
#include <vector>
#include <zlib.h>

namespace {

using namespace bench;

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\Benchmap");
const QString kTile = QStringLiteral("ben1_1");

// The benchmark data and the tile cache shared by all benchmarks.
struct CBenchData {
    QTemporaryDir root;
    TileCache cache;
    QByteArray png;                                             // the tile's image file
    QByteArray mapFile;                                         // the encrypted tile
    QByteArray cbmFile;                                         // the converted tile
    QImage decoded;                                             // the decoded tile
    std::vector<uint8_t> pixels = std::vector<uint8_t>(500000); // inflated into
    bool ok = false;

    CBenchData() {
        if (!root.isValid())
            return;
        cache.SetCacheLimit(0); // every fetch reads its file unless a benchmark says otherwise
        SetDeviceRoot(root.path());
        QDir(root.path()).mkpath(QStringLiteral("Veldra/Maps/Benchmap"));
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        StreetMapPicture(20261206).save(&buffer, "PNG");
        mapFile = EncryptedTile(png);
        if (!WriteHostFile(root.filePath("Veldra/Maps/tpl.map"), mapFile) ||
            !WriteHostFile(root.filePath("Veldra/Maps/Benchmap/ben1_1.map"), mapFile) ||
            !CMapConversion(kFolder, 0).Run() ||
            !DecodeTileImage(reinterpret_cast<const uint8_t*>(png.constData()), png.size(),
                             decoded))
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

void BM_ZlibUncompress(benchmark::State& state) {
    const Bytef* source = reinterpret_cast<const Bytef*>(g_data->cbmFile.constData()) + 4;
    const uLong sourceSize = uLong(g_data->cbmFile.size() - 4);
    unsigned char* pixels = g_data->pixels.data();
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
    unsigned char* pixels = g_data->pixels.data();
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
    state.SetBytesProcessed(state.iterations() * 500000);
}
BENCHMARK(BM_GetTileBitmap);

void BM_ConvertTile(benchmark::State& state) {
    const QString mapHost = g_data->root.filePath("Veldra/Maps/Benchmap/ben1_1.map");
    for (auto _ : state) {
        state.PauseTiming(); // a fresh tile each time
        const bool written = WriteHostFile(mapHost, g_data->mapFile);
        state.ResumeTiming();
        if (!written || !CMapConversion(kFolder, 0).Run()) {
            state.SkipWithError("conversion failed");
            break;
        }
    }
}
BENCHMARK(BM_ConvertTile)->Unit(benchmark::kMillisecond);

void BM_DecryptTile(benchmark::State& state) {
    const QString mapPath = QStringLiteral("\\Veldra\\Maps\\tpl.map"); // the same tile
    std::vector<uint8_t> buffer(MAX_TILE_FILE_BYTES);
    for (auto _ : state) {
        const uint8_t* image = nullptr;
        if (ReadAndDecrypt(mapPath, buffer.data(), MAX_TILE_FILE_BYTES, image) == 0) {
            state.SkipWithError("ReadAndDecrypt failed");
            break;
        }
        benchmark::DoNotOptimize(image);
    }
}
BENCHMARK(BM_DecryptTile)->Unit(benchmark::kMicrosecond);

void BM_DecodeImage(benchmark::State& state) {
    const auto* image = reinterpret_cast<const uint8_t*>(g_data->png.constData());
    for (auto _ : state) {
        QImage bitmap;
        if (!DecodeTileImage(image, g_data->png.size(), bitmap)) {
            state.SkipWithError("DecodeTileImage failed");
            break;
        }
    }
}
BENCHMARK(BM_DecodeImage)->Unit(benchmark::kMillisecond);

void BM_WriteCompressedTile(benchmark::State& state) {
    for (auto _ : state) {
        if (!WriteCompressedTile(kFolder, kTile, g_data->decoded)) {
            state.SkipWithError("WriteCompressedTile failed");
            break;
        }
    }
}
BENCHMARK(BM_WriteCompressedTile)->Unit(benchmark::kMillisecond);

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
    for (const char* name : {"BM_GetTileBitmap", "BM_Libdeflate"}) {
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
