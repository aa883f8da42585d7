#pragma once

#include <QByteArray>
#include <QPointF>
#include <QSize>
#include <QString>
#include <optional>

// Where on Earth a map lies: the map picture's projection and the latitudes
// and longitudes of its edges, kept beside Map.dat in the geo-reference file
// GEO_REFERENCE_FILE (format at the top of store/geo_reference.cpp). Every
// conversion between map positions and latitude/longitude lives here.
//
// Map coordinates are continuous pixels of the whole picture at zoom 1.0:
// (0, 0) is the picture's top-left corner, x grows to the right and y
// downwards. The map position (x, y), a whole pixel, stands for the pixel
// whose top-left corner is (x, y); its latitude and longitude are those of
// the pixel's middle, and a latitude and longitude fall on the pixel that
// holds them.

// The geo-reference file in a map folder.
inline constexpr char GEO_REFERENCE_FILE[] = "Map.geo";
// Radius of the sphere of Web Mercator, metres; ground distances are taken on it too.
inline constexpr double EARTH_RADIUS = 6378137.0;
// Web Mercator reaches this latitude north and south, degrees.
inline constexpr double MAX_MERCATOR_LATITUDE = 85.0511287798;

// A latitude and longitude in degrees (north and east positive).
struct GeoPoint {
    double lat = 0;
    double lon = 0;
};

// Web Mercator metres of a longitude and a latitude, and back.
double MercatorX(double lon);
double MercatorY(double lat);
double MercatorLongitude(double x);
double MercatorLatitude(double y);

// How the picture was drawn.
enum class CProjection {
    WebMercator, // x linear in longitude, y linear in Web Mercator metres
    LatLon,      // x linear in longitude, y linear in latitude
};

// A map picture's place on Earth. A plain value.
class CGeoReference {
public:
    // The reference of a picture of size pixels whose edges lie at the given
    // longitudes (west, east) and latitudes (south, north), degrees. Nothing
    // when the size is empty or the edges are not a box on the globe (within
    // MAX_MERCATOR_LATITUDE for Web Mercator).
    static std::optional<CGeoReference> FromEdges(CProjection projection, QSize size, double west,
                                                  double south, double east, double north);

    // Map coordinates of a latitude and longitude (outside the picture too).
    QPointF ToMap(GeoPoint point) const;
    // The latitude and longitude at map coordinates.
    GeoPoint ToGeo(QPointF map) const;
    // The map position (whole pixel) that holds a latitude and longitude, and
    // the latitude and longitude of a map position's middle.
    QPoint MapPositionOf(GeoPoint point) const;
    GeoPoint GeoOfMapPosition(QPoint position) const;
    // True when a map position lies on the picture and can be used as a
    // position: 1 <= x < width and 1 <= y < height (0 means none everywhere).
    bool IsUsablePosition(QPoint position) const;
    // Ground metres that one map pixel spans east to west at a latitude.
    double MetresPerPixelAt(double lat) const;
    // Ground metres of a map pixel at the picture's middle latitude.
    double NominalMetresPerPixel() const;
    // True when a converted tile grid of columns x rows tiles of tileEdge
    // pixels is the one the picture was cut into.
    bool FitsTileGrid(int columns, int rows, int tileEdge) const;

    CProjection Projection() const { return m_projection; }
    QSize PictureSize() const { return m_size; }
    double West() const { return m_west; }
    double East() const { return m_east; }
    double North() const { return m_north; }
    double South() const { return m_south; }

private:
    CGeoReference() = default;
    // The picture's vertical coordinate of a latitude: degrees or Web
    // Mercator metres, by projection.
    double Vertical(double lat) const;

    CProjection m_projection = CProjection::WebMercator;
    QSize m_size;
    double m_west = 0, m_east = 0, m_north = 0, m_south = 0;
    double m_top = 0, m_bottom = 0; // Vertical(m_north), Vertical(m_south)
};

// The text of a geo-reference file.
QByteArray GeoReferenceText(const CGeoReference& reference);
// Reads the text of a geo-reference file; nothing when it is malformed.
std::optional<CGeoReference> ParseGeoReference(const QByteArray& text);
// Reads the geo-reference file of a map folder (a device path); nothing when
// it is missing, unreadable, larger than a geo-reference can be, or malformed.
std::optional<CGeoReference> ReadGeoReference(const QString& folder);

// A world file (six lines: pixel width, two rotation terms, pixel height,
// then x and y of the middle of the top-left pixel) for a picture of size
// pixels. Its units are degrees of longitude and latitude when the numbers
// lie within them (the top-left within +-180 and +-90, pixels smaller than a
// degree), else Web Mercator metres. Nothing, with error, when it is
// malformed, rotated or does not lie on the globe.
std::optional<CGeoReference> ParseWorldFile(const QByteArray& text, QSize size, QString& error);
