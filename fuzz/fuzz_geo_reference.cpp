// Fuzz target: the text readers of a map's place on Earth. The input is read
// as a geo-reference file (what reads must be written and read back the
// same), as a world file and as coordinates typed into Go to Coordinates.

#include "fuzz_support.h"

#include "store/geo_reference.h"
#include "view/geo_readouts.h"

#include <cmath>

void SetUp(const QString&) {}

void MakeSeeds(const QString&, const QString& outDir) {
    // The demo maps have no geo-reference: these are what the tools write
    // and what users type.
    const auto geo = CGeoReference::FromEdges(CProjection::WebMercator, QSize(2131, 1578),
                                              -122.3148, 37.8026, -122.2903, 37.8189);
    const QByteArray seeds[] = {GeoReferenceText(*geo),
                                "0.00002\n0\n0\n-0.00002\n-122.31999\n37.81999\n",
                                "48°8'10\"N 10°4'10\"E", "-33.86, 151.21"};
    int n = 0;
    for (const QByteArray& seed : seeds)
        WriteHost(outDir + QStringLiteral("/geo%1").arg(n++), seed.constData(),
                  size_t(seed.size()));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const std::optional<CGeoReference> geo = ParseGeoReference(bytes)) {
        const QByteArray text = GeoReferenceText(*geo);
        const std::optional<CGeoReference> again = ParseGeoReference(text);
        if (!again || GeoReferenceText(*again) != text)
            Fail("a geo-reference did not survive being written");
        const QPoint corner(geo->PictureSize().width() - 1, geo->PictureSize().height() - 1);
        if (geo->MapPositionOf(geo->GeoOfMapPosition(corner)) != corner)
            Fail("a map position did not survive a conversion and back");
    }
    QString error;
    ParseWorldFile(bytes, QSize(1000, 1000), error);
    if (const std::optional<GeoPoint> point = ParseGeoPoint(QString::fromUtf8(bytes), error);
        point && !(std::abs(point->lat) <= 90 && std::abs(point->lon) <= 180))
        Fail("typed coordinates read beyond the globe");
    return 0;
}
