// Geo-reference of a map: the file Map.geo in the map folder (optional).
//
// Plain ASCII text of at most 4096 bytes, one "key value" pair a line (lines
// end with LF or CR LF; blank lines and lines starting with '#' are skipped):
//
//   VeldraGeoReference 1          first line: the format and its version
//   projection web-mercator       or lat-lon (see CProjection)
//   picture 2131 1578             the picture's width and height, pixels
//   metres-per-pixel 1            ground metres a pixel spans east to west at
//                                 the middle latitude
//   west -122.3148190600          longitude of the picture's left edge, degrees
//   east -122.2903520300          longitude of its right edge
//   north 37.8189120100           latitude of its top edge
//   south 37.8026400800           latitude of its bottom edge
//
// Every key after the first line appears once, in any order; numbers are
// decimal. The file is malformed, and ignored, when a key is missing,
// repeated or unknown, a number does not read, the edges are not a box on the
// globe, or metres-per-pixel differs from what the edges give by more than
// 0.1 %. A file whose picture is not the one the map's tiles were cut from
// (see FitsTileGrid) is stale and ignored too. A map without the file, or with
// one that is ignored, has no place on Earth.

#include "store/geo_reference.h"

#include "platform/device_root.h"
#include "platform/file_system.h"

#include <QList>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double kDegree = std::numbers::pi / 180;
constexpr char kMagic[] = "VeldraGeoReference 1";
constexpr int kMaxFileBytes = 4096;
// The largest picture side a geo-reference takes, pixels.
constexpr int kMaxPictureSide = 1000000;
// The finest picture a geo-reference takes, degrees a pixel: about a tenth
// of a millimetre, far finer than any map and coarse enough for doubles.
constexpr double kMinDegreesPerPixel = 1e-9;
// How far metres-per-pixel may stray from the edges' own value.
constexpr double kScaleTolerance = 0.001;

const char* ProjectionName(CProjection projection) {
    return projection == CProjection::WebMercator ? "web-mercator" : "lat-lon";
}

} // namespace

double MercatorX(double lon) {
    return EARTH_RADIUS * lon * kDegree;
}

double MercatorY(double lat) {
    return EARTH_RADIUS * std::log(std::tan(std::numbers::pi / 4 + lat * kDegree / 2));
}

double MercatorLongitude(double x) {
    return x / EARTH_RADIUS / kDegree;
}

double MercatorLatitude(double y) {
    return (2 * std::atan(std::exp(y / EARTH_RADIUS)) - std::numbers::pi / 2) / kDegree;
}

std::optional<CGeoReference> CGeoReference::FromEdges(CProjection projection, QSize size,
                                                      double west, double south, double east,
                                                      double north) {
    const double maxLat = projection == CProjection::WebMercator ? MAX_MERCATOR_LATITUDE : 90.0;
    // Written so that NaN fails every test.
    if (!(size.width() >= 1 && size.height() >= 1 && size.width() <= kMaxPictureSide &&
          size.height() <= kMaxPictureSide && west >= -180 && east <= 180 && west < east &&
          south >= -maxLat && north <= maxLat && south < north &&
          (east - west) / size.width() >= kMinDegreesPerPixel &&
          (north - south) / size.height() >= kMinDegreesPerPixel))
        return std::nullopt;
    CGeoReference reference;
    reference.m_projection = projection;
    reference.m_size = size;
    reference.m_west = west;
    reference.m_east = east;
    reference.m_north = north;
    reference.m_south = south;
    reference.m_top = reference.Vertical(north);
    reference.m_bottom = reference.Vertical(south);
    return reference;
}

double CGeoReference::Vertical(double lat) const {
    return m_projection == CProjection::WebMercator ? MercatorY(lat) : lat;
}

QPointF CGeoReference::ToMap(GeoPoint point) const {
    return {(point.lon - m_west) / (m_east - m_west) * m_size.width(),
            (m_top - Vertical(point.lat)) / (m_top - m_bottom) * m_size.height()};
}

GeoPoint CGeoReference::ToGeo(QPointF map) const {
    const double lon = m_west + map.x() / m_size.width() * (m_east - m_west);
    const double vertical = m_top - map.y() / m_size.height() * (m_top - m_bottom);
    const double lat =
        m_projection == CProjection::WebMercator ? MercatorLatitude(vertical) : vertical;
    return {lat, lon};
}

QPoint CGeoReference::MapPositionOf(GeoPoint point) const {
    const QPointF map = ToMap(point);
    // Far outside any picture: kept well inside int, and still outside.
    const auto whole = [](double v) { return int(std::floor(std::clamp(v, -1e9, 1e9))); };
    return {whole(map.x()), whole(map.y())};
}

GeoPoint CGeoReference::GeoOfMapPosition(QPoint position) const {
    return ToGeo(QPointF(position.x() + 0.5, position.y() + 0.5));
}

bool CGeoReference::IsUsablePosition(QPoint position) const {
    return position.x() >= 1 && position.y() >= 1 && position.x() < m_size.width() &&
           position.y() < m_size.height();
}

double CGeoReference::MetresPerPixelAt(double lat) const {
    const double degreesPerPixel = (m_east - m_west) / m_size.width();
    return EARTH_RADIUS * degreesPerPixel * kDegree * std::cos(lat * kDegree);
}

double CGeoReference::NominalMetresPerPixel() const {
    return MetresPerPixelAt((m_north + m_south) / 2);
}

bool CGeoReference::FitsTileGrid(int columns, int rows, int tileEdge) const {
    return tileEdge > 0 && columns == (m_size.width() + tileEdge - 1) / tileEdge &&
           rows == (m_size.height() + tileEdge - 1) / tileEdge;
}

QByteArray GeoReferenceText(const CGeoReference& reference) {
    const auto degrees = [](double v) { return QByteArray::number(v, 'f', 10); };
    return QByteArray(kMagic) + "\nprojection " + ProjectionName(reference.Projection()) +
           "\npicture " + QByteArray::number(reference.PictureSize().width()) + ' ' +
           QByteArray::number(reference.PictureSize().height()) + "\nmetres-per-pixel " +
           QByteArray::number(reference.NominalMetresPerPixel(), 'g', 10) + "\nwest " +
           degrees(reference.West()) + "\neast " + degrees(reference.East()) + "\nnorth " +
           degrees(reference.North()) + "\nsouth " + degrees(reference.South()) + '\n';
}

std::optional<CGeoReference> ParseGeoReference(const QByteArray& text) {
    if (text.size() > kMaxFileBytes)
        return std::nullopt;
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray& line : lines)
        line = line.trimmed(); // also drops the CR of CR LF
    lines.removeIf([](const QByteArray& line) { return line.isEmpty() || line.startsWith('#'); });
    if (lines.isEmpty() || lines.front() != kMagic)
        return std::nullopt;

    const char* const keys[] = {"projection", "picture", "metres-per-pixel", "west", "east",
                                "north",      "south"};
    QByteArray values[std::size(keys)];
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype space = lines[i].indexOf(' ');
        const QByteArray key = lines[i].left(space);
        const auto it =
            std::find_if(std::begin(keys), std::end(keys), [&](const char* k) { return key == k; });
        if (space < 0 || it == std::end(keys) || !values[it - std::begin(keys)].isEmpty())
            return std::nullopt;
        values[it - std::begin(keys)] = lines[i].mid(space + 1).trimmed();
    }
    CProjection projection;
    if (values[0] == ProjectionName(CProjection::WebMercator))
        projection = CProjection::WebMercator;
    else if (values[0] == ProjectionName(CProjection::LatLon))
        projection = CProjection::LatLon;
    else
        return std::nullopt;
    const QList<QByteArray> size = values[1].split(' ');
    bool ok = size.size() == 2;
    const int width = ok ? size[0].toInt(&ok) : 0;
    const int height = ok ? size[1].toInt(&ok) : 0;
    double numbers[5] = {};
    for (int i = 0; ok && i < 5; ++i) {
        numbers[i] = values[2 + i].toDouble(&ok);
        ok = ok && std::isfinite(numbers[i]);
    }
    if (!ok)
        return std::nullopt;
    const std::optional<CGeoReference> reference = CGeoReference::FromEdges(
        projection, QSize(width, height), numbers[1], numbers[4], numbers[2], numbers[3]);
    if (!reference ||
        !(std::abs(numbers[0] / reference->NominalMetresPerPixel() - 1) <= kScaleTolerance))
        return std::nullopt;
    return reference;
}

std::optional<CGeoReference> ReadGeoReference(const QString& folder) {
    CFileHandle file =
        OpenFileForRead(JoinDevicePath(folder, QString::fromLatin1(GEO_REFERENCE_FILE)));
    if (!file.IsValid())
        return std::nullopt;
    // One byte more than a file may hold tells a file that is too large.
    QByteArray text(kMaxFileBytes + 1, '\0');
    qsizetype filled = 0;
    for (int64_t got;
         filled < text.size() && (got = file.Read(text.data() + filled, text.size() - filled)) > 0;)
        filled += qsizetype(got);
    text.truncate(filled);
    return ParseGeoReference(text);
}

std::optional<CGeoReference> ParseWorldFile(const QByteArray& text, QSize size, QString& error) {
    const QList<QByteArray> lines = text.simplified().split(' ');
    double v[6] = {};
    bool ok = lines.size() == 6;
    for (int i = 0; ok && i < 6; ++i) {
        v[i] = lines[i].toDouble(&ok);
        ok = ok && std::isfinite(v[i]);
    }
    if (!ok) {
        error = QStringLiteral("the world file does not hold six numbers");
        return std::nullopt;
    }
    const double a = v[0], d = v[1], b = v[2], e = v[3], c = v[4], f = v[5];
    if (d != 0 || b != 0) {
        error = QStringLiteral("the world file describes a rotated picture, which a map cannot be");
        return std::nullopt;
    }
    if (!(a > 0 && e < 0)) {
        error = QStringLiteral("the world file's pixel width must be positive and its pixel "
                               "height negative (north up)");
        return std::nullopt;
    }
    // The outer edges of the picture, in the file's units.
    const double west = c - a / 2, north = f - e / 2;
    const double east = west + a * size.width(), south = north + e * size.height();
    const bool degrees = std::abs(c) <= 180 && std::abs(f) <= 90 && a < 1 && -e < 1;
    std::optional<CGeoReference> reference =
        degrees ? CGeoReference::FromEdges(CProjection::LatLon, size, west, south, east, north)
                : CGeoReference::FromEdges(CProjection::WebMercator, size, MercatorLongitude(west),
                                           MercatorLatitude(south), MercatorLongitude(east),
                                           MercatorLatitude(north));
    if (!reference)
        error = QStringLiteral("the world file puts the picture outside the globe");
    return reference;
}
