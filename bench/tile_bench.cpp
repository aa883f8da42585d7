// Tile pipeline benchmarks.
//
//   BM_LoadCompressedTile  reading one converted tile into the template bitmap
//   BM_ZlibUncompress      zlib's own uncompress of the same bytes into the
//                          same memory (the floor for the line above)
//   BM_GetTileBitmap       the view's whole fetch of one tile
//   BM_ConvertTile         converting one tile: decrypt, decode, compress, write
//   BM_DecryptTile, BM_DecodeTmp, BM_SaveCompressedTile: its three stages
//
// The data is made in a temporary device root: a 500 x 500 street-map-like
// picture (blocks, roads with casings, a river, a park, labels) stored as an
// encrypted PNG tile and as the template. After the run the ratio of
// LoadCompressedTile to plain uncompress is printed.

#include "platform/crypto.h"
#include "platform/device_root.h"
#include "platform/file_system.h"
#include "platform/image_codec.h"
#include "store/tile_cache.h"
#include "store/tile_crypto.h"
#include "store/tile_key.h"

#include <QBuffer>
#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <random>
#include <unistd.h>
#include <zlib.h>

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\Benchmap");
const QString kTile = QStringLiteral("ben1_1");

// A street-map-like tile: city blocks, minor and major roads with casings, a
// river, a park and street names.
QImage StreetMapPicture() {
    QImage image(500, 500, kDisplayFormat);
    image.fill(QColor(0xf2, 0xef, 0xe9));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    std::mt19937 random(20261206);
    auto uniform = [&](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(random);
    };

    // Building blocks.
    for (int y = 0; y < 500; y += 46)
        for (int x = 0; x < 500; x += 58)
            p.fillRect(x + 6, y + 6, 44 + uniform(-4, 4), 32 + uniform(-4, 4),
                       QColor(0xd9, 0xd0, 0xc9));
    // Park.
    QPainterPath park;
    park.addEllipse(QRectF(300, 40, 150, 110));
    p.fillPath(park, QColor(0xc8, 0xe6, 0xb0));
    // River.
    QPainterPath river(QPointF(-10, 380));
    river.cubicTo(120, 330, 260, 470, 510, 400);
    p.strokePath(river, QPen(QColor(0xaa, 0xd3, 0xdf), 22, Qt::SolidLine, Qt::RoundCap));
    // Minor roads: a grey casing under a white fill.
    for (int pass = 0; pass < 2; ++pass) {
        const QPen pen = pass == 0 ? QPen(QColor(0xb0, 0xa8, 0xa0), 8) : QPen(Qt::white, 6);
        p.setPen(pen);
        for (int y = 2; y < 500; y += 46)
            p.drawLine(0, y, 500, y + 3);
        for (int x = 2; x < 500; x += 58)
            p.drawLine(x, 0, x - 4, 500);
    }
    // Major roads: a dark casing under an orange fill.
    QPainterPath major(QPointF(0, 120));
    major.lineTo(180, 150);
    major.lineTo(500, 90);
    QPainterPath artery(QPointF(240, 0));
    artery.cubicTo(220, 200, 300, 300, 260, 500);
    for (const QPainterPath* road : {&major, &artery}) {
        p.strokePath(*road, QPen(QColor(0x8a, 0x6a, 0x3a), 14));
        p.strokePath(*road, QPen(QColor(0xfc, 0xd6, 0xa4), 11));
    }
    // Labels.
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(11);
    p.setFont(font);
    p.setPen(QColor(0x33, 0x33, 0x33));
    const char* names[] = {"Harbour Road", "Mill Lane", "Kiln Street", "Chapel Row",
                           "Tanners Walk", "Ropewalk",  "Quay Street", "Bell Yard"};
    int index = 0;
    for (int y = 20; y < 500; y += 92) {
        for (int x = 10; x < 480; x += 170) {
            p.drawText(x, y, QString::fromLatin1(names[index++ % 8]));
        }
    }
    p.save();
    p.translate(250, 260);
    p.rotate(-84);
    p.drawText(0, 0, QStringLiteral("Great North Road"));
    p.restore();
    font.setPixelSize(14);
    font.setItalic(true);
    p.setFont(font);
    p.setPen(QColor(0x3b, 0x6e, 0x8f));
    p.drawText(60, 370, QStringLiteral("River Veld"));
    p.setPen(QColor(0x3a, 0x70, 0x2a));
    p.drawText(335, 100, QStringLiteral("Kings Park"));
    return image;
}

QByteArray EncryptedTile(const QByteArray& imageFile) {
    QByteArray file("VTL1");
    file.append(QByteArray(52, '\x17'));
    file.append(imageFile);
    const auto material = MakeTileKeyMaterial();
    CRc4 rc4(DeriveRc4Key(material.data(), material.size()));
    rc4.Crypt(reinterpret_cast<uint8_t*>(file.data()) + 4, size_t(file.size() - 4));
    return file;
}

bool WriteHostFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

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
        SetDeviceRoot(root.path());
        QDir(root.path()).mkpath(QStringLiteral("Veldra/Maps/Benchmap"));
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        StreetMapPicture().save(&buffer, "PNG");
        mapFile = EncryptedTile(png);
        if (!WriteHostFile(root.filePath("Veldra/Maps/tpl.map"), mapFile) ||
            !WriteHostFile(root.filePath("Veldra/Maps/Benchmap/ben1_1.map"), mapFile))
            return;
        if (!cache.DecodeTile(kFolder, kTile, decoded) ||
            !cache.SaveCompressedTile(kFolder, kTile, decoded))
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
            !g_data->cache.SaveCompressedTile(kFolder, kTile, bitmap)) {
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
        if (!g_data->cache.SaveCompressedTile(kFolder, kTile, g_data->decoded)) {
            state.SkipWithError("SaveCompressedTile failed");
            break;
        }
    }
}
BENCHMARK(BM_SaveCompressedTile)->Unit(benchmark::kMillisecond);

// Console output as usual, keeping each benchmark's real and CPU time per
// iteration (the mean over repetitions when there are several).
class CRecordingReporter : public benchmark::ConsoleReporter {
public:
    struct Times {
        double dReal = 0; // seconds per iteration
        double dCpu = 0;
        int nRuns = 0;
        bool bMean = false; // taken from the "mean" aggregate
    };

    // Colours only on a terminal.
    CRecordingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            Times& t = m_times[run.run_name.function_name];
            const double unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
            const double real = run.GetAdjustedRealTime() / unit;
            const double cpu = run.GetAdjustedCPUTime() / unit;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean") {
                t = Times{real, cpu, 1, true};
            } else if (run.run_type == Run::RT_Iteration && !t.bMean) {
                t.dReal = (t.dReal * t.nRuns + real) / (t.nRuns + 1);
                t.dCpu = (t.dCpu * t.nRuns + cpu) / (t.nRuns + 1);
                ++t.nRuns;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, Times> m_times;
};

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);

    CBenchData data;
    if (!data.ok) {
        std::fprintf(stderr, "could not make the benchmark tiles\n");
        return 1;
    }
    g_data = &data;
    CRecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    g_data = nullptr;

    const auto load = reporter.m_times.find("BM_LoadCompressedTile");
    const auto zlib = reporter.m_times.find("BM_ZlibUncompress");
    if (load != reporter.m_times.end() && zlib != reporter.m_times.end() &&
        zlib->second.dReal > 0 && zlib->second.dCpu > 0) {
        std::printf("LoadCompressedTile / uncompress, real time: %.3f (%.1f us vs %.1f us)\n",
                    load->second.dReal / zlib->second.dReal, load->second.dReal * 1e6,
                    zlib->second.dReal * 1e6);
        std::printf("LoadCompressedTile / uncompress, CPU time:  %.3f (%.1f us vs %.1f us)\n",
                    load->second.dCpu / zlib->second.dCpu, load->second.dCpu * 1e6,
                    zlib->second.dCpu * 1e6);
    }
    benchmark::Shutdown();
    return 0;
}
