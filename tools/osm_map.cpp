// Reading an OpenStreetMap extract. The file is read in two streaming passes
// with libosmium: the first collects the multipolygon relations, the second
// reads nodes, ways and relations in file order, keeping only the location
// of each node (16 bytes a node) and turning every way and area of interest
// at once into projected, clipped, compact drawing features. No OSM object is
// kept beyond the pass; what stays is the drawing and, for named highways,
// their node ids to join the stretches of a street.

#include "osm_map.h"

#include "gazetteer/index_search.h"

#include <osmium/area/assembler.hpp>
#include <osmium/area/multipolygon_manager.hpp>
#include <osmium/handler.hpp>
#include <osmium/handler/node_locations_for_ways.hpp>
#include <osmium/index/map/flex_mem.hpp>
#include <osmium/io/any_input.hpp>
#include <osmium/io/compression.hpp>
#include <osmium/io/detail/read_write.hpp>
#include <osmium/relations/relations_manager.hpp>
#include <osmium/tags/tags_filter.hpp>
#include <osmium/visitor.hpp>

#include <QFileInfo>
#include <QFontMetricsF>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <exception>
#include <map>
#include <numeric>
#include <thread>
#include <unordered_map>

bool ParseGeoBox(const QString& text, GeoBox& box, QString& error) {
    const QStringList parts = text.split(QLatin1Char(','));
    double v[4] = {};
    bool ok = parts.size() == 4;
    for (int i = 0; ok && i < 4; ++i)
        v[i] = parts[i].trimmed().toDouble(&ok);
    box = {v[0], v[1], v[2], v[3]};
    if (!ok || !box.Valid()) {
        error = QStringLiteral("--bbox wants WEST,SOUTH,EAST,NORTH in degrees, west < east, "
                               "south < north, latitudes within 85 degrees (got \"%1\")")
                    .arg(text);
        return false;
    }
    return true;
}

CMercatorProjection::CMercatorProjection(const GeoBox& box, double metresPerPixel)
    : m_metresPerPixel(metresPerPixel) {
    const double middle = (box.south + box.north) / 2;
    // A Web Mercator metre is cos(latitude) metres on the ground.
    m_k = std::cos(middle * kPi / 180) / metresPerPixel;
    m_x0 = MercatorX(box.west) - OSM_MARGIN / m_k;
    m_y0 = MercatorY(box.north) + OSM_MARGIN / m_k;
    m_width = std::ceil((MercatorX(box.east) - MercatorX(box.west)) * m_k) + 2 * OSM_MARGIN;
    m_height = std::ceil((MercatorY(box.north) - MercatorY(box.south)) * m_k) + 2 * OSM_MARGIN;
}

QPointF CMercatorProjection::ToPixel(double lon, double lat) const {
    return {(MercatorX(lon) - m_x0) * m_k, (m_y0 - MercatorY(lat)) * m_k};
}

std::optional<CGeoReference> CMercatorProjection::GeoReference() const {
    return CGeoReference::FromEdges(
        CProjection::WebMercator, QSize(int(m_width), int(m_height)), MercatorLongitude(m_x0),
        MercatorLatitude(m_y0 - m_height / m_k), MercatorLongitude(m_x0 + m_width / m_k),
        MercatorLatitude(m_y0));
}

MapCalibration CMercatorProjection::Calibration() const {
    MapCalibration c;
    c.nWest = int(std::lround(m_x0));
    c.nEast = int(std::lround(m_x0 + m_width / m_k));
    c.nNorth = int(std::lround(m_y0));
    c.nSouth = int(std::lround(m_y0 - m_height / m_k));
    c.nScale = int(std::lround(m_metresPerPixel / READOUT_METRES_PER_SCALE_UNIT));
    return c;
}

namespace {

// --- Clipping to the drawn rectangle ----------------------------------------

// Keeps the parts of a polyline inside r, each a separate run.
void ClipPolyline(const QPolygonF& in, const QRectF& r, std::vector<QPolygonF>& out) {
    ForEachRunInside(in, r, [&](QPolygonF&& run, double) {
        out.push_back(std::move(run));
        out.back().squeeze(); // kept for the whole run: no spare capacity
    });
}

// A ring cut to r (Sutherland-Hodgman; r is convex, so the result is the
// ring's part inside r, with stretches along r's edges where it left r).
QPolygonF ClipRing(const QPolygonF& ring, const QRectF& r) {
    QPolygonF poly = ring;
    for (int edge = 0; edge < 4 && !poly.isEmpty(); ++edge) {
        auto inside = [&](QPointF p) {
            switch (edge) {
            case 0:
                return p.x() >= r.left();
            case 1:
                return p.x() <= r.right();
            case 2:
                return p.y() >= r.top();
            default:
                return p.y() <= r.bottom();
            }
        };
        auto cross = [&](QPointF a, QPointF b) {
            double t;
            switch (edge) {
            case 0:
                t = (r.left() - a.x()) / (b.x() - a.x());
                break;
            case 1:
                t = (r.right() - a.x()) / (b.x() - a.x());
                break;
            case 2:
                t = (r.top() - a.y()) / (b.y() - a.y());
                break;
            default:
                t = (r.bottom() - a.y()) / (b.y() - a.y());
                break;
            }
            return a + (b - a) * t;
        };
        QPolygonF out;
        for (int i = 0; i < poly.size(); ++i) {
            const QPointF cur = poly[i], prev = poly[(i + poly.size() - 1) % poly.size()];
            if (inside(cur)) {
                if (!inside(prev))
                    out << cross(prev, cur);
                out << cur;
            } else if (inside(prev)) {
                out << cross(prev, cur);
            }
        }
        poly = out;
    }
    return poly.size() >= 3 ? poly : QPolygonF();
}

// --- Tags ----------------------------------------------------------------------

QString Tag(const osmium::TagList& tags, const char* key) {
    const char* v = tags.get_value_by_key(key);
    return v ? QString::fromUtf8(v) : QString();
}

bool Is(const osmium::TagList& tags, const char* key, std::initializer_list<const char*> values) {
    const char* v = tags.get_value_by_key(key);
    if (!v)
        return false;
    return std::any_of(values.begin(), values.end(),
                       [&](const char* x) { return std::strcmp(v, x) == 0; });
}

// A name as a record can hold it: IndexText, cut (on a character, the code
// page has one byte each) until its stored form, which may gain a '!' before
// a word in capitals, fits the name field. One long name never refuses a map.
QString RecordName(const QString& text) {
    QString name = IndexText(text);
    while (!name.isEmpty() && StoredNameBytes(name).size() > MAX_INDEX_FIELD_BYTES)
        name = name.chopped(1).trimmed();
    return name;
}

// "place_of_worship" -> "Place of worship".
QString Kind(const char* value) {
    QString kind = QString::fromUtf8(value).replace(QLatin1Char('_'), QLatin1Char(' '));
    if (!kind.isEmpty())
        kind[0] = kind[0].toUpper();
    return IndexText(kind);
}

std::optional<RoadKind> RoadOf(const osmium::TagList& tags) {
    const char* h = tags.get_value_by_key("highway");
    if (!h)
        return std::nullopt;
    const std::string v(h);
    auto in = [&](std::initializer_list<const char*> l) {
        return std::any_of(l.begin(), l.end(), [&](const char* x) { return v == x; });
    };
    if (in({"motorway", "motorway_link", "trunk", "trunk_link", "primary", "primary_link"}))
        return RoadKind::Main;
    if (in({"secondary", "secondary_link", "tertiary", "tertiary_link"}))
        return RoadKind::Ring;
    if (in({"residential", "unclassified", "living_street", "road", "pedestrian", "busway"}))
        return RoadKind::Minor;
    if (v == "service")
        return RoadKind::Service;
    if (v == "track")
        return RoadKind::Lane;
    if (in({"footway", "path", "cycleway", "bridleway", "steps", "corridor"}))
        return RoadKind::Path;
    return std::nullopt;
}

std::optional<AreaKind> AreaOf(const osmium::TagList& tags) {
    if (Is(tags, "amenity", {"hospital"}) || Is(tags, "building", {"hospital"}))
        return AreaKind::Hospital;
    if (const char* b = tags.get_value_by_key("building"); b && std::strcmp(b, "no") != 0)
        return AreaKind::Building;
    if (Is(tags, "natural", {"water", "bay"}) || tags.has_key("water") ||
        Is(tags, "waterway", {"riverbank", "dock"}) || Is(tags, "landuse", {"reservoir", "basin"}))
        return AreaKind::Water;
    if (Is(tags, "landuse", {"forest"}) || Is(tags, "natural", {"wood"}))
        return AreaKind::Wood;
    if (Is(tags, "leisure",
           {"park", "garden", "playground", "pitch", "recreation_ground", "golf_course",
            "nature_reserve", "common", "dog_park"}) ||
        Is(tags, "landuse",
           {"grass", "recreation_ground", "village_green", "meadow", "cemetery", "allotments"}) ||
        Is(tags, "natural", {"grassland", "heath", "scrub"}) || Is(tags, "amenity", {"grave_yard"}))
        return AreaKind::Park;
    if (Is(tags, "natural", {"beach", "sand"}))
        return AreaKind::Sand;
    if (Is(tags, "landuse",
           {"farmland", "farmyard", "orchard", "vineyard", "greenhouse_horticulture"}))
        return AreaKind::Field;
    if (Is(tags, "landuse",
           {"residential", "commercial", "retail", "industrial", "brownfield", "railway",
            "construction", "garages"}))
        return AreaKind::Urban;
    return std::nullopt;
}

// The point of interest a feature is, if any.
std::optional<PoiKind> PoiOf(const osmium::TagList& tags) {
    if (const char* a = tags.get_value_by_key("amenity")) {
        static const std::pair<const char*, PoiKind> amenities[] = {
            {"cafe", PoiKind::Cafe},
            {"restaurant", PoiKind::Restaurant},
            {"fast_food", PoiKind::Restaurant},
            {"pub", PoiKind::Pub},
            {"bar", PoiKind::Pub},
            {"biergarten", PoiKind::Pub},
            {"pharmacy", PoiKind::Pharmacy},
            {"doctors", PoiKind::Doctor},
            {"dentist", PoiKind::Doctor},
            {"bank", PoiKind::Bank},
            {"atm", PoiKind::Atm},
            {"fuel", PoiKind::Fuel},
            {"parking", PoiKind::Parking},
            {"toilets", PoiKind::Toilets},
            {"post_office", PoiKind::PostOffice},
            {"post_box", PoiKind::PostBox},
            {"school", PoiKind::School},
            {"place_of_worship", PoiKind::Worship},
        };
        for (const auto& [value, kind] : amenities)
            if (std::strcmp(a, value) == 0)
                return kind;
    }
    if (Is(tags, "shop", {"supermarket"}))
        return PoiKind::Supermarket;
    if (tags.has_key("shop") && !Is(tags, "shop", {"no", "vacant"}))
        return PoiKind::Shop;
    if (Is(tags, "highway", {"bus_stop"}) ||
        (Is(tags, "public_transport", {"platform"}) && Is(tags, "bus", {"yes"})))
        return PoiKind::BusStop;
    if (Is(tags, "railway", {"tram_stop"}))
        return PoiKind::TramStop;
    if (Is(tags, "tourism", {"hotel", "motel", "guest_house", "hostel"}))
        return PoiKind::Hotel;
    if (Is(tags, "healthcare", {"pharmacy"}))
        return PoiKind::Pharmacy;
    if (Is(tags, "healthcare", {"doctor"}))
        return PoiKind::Doctor;
    return std::nullopt;
}

// A point of interest: its symbol, and its name beside it where there is room.
struct PoiPoint {
    PoiKind kind;
    QPointF at;
    QString name;
};

// A house number and the street (or place) it belongs to.
struct AddressPoint {
    QString street, number, postcode, spelling;
    QPointF at;
};

// A named feature for the gazetteer and the labels.
struct NamedPoint {
    QString category, name, extra1;
    QPointF at;
    int rank = 0;     // label order: lower first
    QString spelling; // the name as written in the extract
};

// One named highway: its node ids (to join stretches) and its drawn runs.
struct StreetWay {
    QString name, postcode;
    RoadKind road;
    std::vector<osmium::object_id_type> nodes;
    std::vector<QPolygonF> runs; // clipped to the picture
    QString spelling;            // the name as written in the extract
};

// The place kinds of the Towns gazetteer, most important first.
const char* const kPlaceKinds[] = {"city", "town", "village", "suburb", "neighbourhood", "hamlet"};

class CFeatureHandler : public osmium::handler::Handler {
public:
    CFeatureHandler(const CMercatorProjection& projection, OsmMap& map)
        : m_projection(projection), m_map(map),
          m_picture(0, 0, projection.Width(), projection.Height()),
          m_clip(m_picture.adjusted(-40, -40, 40, 40)) {}

    void node(const osmium::Node& node) {
        ++m_nodes;
        if (node.tags().empty() || !node.location().valid())
            return;
        const QPointF at = m_projection.ToPixel(node.location().lon(), node.location().lat());
        PointFeature(node.tags(), at);
        NamedFeature(node.tags(), at);
    }

    void way(const osmium::Way& way) {
        ++m_ways;
        const osmium::TagList& tags = way.tags();
        // A way without nodes has no ends to compare nor anything to draw.
        if (tags.empty() || way.nodes().empty())
            return;
        const auto road = RoadOf(tags);
        const bool area = way.is_closed() && Is(tags, "area", {"yes"});
        const bool tunnel = tags.has_key("tunnel") && !Is(tags, "tunnel", {"no"});
        if (road && !area) {
            std::vector<QPolygonF> runs = Project(way.nodes());
            const bool bridge = tags.has_key("bridge") && !Is(tags, "bridge", {"no"});
            const LineKind kind = tunnel                              ? LineKind::Tunnel
                                  : Is(tags, "highway", {"cycleway"}) ? LineKind::Cycleway
                                                                      : LineKind::Road;
            // Arrows along a one-way street (against the way for "-1").
            const bool reverse = Is(tags, "oneway", {"-1"});
            const bool oneWay =
                *road > RoadKind::Path &&
                (reverse || Is(tags, "oneway", {"yes", "1", "true"}) ||
                 (Is(tags, "junction", {"roundabout"}) && !Is(tags, "oneway", {"no"})));
            const QString ref = IndexText(Tag(tags, "ref"));
            for (const QPolygonF& run : runs) {
                if (bridge)
                    m_map.scene.AddLine(LineKind::Bridge, run, *road);
                m_map.scene.AddLine(kind, run, *road);
                const CPath path(run);
                for (double s = 40; oneWay && s < path.Length() - 20; s += 110)
                    m_map.scene.AddPoint(PointKind::OneWay, path.At(s),
                                         WrapAngle(path.AngleAt(s) + (reverse ? kPi : 0)));
                if (!ref.isEmpty() && *road >= RoadKind::Minor)
                    m_refs.push_back({ref, path});
            }
            const QString name = RecordName(Tag(tags, "name"));
            if (!name.isEmpty() && !runs.empty()) {
                StreetWay street{name, IndexText(Tag(tags, "addr:postcode")), *road, {},
                                 runs, IndexSpelling(Tag(tags, "name"))};
                if (street.postcode.isEmpty())
                    street.postcode = IndexText(Tag(tags, "postal_code"));
                street.nodes.reserve(way.nodes().size());
                for (const osmium::NodeRef& n : way.nodes())
                    street.nodes.push_back(n.ref());
                m_streets.push_back(std::move(street));
            }
            return;
        }
        if (!tunnel && Is(tags, "railway",
                          {"rail", "light_rail", "narrow_gauge", "preserved", "monorail", "subway",
                           "funicular"})) {
            for (QPolygonF& run : Project(way.nodes()))
                m_map.scene.AddLine(LineKind::Rail, std::move(run));
        } else if (!tunnel && Is(tags, "railway", {"tram"})) {
            for (QPolygonF& run : Project(way.nodes()))
                m_map.scene.AddLine(LineKind::Tram, std::move(run));
        } else if (const char* w = tags.get_value_by_key("waterway");
                   w && !tunnel && !way.is_closed()) {
            const double width = std::strcmp(w, "river") == 0               ? 12
                                 : std::strcmp(w, "canal") == 0             ? 9
                                 : std::strcmp(w, "stream") == 0            ? 3
                                 : Is(tags, "waterway", {"ditch", "drain"}) ? 2
                                                                            : 0;
            if (width == 0)
                return;
            std::vector<QPolygonF> runs = Project(way.nodes());
            const QString name = IndexText(Tag(tags, "name"));
            for (QPolygonF& run : runs) {
                if (!name.isEmpty() && width >= 9)
                    m_waterNames.push_back({name, CPath(run)});
                m_map.scene.AddLine(LineKind::Waterway, std::move(run), RoadKind::Minor, width);
            }
        }
    }

    void relation(const osmium::Relation&) { ++m_relations; }

    void area(const osmium::Area& area) {
        const osmium::TagList& tags = area.tags();
        const auto kind = AreaOf(tags);
        std::vector<QPolygonF> rings;
        QRectF bounds;
        for (const osmium::OuterRing& outer : area.outer_rings()) {
            if (QPolygonF r = ProjectRing(outer); !r.isEmpty()) {
                bounds |= r.boundingRect();
                rings.push_back(std::move(r));
            }
            for (const osmium::InnerRing& inner : area.inner_rings(outer))
                if (QPolygonF r = ProjectRing(inner); !r.isEmpty())
                    rings.push_back(std::move(r));
        }
        if (rings.empty())
            return;
        if (Is(tags, "boundary", {"administrative"}))
            for (const QPolygonF& ring : rings)
                m_map.scene.AddLine(LineKind::Boundary, QPolygonF(ring) << ring.front());
        if (kind)
            m_map.scene.AddArea(*kind, std::move(rings));
        // Named features mapped as areas are found at the middle of their outline.
        PointFeature(tags, bounds.center());
        NamedFeature(tags, bounds.center(), kind, bounds);
    }

    // After the pass: the gazetteer, the symbols and the labels (the overview
    // levels' labels too when levelLabels).
    void Finish(bool levelLabels);
    size_t Nodes() const { return m_nodes; }
    size_t Ways() const { return m_ways; }
    size_t Relations() const { return m_relations; }
    bool HasContent() const {
        return !m_map.scene.areas.empty() || !m_map.scene.lines.empty() || !m_named.empty() ||
               !m_pois.empty();
    }

private:
    // The runs of a way's nodes inside the clip rectangle; nodes missing from
    // the extract split the way.
    std::vector<QPolygonF> Project(const osmium::WayNodeList& nodes) const {
        std::vector<QPolygonF> out;
        QPolygonF run;
        auto flush = [&]() {
            if (run.size() >= 2)
                ClipPolyline(run, m_clip, out);
            run.clear();
        };
        for (const osmium::NodeRef& n : nodes) {
            if (!n.location().valid()) {
                flush();
                continue;
            }
            const QPointF p = m_projection.ToPixel(n.location().lon(), n.location().lat());
            // Points closer than half a pixel add nothing to the drawing.
            if (!run.isEmpty() && std::abs(p.x() - run.back().x()) < 0.5 &&
                std::abs(p.y() - run.back().y()) < 0.5)
                continue;
            run << p;
        }
        flush();
        return out;
    }

    QPolygonF ProjectRing(const osmium::NodeRefList& ring) const {
        QPolygonF poly;
        poly.reserve(qsizetype(ring.size()));
        for (const osmium::NodeRef& n : ring) {
            if (!n.location().valid())
                continue;
            const QPointF p = m_projection.ToPixel(n.location().lon(), n.location().lat());
            if (!poly.isEmpty() && std::abs(p.x() - poly.back().x()) < 0.5 &&
                std::abs(p.y() - poly.back().y()) < 0.5)
                continue;
            poly << p;
        }
        if (poly.size() < 3)
            return {};
        if (m_picture.contains(poly.boundingRect()))
            return poly;
        return ClipRing(poly, m_clip);
    }

    void NamedFeature(const osmium::TagList& tags, QPointF at,
                      std::optional<AreaKind> areaKind = std::nullopt, QRectF bounds = {});
    // A point of interest's symbol and a house number, named or not.
    void PointFeature(const osmium::TagList& tags, QPointF at);
    // The names of points of interest, then house numbers, where there is
    // room; the addresses go into their gazetteer.
    void PlacePoiLabels(CLabeller& labeller);
    // A point of the gazetteer: p moved inside the picture, a pixel off its edges.
    QPoint ClampToPicture(QPointF p) const;
    // Streets: the named ways of one name that share a node form one
    // stretch, found at the middle of its longest part on the picture.
    void AddStreetsToGazetteer();
    // Stations, turned along the nearest track, and hospitals.
    void AddSymbols();
    // Symbols are kept clear; then stations, hospitals, places, water, parks
    // and woods are named.
    void PlaceLabels(CLabeller& labeller);
    // Every run of every named way, main roads first, longer first.
    void PlaceStreetLabels(CLabeller& labeller);

    const CMercatorProjection& m_projection;
    OsmMap& m_map;
    QRectF m_picture, m_clip;
    size_t m_nodes = 0, m_ways = 0, m_relations = 0;
    std::vector<NamedPoint> m_named;
    std::vector<StreetWay> m_streets;
    std::vector<std::pair<QString, CPath>> m_waterNames;
    std::vector<std::pair<QString, CPath>> m_refs; // road numbers along their runs
    struct AreaName {
        QString name;
        QRectF bounds;
        bool water;
    };
    std::vector<AreaName> m_areaNames;
    std::vector<PoiPoint> m_pois;
    std::vector<AddressPoint> m_addresses;
};

void CFeatureHandler::PointFeature(const osmium::TagList& tags, QPointF at) {
    if (!m_picture.adjusted(2, 2, -2, -2).contains(at))
        return;
    if (const std::optional<PoiKind> kind = PoiOf(tags))
        m_pois.push_back({*kind, at, IndexText(Tag(tags, "name"))});
    const QString number = Tag(tags, "addr:housenumber").simplified();
    if (number.isEmpty())
        return;
    QString street = Tag(tags, "addr:street").simplified();
    if (street.isEmpty())
        street = Tag(tags, "addr:place").simplified();
    m_addresses.push_back({IndexText(street), IndexText(number),
                           IndexText(Tag(tags, "addr:postcode")),
                           IndexSpelling(street + u' ' + number), at});
}

void CFeatureHandler::NamedFeature(const osmium::TagList& tags, QPointF at,
                                   std::optional<AreaKind> areaKind, QRectF bounds) {
    const QString name = RecordName(Tag(tags, "name"));
    if (name.isEmpty())
        return;
    const QString spelling = IndexSpelling(Tag(tags, "name"));
    const bool onPicture = at.x() >= 1 && at.y() >= 1 && at.x() < m_picture.width() - 1 &&
                           at.y() < m_picture.height() - 1;
    if (areaKind && (*areaKind == AreaKind::Water || *areaKind == AreaKind::Park ||
                     *areaKind == AreaKind::Wood))
        m_areaNames.push_back({name, bounds, *areaKind == AreaKind::Water});
    if (!onPicture)
        return;
    // Towns.
    if (const char* place = tags.get_value_by_key("place")) {
        for (size_t i = 0; i < std::size(kPlaceKinds); ++i)
            if (std::strcmp(place, kPlaceKinds[i]) == 0) {
                m_named.push_back(
                    {QStringLiteral("Towns"), name, Kind(place), at, int(i), spelling});
                return;
            }
    }
    // An administrative area is named like a place of its size, where no
    // place of that name is (see Finish).
    if (Is(tags, "boundary", {"administrative"})) {
        const int level = QString::fromUtf8(tags.get_value_by_key("admin_level", "8")).toInt();
        m_named.push_back({QStringLiteral("Towns"), name, QStringLiteral("Area"), at,
                           level <= 4   ? 0
                           : level <= 6 ? 1
                           : level <= 8 ? 2
                                        : 4,
                           spelling});
        return;
    }
    // Stations.
    const char* railway = tags.get_value_by_key("railway");
    QString station;
    if (Is(tags, "station", {"subway"}) ||
        (Is(tags, "railway", {"station"}) && Is(tags, "subway", {"yes"})))
        station = QStringLiteral("Subway station");
    else if (Is(tags, "station", {"light_rail"}))
        station = QStringLiteral("Light rail station");
    else if (railway && std::strcmp(railway, "station") == 0)
        station = QStringLiteral("Railway station");
    else if (railway && std::strcmp(railway, "halt") == 0)
        station = QStringLiteral("Halt");
    else if ((railway && std::strcmp(railway, "tram_stop") == 0) ||
             (Is(tags, "public_transport", {"stop_position", "platform"}) &&
              Is(tags, "tram", {"yes"})))
        station = QStringLiteral("Tram stop");
    else if (Is(tags, "public_transport", {"stop_position", "platform", "station"}) &&
             Is(tags, "subway", {"yes"}))
        station = QStringLiteral("Subway stop");
    else if (Is(tags, "public_transport", {"station"}) && Is(tags, "train", {"yes"}))
        station = QStringLiteral("Railway station");
    if (!station.isEmpty()) {
        m_named.push_back({QStringLiteral("Stations"), name, station, at, 10, spelling});
        return;
    }
    // Hospitals and clinics.
    if (Is(tags, "amenity", {"hospital", "clinic"}) ||
        Is(tags, "healthcare", {"hospital", "clinic"})) {
        QString phone = IndexText(Tag(tags, "phone"));
        if (phone.isEmpty())
            phone = IndexText(Tag(tags, "contact:phone"));
        m_named.push_back({QStringLiteral("Hospitals"), name, phone, at, 11, spelling});
        return;
    }
    if (Is(tags, "highway", {"bus_stop"})) {
        m_named.push_back(
            {QStringLiteral("Places"), name, QStringLiteral("Bus stop"), at, 20, spelling});
        return;
    }
    // Amenities, shops, leisure and tourism.
    for (const char* key : {"amenity", "shop", "leisure", "tourism"})
        if (const char* v = tags.get_value_by_key(key)) {
            m_named.push_back({QStringLiteral("Places"), name, Kind(v), at, 20, spelling});
            return;
        }
}

void CFeatureHandler::Finish(bool levelLabels) {
    // An area's name where a place of that name is already named is left out.
    QSet<QString> placeNames;
    for (const NamedPoint& n : m_named)
        if (n.category == QLatin1String("Towns") && n.extra1 != QLatin1String("Area"))
            placeNames.insert(n.name);
    std::erase_if(m_named, [&](const NamedPoint& n) {
        return n.extra1 == QLatin1String("Area") && placeNames.contains(n.name);
    });
    AddStreetsToGazetteer();
    std::stable_sort(m_named.begin(), m_named.end(),
                     [](const NamedPoint& a, const NamedPoint& b) { return a.rank < b.rank; });
    for (const NamedPoint& n : m_named) {
        const QPoint p = ClampToPicture(n.at);
        m_map.places.push_back(
            {n.category, n.name, n.extra1, QString(), p.x(), p.y(), 0, n.spelling});
    }
    AddSymbols();
    CLabeller labeller(m_map.scene);
    PlaceLabels(labeller);
    PlaceStreetLabels(labeller);
    PlacePoiLabels(labeller);
    if (levelLabels)
        PlaceLevelLabels(m_map.scene);
}

QPoint CFeatureHandler::ClampToPicture(QPointF p) const {
    return QPoint(std::clamp(int(p.x()), 1, int(m_projection.Width()) - 1),
                  std::clamp(int(p.y()), 1, int(m_projection.Height()) - 1));
}

void CFeatureHandler::AddStreetsToGazetteer() {
    std::map<QString, std::vector<size_t>> byName;
    for (size_t i = 0; i < m_streets.size(); ++i)
        byName[m_streets[i].name].push_back(i);
    for (const auto& [name, ways] : byName) {
        std::vector<size_t> parent(ways.size());
        std::iota(parent.begin(), parent.end(), 0);
        auto find = [&](size_t i) {
            while (parent[i] != i)
                i = parent[i] = parent[parent[i]];
            return i;
        };
        std::unordered_map<osmium::object_id_type, size_t> owner;
        for (size_t k = 0; k < ways.size(); ++k)
            for (osmium::object_id_type id : m_streets[ways[k]].nodes) {
                const auto [it, fresh] = owner.emplace(id, k);
                if (!fresh)
                    parent[find(k)] = find(it->second);
            }
        // Per stretch, the longest drawn run and the first postcode.
        std::map<size_t, std::pair<const QPolygonF*, double>> longest;
        std::map<size_t, QString> postcode;
        for (size_t k = 0; k < ways.size(); ++k) {
            const StreetWay& way = m_streets[ways[k]];
            const size_t root = find(k);
            if (postcode[root].isEmpty())
                postcode[root] = way.postcode;
            for (const QPolygonF& run : way.runs) {
                // Only the part on the picture counts.
                std::vector<QPolygonF> onPicture;
                ClipPolyline(run, m_picture.adjusted(2, 2, -2, -2), onPicture);
                for (const QPolygonF& part : onPicture) {
                    const double length = CPath(part).Length();
                    auto& best = longest[root];
                    if (!best.first || length > best.second)
                        best = {&run, length};
                }
            }
        }
        for (const auto& [root, best] : longest) {
            std::vector<QPolygonF> onPicture;
            ClipPolyline(*best.first, m_picture.adjusted(2, 2, -2, -2), onPicture);
            const QPolygonF* part = nullptr;
            double length = -1;
            for (const QPolygonF& p : onPicture)
                if (CPath(p).Length() > length) {
                    length = CPath(p).Length();
                    part = &p;
                }
            if (!part)
                continue;
            const CPath path(*part);
            const QPoint p = ClampToPicture(path.At(path.Length() / 2));
            m_map.places.push_back({QStringLiteral("Streets"), name, postcode[root], QString(),
                                    p.x(), p.y(), 0, m_streets[ways[root]].spelling});
        }
    }
}

void CFeatureHandler::AddSymbols() {
    MapScene& scene = m_map.scene;
    for (const NamedPoint& n : m_named) {
        if (n.category == QLatin1String("Stations")) {
            double best = 40 * 40, angle = 0;
            for (const MapLine& l : scene.lines) {
                if ((l.kind != LineKind::Rail && l.kind != LineKind::Tram) ||
                    !l.bounds.adjusted(-40, -40, 40, 40).contains(n.at))
                    continue;
                for (int i = 0; i + 1 < l.points.size(); ++i) {
                    const QPointF a = l.points[i], d = l.points[i + 1] - a;
                    const double len2 = QPointF::dotProduct(d, d);
                    const double t =
                        len2 > 0 ? std::clamp(QPointF::dotProduct(n.at - a, d) / len2, 0.0, 1.0)
                                 : 0;
                    const QPointF q = a + d * t - n.at;
                    if (QPointF::dotProduct(q, q) < best) {
                        best = QPointF::dotProduct(q, q);
                        angle = std::atan2(d.y(), d.x());
                    }
                }
            }
            scene.AddPoint(PointKind::Station, n.at, angle);
        } else if (n.category == QLatin1String("Hospitals")) {
            scene.AddPoint(PointKind::Hospital, n.at);
        }
    }
    // Points of interest: one symbol where several would overlap, named ones
    // first.
    CLabelSpace taken(scene.width, scene.height);
    for (const MapPoint& pt : scene.points)
        if (pt.kind != PointKind::OneWay)
            taken.Take(pt.at, 12, 9, pt.angle);
    std::stable_partition(m_pois.begin(), m_pois.end(),
                          [](const PoiPoint& p) { return !p.name.isEmpty(); });
    std::vector<PoiPoint> drawn;
    for (const PoiPoint& poi : m_pois)
        if (taken.Free(poi.at, 7, 7, 0)) {
            taken.Take(poi.at, 7, 7, 0);
            scene.AddPoint(PointKind::Poi, poi.at, 0, poi.kind);
            drawn.push_back(poi);
        }
    m_pois = std::move(drawn);
}

void CFeatureHandler::PlacePoiLabels(CLabeller& labeller) {
    for (const PoiPoint& poi : m_pois)
        if (!poi.name.isEmpty())
            labeller.TryBoxLabel(poi.at, poi.name, LabelStyleOf(LabelKind::Poi), 10);
    const LabelStyle& number = LabelStyleOf(LabelKind::HouseNumber);
    // A house often carries its address twice, on a point at the door and on
    // the building's outline: one entry and one label for those within
    // kSameHouseMetres of each other.
    constexpr double kSameHouseMetres = 60;
    const double sameHouse = kSameHouseMetres / m_projection.MetresPerPixel();
    std::unordered_map<QString, std::vector<QPointF>> seen;
    for (const AddressPoint& a : m_addresses) {
        std::vector<QPointF>& doors = seen[a.street + u'|' + a.number + u'|' + a.postcode];
        if (std::any_of(doors.begin(), doors.end(),
                        [&](const QPointF& d) { return QLineF(d, a.at).length() < sameHouse; }))
            continue;
        doors.push_back(a.at);
        labeller.TryBoxLabel(a.at, a.number, number, 0);
        if (a.street.isEmpty())
            continue;
        const QPoint p = ClampToPicture(a.at);
        m_map.places.push_back({QStringLiteral("Addresses"), a.street + u' ' + a.number, a.postcode,
                                QString(), p.x(), p.y(), 0, a.spelling});
    }
}

void CFeatureHandler::PlaceLabels(CLabeller& labeller) {
    // Names keep off the symbols; one-way arrows are many and small enough
    // to be covered now and then.
    for (const MapPoint& pt : m_map.scene.points)
        if (pt.kind == PointKind::Poi)
            labeller.Space().Take(pt.at, 7, 7, 0);
        else if (pt.kind != PointKind::OneWay)
            labeller.Space().Take(pt.at, 12, 9, pt.angle);
    // Nor does a name cover the spot of the road that a search shows.
    for (const PlaceRecord& p : m_map.places)
        if (p.category == QLatin1String("Streets"))
            labeller.Space().Take(QPointF(p.x, p.y), 4, 4, 0);
    std::vector<LevelLabel>& level = m_map.scene.levelLabels;
    for (const NamedPoint& n : m_named) {
        if (n.category == QLatin1String("Stations")) {
            labeller.TryBoxLabel(n.at, n.name, LabelStyleOf(LabelKind::Station), 14);
            level.push_back({LabelKind::Station, 0, n.name, n.at, 14});
        } else if (n.category == QLatin1String("Hospitals")) {
            labeller.TryBoxLabel(n.at, n.name, LabelStyleOf(LabelKind::Hospital), 12);
            level.push_back({LabelKind::Hospital, 0, n.name, n.at, 12});
        }
    }
    for (const NamedPoint& n : m_named)
        if (n.category == QLatin1String("Towns")) {
            labeller.TryBoxLabel(n.at, n.name, TownLabelStyle(n.rank), 0);
            level.push_back({LabelKind::Town, n.rank, n.name, n.at});
        }
    for (const auto& [name, path] : m_waterNames) {
        for (double s = path.Length() / 2; s < path.Length(); s += 900)
            labeller.TryPathLabel(path, s, name, LabelStyleOf(LabelKind::River));
        level.push_back({LabelKind::River, 0, name, {}, 0, {}, path.Points()});
    }
    // Woods are named in the colour of parks.
    for (const AreaName& a : m_areaNames) {
        const LabelKind kind = a.water ? LabelKind::Water : LabelKind::Park;
        const LabelStyle& style = LabelStyleOf(kind);
        if (QFontMetricsF(style.font).horizontalAdvance(a.name) < a.bounds.width() &&
            a.bounds.height() > 20)
            labeller.TryBoxLabel(a.bounds.center(), a.name, style, 0);
        level.push_back({kind, 0, a.name, a.bounds.center(), 0, a.bounds.size()});
    }
}

void CFeatureHandler::PlaceStreetLabels(CLabeller& labeller) {
    // A name is repeated only some way off its other labels.
    struct Run {
        const StreetWay* way;
        CPath path;
    };
    std::vector<Run> runs;
    for (const StreetWay& way : m_streets)
        for (const QPolygonF& run : way.runs)
            runs.push_back({&way, CPath(run)});
    std::stable_sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) {
        if (a.way->road != b.way->road)
            return a.way->road > b.way->road;
        return a.path.Length() > b.path.Length();
    });
    std::map<QString, std::vector<QPointF>> placed;
    for (const Run& run : runs) {
        const LabelStyle& style = LabelStyleOf(StreetLabelOf(run.way->road));
        m_map.scene.levelLabels.push_back({StreetLabelOf(run.way->road),
                                           int(run.way->road),
                                           run.way->name,
                                           {},
                                           0,
                                           {},
                                           run.path.Points()});
        const double length = run.path.Length();
        std::vector<QPointF>& done = placed[run.way->name];
        for (double s0 = length / 2, d = 0; d < length / 2; d += 22) {
            for (double s : {s0 - d, s0 + d}) {
                const QPointF at = run.path.At(s);
                if (!m_picture.contains(at) ||
                    std::any_of(done.begin(), done.end(),
                                [&](QPointF q) { return QLineF(q, at).length() < 400; }))
                    continue;
                if (labeller.TryPathLabel(run.path, s, run.way->name, style))
                    done.push_back(at);
            }
        }
    }
    // Road numbers in shields on their road, repeated as names are.
    std::map<QString, std::vector<QPointF>> shields;
    const LabelStyle& shield = LabelStyleOf(LabelKind::Shield);
    for (const auto& [ref, path] : m_refs) {
        std::vector<QPointF>& done = shields[ref];
        for (double s = path.Length() / 3; s < path.Length(); s += 120) {
            const QPointF at = path.At(s);
            if (!m_picture.adjusted(10, 10, -10, -10).contains(at) ||
                std::any_of(done.begin(), done.end(),
                            [&](QPointF q) { return QLineF(q, at).length() < 500; }))
                continue;
            if (labeller.TryBoxLabel(at, ref, shield, 0)) {
                done.push_back(at);
                m_map.scene.levelLabels.push_back({LabelKind::Shield, 0, ref, at});
            }
        }
    }
}

} // namespace

namespace {

void Report(const OsmProgress& progress, const QString& step, int percent) {
    if (progress)
        progress(step, percent);
}

// libosmium reads a coordinate written with an exponent ("-0.0931e3005") into
// a 64-bit integer that overflows, and the result (often 0) looks like a
// valid location. So an extract is first read through, as the XML parser
// will see it, for the values of attributes whose names end in lat or lon
// (minlat, max_lon and the like), spaces around '=' allowed; one that holds
// an exponent or a character reference (which could spell one) refuses the
// file. Plain decimals out of range come out as invalid locations, which are
// never used. Only XML and PBF are read; PBF stores coordinates as integers.
// False, with error, for a refused file. Throws what libosmium throws.
bool CheckCoordinates(const osmium::io::File& file, const QString& name, QString& error) {
    if (file.format() == osmium::io::file_format::pbf)
        return true;
    if (file.format() != osmium::io::file_format::xml) {
        error = QStringLiteral("the extract %1 is neither XML (.osm) nor PBF (.osm.pbf)").arg(name);
        return false;
    }
    const auto decompressor = osmium::io::CompressionFactory::instance().create_decompressor(
        file.compression(), osmium::io::detail::open_for_reading(file.filename()));
    auto nameChar = [](unsigned char c) {
        return std::isalnum(c) || c == '_' || c == '-' || c == ':' || c == '.' || c >= 0x80;
    };
    enum { kText, kAfterEquals, kValue } state = kText;
    uint32_t last = 0;       // the last three characters of the last name, packed
    bool spaceAfter = false; // white space since that name's last character
    bool coordinate = false; // the '=' or value follows a lat or lon name
    char quote = 0;          // the value's quote character
    std::string value;       // the start of a coordinate's value, for the message
    bool bad = false;        // that value holds 'e', 'E' or '&'
    for (std::string chunk = decompressor->read(); !chunk.empty(); chunk = decompressor->read()) {
        for (const char ch : chunk) {
            const unsigned char c = static_cast<unsigned char>(ch);
            const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
            switch (state) {
            case kText:
                if (space) {
                    spaceAfter = true;
                } else if (ch == '=') {
                    coordinate = last == (('l' << 16) | ('a' << 8) | 't') ||
                                 last == (('l' << 16) | ('o' << 8) | 'n');
                    state = kAfterEquals;
                } else if (nameChar(c)) {
                    last = ((spaceAfter ? 0 : last << 8) | c) & 0xffffff;
                    spaceAfter = false;
                } else {
                    last = 0;
                }
                break;
            case kAfterEquals:
                if (space)
                    break;
                if (ch == '"' || ch == '\'') {
                    quote = ch;
                    value.clear();
                    bad = false;
                    state = kValue;
                } else {
                    state = kText;
                }
                last = 0;
                break;
            case kValue:
                if (ch == quote) {
                    if (coordinate && bad) {
                        error = QStringLiteral("the extract %1 holds a coordinate written with an "
                                               "exponent or a character reference (%2), which "
                                               "cannot be read safely")
                                    .arg(name, QString::fromLatin1(value.data(),
                                                                   qsizetype(value.size())));
                        decompressor->close();
                        return false;
                    }
                    state = kText;
                } else if (coordinate) {
                    bad = bad || ch == 'e' || ch == 'E' || ch == '&';
                    if (value.size() < 40)
                        value += ch;
                }
                break;
            }
        }
    }
    decompressor->close();
    return true;
}

// What the picture covers: request.bbox, else the extract's bounds from its
// header, else those of its nodes. False, with error, for an extract without
// nodes. Throws what libosmium throws.
bool FindBounds(const osmium::io::File& file, const OsmMapRequest& request, const QString& name,
                const OsmProgress& progress, GeoBox& box, QString& error) {
    if (request.bbox) {
        box = *request.bbox;
        return true;
    }
    osmium::io::Reader header(file, osmium::osm_entity_bits::nothing);
    const osmium::Box b = header.header().box();
    header.close();
    if (b.valid() && b.bottom_left() != b.top_right())
        box = {b.left(), b.bottom(), b.right(), b.top()};
    if (box.Valid())
        return true;
    Report(progress, QStringLiteral("finding the bounds"), -1);
    osmium::Box nodes;
    osmium::io::Reader reader(file, osmium::osm_entity_bits::node);
    while (osmium::memory::Buffer buffer = reader.read())
        for (const osmium::Node& n : buffer.select<osmium::Node>())
            if (n.location().valid())
                nodes.extend(n.location());
    reader.close();
    if (!nodes.valid()) {
        error = QStringLiteral("the extract %1 holds no map data").arg(name);
        return false;
    }
    box = {nodes.left(), nodes.bottom(), nodes.right(), nodes.top()};
    // A single point or a line still gets a picture.
    if (box.east - box.west < 1e-4)
        box.west -= 5e-4, box.east += 5e-4;
    if (box.north - box.south < 1e-4)
        box.south -= 5e-4, box.north += 5e-4;
    box.south = std::max(box.south, -85.0);
    box.north = std::min(box.north, 85.0);
    return true;
}

// Reads the features in two passes: the multipolygon relations first, then
// everything in file order; then the gazetteer, symbols and labels. False,
// with error, for an extract with no nodes or nothing to draw. Throws what
// libosmium throws.
bool ReadFeatures(const osmium::io::File& file, const CMercatorProjection& projection,
                  const OsmMapRequest& request, const QString& name, OsmMap& map,
                  const OsmProgress& progress, QString& error) {
    // Pass 1: the multipolygon relations and the ways they need.
    osmium::TagsFilter filter(false);
    for (const char* key :
         {"building", "landuse", "natural", "leisure", "amenity", "water", "waterway", "shop",
          "tourism", "railway", "place", "healthcare", "boundary", "addr:housenumber"})
        filter.add_rule(true, osmium::TagMatcher(key));
    osmium::area::Assembler::config_type config;
    osmium::area::MultipolygonManager<osmium::area::Assembler> manager(config, filter);
    Report(progress, QStringLiteral("reading the relations"), -1);
    // Pass 1 runs beside the start of pass 2, which handles the nodes at the
    // head of the file meanwhile and waits for pass 1 at its first way or
    // relation: only ways can be members of the areas pass 1 collects.
    std::exception_ptr firstFailure;
    std::jthread first([&] {
        try {
            osmium::relations::read_relations(file, manager);
        } catch (...) {
            firstFailure = std::current_exception();
        }
    });

    // Pass 2: everything else, in file order.
    // Negative ids (objects an editor has made but not uploaded) are kept in
    // an index of their own, as libosmium wants, and read like any others.
    using Index = osmium::index::map::FlexMem<osmium::unsigned_object_id_type, osmium::Location>;
    Index index, negativeIndex;
    osmium::handler::NodeLocationsForWays<Index, Index> locations(index, negativeIndex);
    locations.ignore_errors(); // ways that leave the extract are cut where it ends
    CFeatureHandler handler(projection, map);
    osmium::io::Reader reader(file, osmium::osm_entity_bits::node | osmium::osm_entity_bits::way |
                                        osmium::osm_entity_bits::relation);
    const size_t total = reader.file_size();
    int shown = -1;
    decltype(&manager.handler()) second = nullptr; // pass 2's handler, once pass 1 is done
    auto awaitFirstPass = [&] { // throws what pass 1 threw
        first.join();
        if (firstFailure)
            std::rethrow_exception(firstFailure);
        second = &manager.handler(
            [&](osmium::memory::Buffer&& areas) { osmium::apply(areas, handler); });
    };
    while (osmium::memory::Buffer buffer = reader.read()) {
        if (!second && std::all_of(buffer.begin(), buffer.end(), [](const osmium::memory::Item& i) {
                return i.type() == osmium::item_type::node;
            })) {
            osmium::apply(buffer, locations, handler);
        } else {
            if (!second)
                awaitFirstPass();
            osmium::apply(buffer, locations, handler, *second);
        }
        const int percent = total ? int(std::min<size_t>(100, reader.offset() * 100 / total)) : -1;
        if (percent != shown) {
            shown = percent;
            Report(progress, QStringLiteral("reading"), percent);
        }
    }
    reader.close();
    if (!second) // an extract of nodes only
        awaitFirstPass();
    map.nodes = handler.Nodes();
    map.ways = handler.Ways();
    map.relations = handler.Relations();
    if (handler.Nodes() == 0) {
        error = QStringLiteral("the extract %1 holds no map data").arg(name);
        return false;
    }
    if (!handler.HasContent()) {
        error = request.bbox
                    ? QStringLiteral("there is no map data of %1 inside the bbox").arg(name)
                    : QStringLiteral("the extract %1 holds nothing to draw").arg(name);
        return false;
    }
    Report(progress, QStringLiteral("placing the labels"), -1);
    handler.Finish(request.levelLabels);
    return true;
}

} // namespace

bool ReadOsmMap(const OsmMapRequest& request, OsmMap& map, QString& error,
                const OsmProgress& progress) {
    if (!(request.metresPerPixel >= MIN_METRES_PER_PIXEL &&
          request.metresPerPixel <= MAX_METRES_PER_PIXEL)) {
        error = QStringLiteral("--metres-per-pixel must lie between %1 and %2 (got %3)")
                    .arg(MIN_METRES_PER_PIXEL)
                    .arg(MAX_METRES_PER_PIXEL)
                    .arg(request.metresPerPixel);
        return false;
    }
    const QString name = QFileInfo(request.input).fileName();
    if (!CheckInputFile(request.input, QStringLiteral("the extract"), error))
        return false;
    try {
        const osmium::io::File file(request.input.toStdString());
        if (!CheckCoordinates(file, name, error))
            return false;
        GeoBox box;
        if (!FindBounds(file, request, name, progress, box, error))
            return false;
        if (!box.Valid()) {
            error = QStringLiteral("the bounds of %1 are not usable").arg(name);
            return false;
        }
        const CMercatorProjection projection(box, request.metresPerPixel);
        if (projection.Width() > MAX_OSM_PICTURE_SIDE ||
            projection.Height() > MAX_OSM_PICTURE_SIDE) {
            error = QStringLiteral("the map would be %1 x %2 pixels, more than the %3 pixels a "
                                   "side a map may have here; give a smaller --bbox or a larger "
                                   "--metres-per-pixel")
                        .arg(projection.Width(), 0, 'f', 0)
                        .arg(projection.Height(), 0, 'f', 0)
                        .arg(MAX_OSM_PICTURE_SIDE);
            return false;
        }
        if (!CheckTileCount(QSize(int(projection.Width()), int(projection.Height())), request.large,
                            error))
            return false;
        map = OsmMap();
        map.box = box;
        map.calibration = projection.Calibration();
        map.geo = projection.GeoReference();
        map.scene.width = int(projection.Width());
        map.scene.height = int(projection.Height());
        map.scene.background = QColor(0xf7, 0xf5, 0xf0);
        return ReadFeatures(file, projection, request, name, map, progress, error);
    } catch (const std::exception& e) {
        error = QStringLiteral("cannot read the extract %1: %2")
                    .arg(name, QString::fromLocal8Bit(e.what()).simplified());
        return false;
    }
}

int64_t EstimateTileBytes(const MapScene& scene) {
    // Measured on maps made here: a blank tile is a few hundred bytes, a tile
    // of a town's streets and buildings tens of kilobytes.
    constexpr int64_t kBlankTileBytes = 2000;
    constexpr int64_t kBusyTileBytes = 15000;
    const int cols = (scene.width + TILE_SIZE - 1) / TILE_SIZE;
    const int rows = (scene.height + TILE_SIZE - 1) / TILE_SIZE;
    if (cols < 1 || rows < 1)
        return 0;
    std::vector<bool> busy(size_t(rows) * size_t(cols), false);
    auto mark = [&](const QRectF& r) {
        const int c0 = std::clamp(int(r.left()) / TILE_SIZE, 0, cols - 1);
        const int c1 = std::clamp(int(r.right()) / TILE_SIZE, 0, cols - 1);
        const int r0 = std::clamp(int(r.top()) / TILE_SIZE, 0, rows - 1);
        const int r1 = std::clamp(int(r.bottom()) / TILE_SIZE, 0, rows - 1);
        for (int row = r0; row <= r1; ++row)
            for (int col = c0; col <= c1; ++col)
                busy[size_t(row) * size_t(cols) + size_t(col)] = true;
    };
    for (const MapArea& a : scene.areas)
        mark(a.bounds);
    for (const MapLine& l : scene.lines)
        mark(l.bounds);
    for (const MapPoint& p : scene.points)
        mark(QRectF(p.at, QSizeF(1, 1)));
    for (const LabelRun& l : scene.labels)
        mark(l.bounds);
    const int64_t count = std::count(busy.begin(), busy.end(), true);
    return count * kBusyTileBytes + (int64_t(busy.size()) - count) * kBlankTileBytes;
}
