#pragma once

#include "store/geo_reference.h"
#include "view/viewport.h"

#include <QString>
#include <optional>

// What the view shows of the map's place on Earth: latitudes and longitudes as
// text, the one under a client point, and the scale bar. Pure functions.

// "48.13610° N, 10.06950° E": five decimals, about a metre.
QString FormatGeoPoint(GeoPoint point);

// Reads a latitude and longitude typed by a user: decimal degrees
// ("48.1361, 10.0695", "-33.86 151.21", "48.1361N 10.0695E") or degrees with
// minutes and seconds marked by °, ' and " ("48°8'10\"N 10°4'10\"E",
// "48°8.17'N, 10°4.17'E"). Latitude comes first unless the letters N, S, E
// and W say otherwise. Nothing, with a message for the user, when the text
// cannot be read or a value is out of range.
std::optional<GeoPoint> ParseGeoPoint(const QString& text, QString& error);

// The latitude and longitude under a client point of the view as last
// presented (the middle of its pixel), or under the middle of the client
// area when there is no point.
GeoPoint GeoAtClientPoint(const CGeoReference& reference, const CViewport& viewport,
                          std::optional<CPoint> client);

// A scale bar in metres and one in yards: the longest round length (1, 2 or 5
// times a power of ten, of metres or kilometres, yards or miles) that fits in
// maxPixels screen pixels, its length in pixels and its label ("200 m",
// "1 km", "500 yd", "2 mi").
struct CScaleBar {
    int nMetricPixels = 0;
    QString strMetric;
    int nImperialPixels = 0;
    QString strImperial;
};
CScaleBar ScaleBarFor(double metresPerScreenPixel, int maxPixels);
