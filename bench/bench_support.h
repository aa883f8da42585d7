#pragma once

// Shared by the benchmarks: street-map-like tiles, encrypted tile files and a
// console reporter that keeps each benchmark's times for the closing ratios.

#include "platform/image_codec.h"
#include "store/tile_crypto.h"

#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtGlobal>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace bench {

// A street-map-like tile: city blocks, minor and major roads with casings, a
// river, a park and street names.
inline QImage StreetMapPicture(unsigned seed) {
    QImage image(500, 500, kDisplayFormat);
    image.fill(QColor(0xf2, 0xef, 0xe9));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    std::mt19937 random(seed);
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

// The .map file of an image file, as the packaging tool writes it.
inline QByteArray EncryptedTile(const QByteArray& imageFile) {
    return EncryptTileImage(imageFile);
}

inline bool WriteHostFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

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
            // Keyed by name and arguments: "BM_ConvertMap/300".
            std::string key = run.run_name.function_name;
            if (!run.run_name.args.empty())
                key += "/" + run.run_name.args;
            Times& t = m_times[key];
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

// Runs the benchmarks offscreen unless a platform was chosen.
inline void UseOffscreenUnlessSet() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// Makes the benchmarks' data (the application must exist), points global at
// it and runs every benchmark, reporting through reporter (the console when
// null). False, after a message naming what, when the data cannot be made.
template <class TData>
bool RunWithData(TData*& global, benchmark::BenchmarkReporter* reporter, const char* what) {
    TData data;
    if (!data.ok) {
        std::fprintf(stderr, "could not make the benchmark %s\n", what);
        return false;
    }
    global = &data;
    if (reporter)
        benchmark::RunSpecifiedBenchmarks(reporter);
    else
        benchmark::RunSpecifiedBenchmarks();
    global = nullptr;
    return true;
}

} // namespace bench
