#pragma once

#include "map_packager.h"
#include "map_scene.h"

#include "store/geo_reference.h"

#include <QPointF>
#include <QSize>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

// Maps of real places from OpenStreetMap extracts (XML .osm, .osm.bz2,
// .osm.gz, or PBF .osm.pbf), read with libosmium: the streets, water, parks,
// woods, buildings, railways, stations, hospitals and place names drawn in the
// map style of map_scene.h, the calibration, and the gazetteers.

inline constexpr double MIN_METRES_PER_PIXEL = 0.25;
inline constexpr double MAX_METRES_PER_PIXEL = 20;
// Blank border around the extract's bounds, in pixels.
inline constexpr int OSM_MARGIN = 32;
// The largest picture side, in pixels (200 tiles). The tool draws a whole row
// of tiles at once, so this also bounds its memory (a row of 500 x 100000
// pixels is 200 MB).
inline constexpr int MAX_OSM_PICTURE_SIDE = 100000;
// The distance read-out shows d x S x 0.0001 x 1.094 metres for d pixels at
// zoom 1.0; S is chosen so that this is d x (metres per pixel).
inline constexpr double READOUT_METRES_PER_SCALE_UNIT = 0.0001 * 1.094;

// A box of longitudes and latitudes in degrees.
struct GeoBox {
    double west = 0, south = 0, east = 0, north = 0;
    bool Valid() const {
        return west < east && south < north && west >= -180 && east <= 180 && south >= -85 &&
               north <= 85;
    }
};

// Parses "W,S,E,N" in degrees; false, with error, when it is not a valid box.
bool ParseGeoBox(const QString& text, GeoBox& box, QString& error);

// Web Mercator scaled so that a pixel is metresPerPixel metres on the ground
// at the box's middle latitude, with the picture covering the box and a
// margin of OSM_MARGIN pixels on every side. Pixels are those of the whole
// map picture (x right, y down).
class CMercatorProjection {
public:
    CMercatorProjection(const GeoBox& box, double metresPerPixel);
    QPointF ToPixel(double lon, double lat) const;
    // Picture size; either side may exceed MAX_OSM_PICTURE_SIDE (check first).
    double Width() const { return m_width; }
    double Height() const { return m_height; }
    // Map.dat: the picture's edges in Web Mercator metres and the scale S,
    // M / (0.0001 x 1.094) rounded to the nearest integer.
    MapCalibration Calibration() const;
    // The geo-reference of the picture (exact to the drawing); none when the
    // picture is larger than a geo-reference takes.
    std::optional<CGeoReference> GeoReference() const;
    double MetresPerPixel() const { return m_metresPerPixel; }

private:
    double m_metresPerPixel;
    double m_k;               // pixels per Web Mercator metre
    double m_x0, m_y0;        // Web Mercator metres of the picture's top-left corner
    double m_width, m_height; // pixels
};

struct OsmMapRequest {
    QString input;               // host path of the extract
    double metresPerPixel = 1.0; // MIN_METRES_PER_PIXEL to MAX_METRES_PER_PIXEL
    std::optional<GeoBox> bbox;  // else the extract's bounds
    bool large = false;          // allow more than MAX_MAP_TILES tiles
    // Place the overview levels' labels too; false leaves them to the caller
    // (PlaceLevelLabels), which may place them while it draws the map's tiles.
    bool levelLabels = true;
};

// A map made from an extract: its scene (labels placed), gazetteer and calibration.
struct OsmMap {
    MapScene scene;
    std::vector<PlaceRecord> places; // Streets, Towns, Stations, Hospitals, Places
    MapCalibration calibration;
    std::optional<CGeoReference> geo; // the picture's place on Earth
    GeoBox box;                       // what the picture covers, margin excluded
    size_t nodes = 0, ways = 0, relations = 0; // read from the extract
    // Drawn features: areas, lines and symbols (labels not counted).
    size_t Features() const {
        return scene.areas.size() + scene.lines.size() + scene.points.size();
    }
};

// About how many bytes the tiles of the map take on disk: tiles that some
// feature or label touches counted as busy town tiles, the rest as blank ones.
int64_t EstimateTileBytes(const MapScene& scene);

// Progress of ReadOsmMap: a step and, while reading, the share done (0-100, or -1).
using OsmProgress = std::function<void(const QString& step, int percent)>;

// Reads an extract into a map. False, with one line in error, for an
// out-of-range scale, an unreadable, truncated or empty extract, one neither
// XML nor PBF, a coordinate written with an exponent (which libosmium cannot
// read safely), a picture larger than MAX_OSM_PICTURE_SIDE, more than
// MAX_MAP_TILES tiles without large, or nothing to draw or name inside the bbox.
bool ReadOsmMap(const OsmMapRequest& request, OsmMap& map, QString& error,
                const OsmProgress& progress = {});
