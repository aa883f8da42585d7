// Fuzz target: reading a GPX file. The input is the file; the points it reads
// as must survive being written and read back.

#include "fuzz_support.h"

#include "places/gpx.h"

#include <cmath>

void SetUp(const QString&) {}

void MakeSeeds(const QString&, const QString& outDir) {
    const QByteArray seeds[] = {
        WriteGpx(QStringLiteral("Town"), {{QStringLiteral("Home"), CGpxKind::Place, 48.1, 10.1},
                                          {QStringLiteral("me"), CGpxKind::Me, 48.2, 10.2}}),
        "<gpx xmlns='http://www.topografix.com/GPX/1/0'><trk><name>Walk</name><trkseg>"
        "<trkpt lat='48.1' lon='10.1'/><trkpt lat='48.2' lon='10.2'/></trkseg></trk>"
        "<rte><rtept lat='1' lon='2'/></rte></gpx>"};
    int n = 0;
    for (const QByteArray& seed : seeds)
        WriteHost(outDir + QStringLiteral("/gpx%1").arg(n++), seed.constData(),
                  size_t(seed.size()));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    GpxContent content;
    QString error;
    if (!ReadGpx(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), content, error))
        return 0;
    GpxContent again;
    if (!ReadGpx(WriteGpx(QStringLiteral("Town"), content.points), again, error) ||
        again.points.size() != content.points.size() || again.nRefused != 0)
        Fail("the points read did not survive being written");
    for (size_t i = 0; i < content.points.size(); ++i) {
        const GpxPoint &a = content.points[i], &b = again.points[i];
        if (a.strName != b.strName || a.kind != b.kind || std::abs(a.lat - b.lat) > 1e-9 ||
            std::abs(a.lon - b.lon) > 1e-9)
            Fail("a point changed on its way through a file");
    }
    return 0;
}
