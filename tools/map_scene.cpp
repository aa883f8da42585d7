#include "map_scene.h"

#include <QFontMetricsF>
#include <QGlyphRun>
#include <QImage>
#include <QPainterPath>
#include <QTextLayout>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <optional>

double WrapAngle(double a) {
    while (a > kPi)
        a -= 2 * kPi;
    while (a < -kPi)
        a += 2 * kPi;
    return a;
}

CPath::CPath(const QPolygonF& points) : m_points(points) {
    m_cum.reserve(static_cast<size_t>(points.size()));
    double total = 0;
    for (int i = 0; i < points.size(); ++i) {
        if (i > 0)
            total += QLineF(points[i - 1], points[i]).length();
        m_cum.push_back(total);
    }
}

QPointF CPath::At(double s) const {
    if (m_points.size() < 2)
        return m_points.isEmpty() ? QPointF() : m_points.front();
    s = std::clamp(s, 0.0, Length());
    size_t i = static_cast<size_t>(std::upper_bound(m_cum.begin(), m_cum.end(), s) - m_cum.begin());
    i = std::clamp<size_t>(i, 1, m_cum.size() - 1);
    const double span = m_cum[i] - m_cum[i - 1];
    const double t = span > 0 ? (s - m_cum[i - 1]) / span : 0;
    return m_points[int(i) - 1] + (m_points[int(i)] - m_points[int(i) - 1]) * t;
}

double CPath::AngleAt(double s, double h) const {
    const QPointF a = At(s - h), b = At(s + h);
    return std::atan2(b.y() - a.y(), b.x() - a.x());
}

// --- The map style ---------------------------------------------------------

namespace {

const QColor kUrbanLand(0xf3, 0xef, 0xe8);
const QColor kField(0xe3, 0xec, 0xc9);
const QColor kHedge(0xb8, 0xc8, 0x98);
const QColor kWood(0xb6, 0xd6, 0x9c);
const QColor kSand(0xf2, 0xe6, 0xbf);
const QColor kPark(0xc9, 0xe6, 0xae);
const QColor kParkEdge(0xa2, 0xcb, 0x87);
const QColor kWater(0xa7, 0xcf, 0xe6);
const QColor kWaterEdge(0x86, 0xb4, 0xd3);
const QColor kBuilding(0xe2, 0xd7, 0xcb);
const QColor kBuildingEdge(0xc4, 0xb3, 0xa1);
const QColor kRail(0x6e, 0x6e, 0x6e);
const QColor kWaterLabel(0x2a, 0x64, 0x8c);
const QColor kStreetLabel(0x3a, 0x3a, 0x3a);
const QColor kBoundary(0xa0, 0x5c, 0xb0);
const QColor kTunnelFill(0xf4, 0xf1, 0xec);
const QColor kCycleway(0x3a, 0x6f, 0xd8);
const QColor kOneWay(0x5b, 0x5b, 0x8f);
const QColor kShieldFill(0xfd, 0xf3, 0xc4);
const QColor kShieldEdge(0x8a, 0x6d, 0x2a);

constexpr RoadKind kRoadKinds[] = {RoadKind::Path,  RoadKind::Lane,  RoadKind::Service,
                                   RoadKind::Minor, RoadKind::Close, RoadKind::Ring,
                                   RoadKind::Main};

// The font of all map labels.
QFont MapFont(int pixelSize, bool bold = false, bool italic = false, double spacing = 0) {
    QFont font(QStringLiteral("Liberation Sans"));
    font.setHintingPreference(QFont::PreferNoHinting);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setItalic(italic);
    if (spacing > 0)
        font.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    return font;
}

// One pass of the renderer over the features of one kind. A line is drawn
// with each of the pens in turn, its width grown by the line's own where the
// layer says so; an area or a symbol takes the first as its outline, and a
// symbol the second for the mark inside.
struct DrawLayer {
    enum Source : uint8_t { AREAS, LINES, POINTS } source = AREAS;
    uint8_t kind = 0;   // an AreaKind, LineKind or PointKind
    int road = -1;      // LINES: only the roads of this RoadKind; -1: all lines
    QList<QPen> pens{}; // Qt::NoPen: no outline
    QBrush brush{};     // for a Field, its own colour when it has one
    enum Width : uint8_t { FIXED, PLUS_LINE_WIDTH, PLUS_CASING, PLUS_FILL } width = FIXED;
    // AREAS: the outline pen is drawn as the area grown by half its width and
    // filled in its colour (a simple area only; one with holes is stroked).
    // The outline's inner half is under the fill drawn next, so the look is
    // the same, and a fill takes a fraction of a stroke's time.
    bool grownOutline = false;
    double radius = 0;           // POINTS drawn as discs (turning circles)
    std::optional<QFont> font{}; // the text of a symbol
};

QPen LinePen(const QColor& colour, double width, Qt::PenCapStyle cap = Qt::FlatCap,
             QList<qreal> dashes = {}) {
    QPen pen(colour, width, Qt::SolidLine, cap, Qt::RoundJoin);
    if (!dashes.isEmpty())
        pen.setDashPattern(dashes);
    return pen;
}

// The drawing order: land, water, buildings, railways, bridges, roads (every
// casing, then every fill, class by class, so that junctions join cleanly and
// a main road passes over a side street), then symbols.
std::vector<DrawLayer> MakeDrawLayers(int level) {
    std::vector<DrawLayer> layers;
    // Roads are drawn in the level's own widths: the painter scales the
    // picture by the level's zoom, so a width is divided by it here.
    const double unscale = level < 0 ? 1.0 : 1.0 / LEVEL_ZOOMS[level];
    const QPen noPen(Qt::NoPen);
    auto area = [&](AreaKind kind, const QPen& pen, const QColor& fill) {
        layers.push_back(
            {.source = DrawLayer::AREAS, .kind = uint8_t(kind), .pens = {pen}, .brush = fill});
    };
    auto line = [&](LineKind kind, QList<QPen> pens, DrawLayer::Width width = DrawLayer::FIXED,
                    int road = -1) {
        layers.push_back({.source = DrawLayer::LINES,
                          .kind = uint8_t(kind),
                          .road = road,
                          .pens = pens,
                          .width = width});
    };
    auto point = [&](PointKind kind, QList<QPen> pens, const QColor& fill, double radius = 0,
                     std::optional<QFont> font = {}) {
        layers.push_back({.source = DrawLayer::POINTS,
                          .kind = uint8_t(kind),
                          .pens = pens,
                          .brush = fill,
                          .radius = radius,
                          .font = font});
    };
    area(AreaKind::Field, QPen(kHedge, 1.6), kField);
    area(AreaKind::Urban, noPen, kUrbanLand);
    area(AreaKind::Wood, noPen, kWood);
    area(AreaKind::Sand, noPen, kSand);
    area(AreaKind::Park, QPen(kParkEdge, 2), kPark);
    // Rivers and streams with their banks, then lakes and the sea.
    line(LineKind::Waterway, {LinePen(kWaterEdge, 3), LinePen(kWater, 0)},
         DrawLayer::PLUS_LINE_WIDTH);
    area(AreaKind::Water, QPen(kWaterEdge, 2), kWater);
    // Administrative boundaries over the land, under buildings and roads.
    line(LineKind::Boundary, {LinePen(kBoundary, 2.5 * unscale, Qt::FlatCap, {5, 2, 1, 2})});
    // Buildings: outlines first, then fills, so touching buildings merge into
    // blocks with one outline; then buildings of note.
    area(AreaKind::Building, QPen(kBuildingEdge, 1.8, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin),
         kBuildingEdge);
    layers.back().grownOutline = true;
    area(AreaKind::Building, noPen, kBuilding);
    area(AreaKind::Hospital, QPen(QColor(0xc8, 0x8c, 0x8c), 1.5), QColor(0xf4, 0xcf, 0xcf));
    area(AreaKind::Landmark, QPen(QColor(0xa8, 0x94, 0x7c), 1.5), QColor(0xdc, 0xc7, 0xab));
    // Railways, under the roads that bridge them: a grey band with white dashes.
    line(LineKind::Rail, {LinePen(kRail, 5), LinePen(Qt::white, 2.6, Qt::FlatCap, {4, 4})});
    line(LineKind::Tram, {LinePen(kRail, 2)});
    // Bridges: dark parapets wider than the road.
    line(LineKind::Bridge,
         {QPen(QColor(0x55, 0x55, 0x55), (level < 0 ? 5 : 2) * unscale, Qt::SolidLine,
               Qt::FlatCap)},
         DrawLayer::PLUS_CASING);
    // Tunnels under every road: the road's width in a dashed casing and a
    // pale fill.
    line(LineKind::Tunnel, {LinePen(QColor(0x9a, 0x93, 0x8a), 0, Qt::FlatCap, {2, 1.5})},
         DrawLayer::PLUS_CASING);
    line(LineKind::Tunnel, {LinePen(kTunnelFill, 0)}, DrawLayer::PLUS_FILL);
    // A turning circle keeps its size against the close's width.
    const double circle = RoadStyleOf(RoadKind::Close, level).fillWidth * unscale /
                          RoadStyleOf(RoadKind::Close).fillWidth;
    for (RoadKind kind : kRoadKinds) {
        const RoadStyle& road = RoadStyleOf(kind, level);
        if (road.casingWidth > 0)
            line(LineKind::Road, {LinePen(road.casing, road.casingWidth * unscale, Qt::RoundCap)},
                 DrawLayer::FIXED, int(kind));
        if (kind == RoadKind::Close) // the round ends of closes
            point(PointKind::TurningCircle, {noPen}, road.casing, 11 * circle);
    }
    for (RoadKind kind : kRoadKinds) {
        const RoadStyle& road = RoadStyleOf(kind, level);
        if (road.fillWidth <= 0)
            continue; // left out at this scale
        const double w = road.fillWidth * unscale;
        line(LineKind::Road,
             {kind == RoadKind::Path
                  ? LinePen(road.fill, w, Qt::FlatCap, {3, 2})
                  : LinePen(road.fill, w, Qt::RoundCap)},
             DrawLayer::FIXED, int(kind));
        if (kind == RoadKind::Close)
            point(PointKind::TurningCircle, {noPen}, road.fill, 9.5 * circle);
        // Cycleways beside the footpaths, dashed in blue.
        if (kind == RoadKind::Path)
            line(LineKind::Cycleway, {LinePen(kCycleway, w, Qt::FlatCap, {3, 2})});
    }
    // One-way arrows on the road, at zoom 1.0.
    if (level < 0)
        point(PointKind::OneWay, {LinePen(kOneWay, 1.4, Qt::RoundCap)}, kOneWay);
    // Stations: a red bar across the track with a white border and a white
    // line. Hospitals: a blue square with a white H. Other places of note: a
    // brown dot.
    point(PointKind::Station, {QPen(Qt::white, 2), QPen(Qt::white, 2.2)}, QColor(0xd0, 0x2f, 0x2f));
    point(PointKind::Hospital, {QPen(Qt::white, 1.5), QPen(Qt::white)}, QColor(0x1f, 0x5f, 0xbf), 0,
          MapFont(13, true));
    point(PointKind::Landmark, {QPen(Qt::white, 1.2)}, QColor(0x7a, 0x4e, 0x2e));
    // Points of interest at zoom 1.0 only: on the overview levels they would
    // crowd out the streets.
    if (level < 0)
        point(PointKind::Poi, {QPen(Qt::white, 1.2), QPen(Qt::white)}, {}, 6.5,
              MapFont(8, true));
    return layers;
}

// The layers of zoom 1.0 (level -1) or of an overview level.
const std::vector<DrawLayer>& DrawLayers(int level) {
    // Made when first needed: fonts need the application.
    static const std::vector<DrawLayer> layers[1 + LEVEL_COUNT] = {
        MakeDrawLayers(-1), MakeDrawLayers(0), MakeDrawLayers(1)};
    return layers[level + 1];
}

// Symbols on the overview levels: a little smaller than at zoom 1.0 but
// never shrunk with the level, so that they stay recognisable.
constexpr double kLevelSymbolSize[LEVEL_COUNT] = {0.8, 0.7};

} // namespace

const RoadStyle& RoadStyleOf(RoadKind kind, int level) {
    static const QColor grey(0xb4, 0xad, 0xa3);
    // Zoom 0.5: every road, minor ones relatively thinner. Zoom 0.25: paths
    // left out, lanes and service roads a grey thread, streets narrow, main
    // roads still wide enough to follow.
    static const RoadStyle levels[LEVEL_COUNT][7] = {
        {{0, 1.0, grey, {0x9a, 0x7b, 0x5c}},
         {5.5, 3.6, {0xb9, 0xb3, 0x92}, {0xff, 0xfd, 0xe8}},
         {4.5, 2.8, grey, Qt::white},
         {7.5, 5.5, grey, Qt::white},
         {7.5, 5.5, grey, Qt::white},
         {11, 8.5, {0xc2, 0x95, 0x4c}, {0xfb, 0xd8, 0x8f}},
         {12, 9.5, {0xc0, 0x74, 0x58}, {0xf7, 0xb5, 0x9a}}},
        {{0, 0, grey, grey},
         {0, 1.2, grey, {0xc9, 0xc2, 0xb0}},
         {0, 1.2, grey, {0xc9, 0xc2, 0xb0}},
         {3.6, 2.2, grey, Qt::white},
         {3.6, 2.2, grey, Qt::white},
         {6.5, 4.6, {0xc2, 0x95, 0x4c}, {0xfb, 0xd8, 0x8f}},
         {7.5, 5.5, {0xc0, 0x74, 0x58}, {0xf7, 0xb5, 0x9a}}},
    };
    if (level >= 0 && level < LEVEL_COUNT)
        return levels[level][size_t(kind)];
    static const RoadStyle styles[] = {
        {0, 1.6, {0xb4, 0xad, 0xa3}, {0x9a, 0x7b, 0x5c}},   // Path
        {11, 8.5, {0xb9, 0xb3, 0x92}, {0xff, 0xfd, 0xe8}},  // Lane
        {9, 6.5, {0xb4, 0xad, 0xa3}, Qt::white},            // Service
        {15, 12.5, {0xb4, 0xad, 0xa3}, Qt::white},          // Minor
        {15, 12.5, {0xb4, 0xad, 0xa3}, Qt::white},          // Close
        {20, 16.5, {0xc2, 0x95, 0x4c}, {0xfb, 0xd8, 0x8f}}, // Ring
        {21, 17.5, {0xc0, 0x74, 0x58}, {0xf7, 0xb5, 0x9a}}, // Main
    };
    return styles[size_t(kind)];
}

const PoiStyle& PoiStyleOf(PoiKind kind) {
    static const QColor food(0xc7, 0x6b, 0x1a), shop(0x8e, 0x3d, 0x9e), health(0x1c, 0x8a, 0x4c),
        money(0x4a, 0x6b, 0x2a), car(0x2f, 0x5f, 0xb0), post(0xc9, 0x8a, 0x00),
        transport(0x1f, 0x4e, 0x9a), civic(0x6b, 0x4a, 0x3a);
    static const PoiStyle styles[] = {
        {shop, "S", false},      // Shop
        {shop, "S", true},       // Supermarket
        {food, "C", false},      // Cafe
        {food, "R", false},      // Restaurant
        {food, "B", false},      // Pub: a beer
        {health, "+", true},     // Pharmacy
        {health, "D", false},    // Doctor
        {money, "$", true},      // Bank
        {money, "$", false},     // Atm
        {car, "F", true},        // Fuel
        {car, "P", true},        // Parking
        {civic, "WC", true},     // Toilets
        {post, "@", true},       // PostOffice
        {post, "@", false},      // PostBox
        {transport, "B", true},  // BusStop
        {transport, "T", true},  // TramStop
        {civic, "Sc", false},    // School
        {civic, "\u2020", false}, // Worship: a cross
        {car, "H", false},       // Hotel
    };
    return styles[size_t(kind)];
}

const LabelStyle& LabelStyleOf(LabelKind kind) {
    static const LabelStyle styles[] = {
        {MapFont(13, true), QColor(0x1d, 0x1d, 0x1d), true},        // Station
        {MapFont(12, true), QColor(0xb0, 0x20, 0x2a), true},        // Hospital
        TownLabelStyle(2),                                          // Town
        {MapFont(11, false, true), QColor(0x4e, 0x3b, 0x2c), true}, // Landmark
        {MapFont(13, false, true), QColor(0x2f, 0x6b, 0x24), true}, // Park
        {MapFont(13, false, true), QColor(0x2f, 0x5b, 0x24), true}, // Wood
        {MapFont(13, false, true), kWaterLabel, true},              // Water
        {MapFont(15, false, true, 1.5), kWaterLabel, false},        // River
        {MapFont(19, false, true, 3), kWaterLabel, false, true},    // Sea
        {MapFont(12, true), QColor(0x26, 0x1a, 0x12), false},       // MainStreet
        {MapFont(10), kStreetLabel, false},                         // Street
        {MapFont(9), kStreetLabel, false},                          // SmallStreet
        {MapFont(10), QColor(0x5a, 0x4a, 0x3a), true},              // Poi
        {MapFont(10), QColor(0x5e, 0x54, 0x4a), false},             // HouseNumber
        {MapFont(10, true), QColor(0x3a, 0x2c, 0x10), false, false, true}, // Shield
    };
    return styles[size_t(kind)];
}

LabelStyle TownLabelStyle(int rank, int level) {
    static const int sizes[1 + LEVEL_COUNT][6] = {
        {24, 21, 18, 17, 14, 13}, {21, 18, 16, 15, 13, 12}, {19, 16, 14, 13, 12, 11}};
    const bool major = rank <= 3;
    // A little darker on the levels, where the names stand over more ink.
    return {MapFont(sizes[std::clamp(level, -1, LEVEL_COUNT - 1) + 1][std::clamp(rank, 0, 5)],
                    major, false, major ? (level < 0 ? 3 : 2) : 1.5),
            level < 0 ? QColor(0x6f, 0x5b, 0x86, 200) : QColor(0x4f, 0x3b, 0x6a), true, major};
}

std::optional<LabelStyle> LevelLabelStyle(const LevelLabel& label, int level) {
    const double zoom = LEVEL_ZOOMS[level];
    const bool half = level == 0;
    const QColor dark(0x26, 0x1a, 0x12);
    switch (label.kind) {
    case LabelKind::Town:
        if (label.rank > (half ? 5 : 3))
            return std::nullopt;
        return TownLabelStyle(label.rank, level);
    case LabelKind::Station:
        return LabelStyle{MapFont(half ? 12 : 11, true), QColor(0x1d, 0x1d, 0x1d), true};
    case LabelKind::Hospital:
        if (!half)
            return std::nullopt;
        return LabelStyle{MapFont(11, true), QColor(0xb0, 0x20, 0x2a), true};
    case LabelKind::Park:
    case LabelKind::Wood:
    case LabelKind::Water: {
        LabelStyle style = LabelStyleOf(label.kind);
        style.font.setPixelSize(11);
        // Only an area that holds its name at this scale is named.
        if (QFontMetricsF(style.font).horizontalAdvance(label.text) > label.room.width() * zoom ||
            label.room.height() * zoom < 14)
            return std::nullopt;
        return style;
    }
    case LabelKind::River:
        return LabelStyle{MapFont(half ? 14 : 12, false, true, 1), QColor(0x2a, 0x64, 0x8c)};
    case LabelKind::Sea:
        return LabelStyle{MapFont(half ? 17 : 15, false, true, 2), QColor(0x2a, 0x64, 0x8c), false,
                          true};
    case LabelKind::MainStreet:
        return LabelStyle{MapFont(half ? 12 : 11, true), dark, true};
    case LabelKind::Street:
        if (!half)
            return std::nullopt;
        return LabelStyle{MapFont(11), kStreetLabel, true};
    case LabelKind::Shield: {
        LabelStyle style = LabelStyleOf(LabelKind::Shield);
        style.font.setPixelSize(11);
        return style;
    }
    case LabelKind::Landmark:
    case LabelKind::SmallStreet:
    case LabelKind::Poi:
    case LabelKind::HouseNumber:
        return std::nullopt;
    }
    return std::nullopt;
}

LabelKind StreetLabelOf(RoadKind kind) {
    if (kind >= RoadKind::Ring)
        return LabelKind::MainStreet;
    return kind == RoadKind::Path || kind == RoadKind::Service ? LabelKind::SmallStreet
                                                               : LabelKind::Street;
}

QString LabelText(const LabelStyle& style, const QString& text) {
    return style.capitals ? text.toUpper() : text;
}

void MapScene::AddArea(AreaKind kind, std::vector<QPolygonF> rings, QColor colour) {
    QRectF bounds;
    for (const QPolygonF& ring : rings)
        bounds |= ring.boundingRect();
    areas.push_back({kind, std::move(rings), colour, bounds});
}

void MapScene::AddLine(LineKind kind, QPolygonF points, RoadKind road, double width) {
    const QRectF bounds = points.boundingRect();
    lines.push_back({kind, road, width, std::move(points), bounds});
}

namespace {

// How far a feature's drawing reaches beyond its geometry, at most (pixels).
constexpr double kReach = 30;

bool Visible(const QRectF& bounds, const QRectF& area) {
    return bounds.adjusted(-kReach, -kReach, kReach, kReach).intersects(area);
}

void DrawRings(QPainter& p, const MapArea& a) {
    if (a.rings.size() == 1) {
        p.drawPolygon(a.rings.front());
        return;
    }
    QPainterPath path;
    path.setFillRule(Qt::OddEvenFill);
    for (const QPolygonF& ring : a.rings)
        path.addPolygon(ring);
    path.closeSubpath();
    p.drawPath(path);
}

// The ring grown outwards by d (picture pixels) with mitred corners, a mitre
// reaching at most 4 d from its corner (the reach of a stroke of width 2 d
// with Qt's default mitre limit); empty for a ring of under 3 corners.
QPolygonF GrownRing(const QPolygonF& ring, double d) {
    qsizetype n = ring.size();
    if (n > 1 && ring.front() == ring.back())
        --n; // closed by repeating its first corner
    if (n < 3)
        return {};
    double area2 = 0; // twice the signed area: positive when clockwise on screen
    for (qsizetype i = 0; i < n; ++i) {
        const QPointF& a = ring[i];
        const QPointF& b = ring[(i + 1) % n];
        area2 += a.x() * b.y() - b.x() * a.y();
    }
    const double side = area2 >= 0 ? 1 : -1; // turns an edge's normal outwards
    auto normal = [&](const QPointF& a, const QPointF& b) {
        const QPointF e = b - a;
        const double length = std::sqrt(e.x() * e.x() + e.y() * e.y());
        return length > 0 ? QPointF(e.y(), -e.x()) * (side / length) : QPointF();
    };
    QPolygonF grown;
    grown.reserve(n);
    for (qsizetype i = 0; i < n; ++i) {
        const QPointF& at = ring[i];
        const QPointF n1 = normal(ring[(i + n - 1) % n], at), n2 = normal(at, ring[(i + 1) % n]);
        QPointF mitre = n1 + n2;
        const double length = std::sqrt(QPointF::dotProduct(mitre, mitre));
        if (length < 1e-9) {
            grown << at + (n1.isNull() ? n2 : n1) * d;
            continue;
        }
        mitre /= length;
        const double cosine = QPointF::dotProduct(mitre, n1.isNull() ? n2 : n1);
        grown << at + mitre * std::min(4 * d, cosine > 0 ? d / cosine : 4 * d);
    }
    return grown;
}

// The symbol of a point feature, drawn size times its size at zoom 1.0 (in
// the painter's units).
void DrawSymbol(QPainter& p, const DrawLayer& layer, const MapPoint& pt, double size) {
    if (PointKind(layer.kind) == PointKind::TurningCircle) {
        p.drawEllipse(pt.at, layer.radius, layer.radius);
        return;
    }
    p.save();
    p.translate(pt.at);
    p.scale(size, size);
    switch (PointKind(layer.kind)) {
    case PointKind::TurningCircle:
        break;
    case PointKind::Station:
        p.rotate(pt.angle * 180 / kPi);
        p.drawRoundedRect(QRectF(-11, -7, 22, 14), 3, 3);
        p.setPen(layer.pens[1]);
        p.drawLine(QPointF(-6, 0), QPointF(6, 0));
        break;
    case PointKind::Hospital: {
        const QRectF box(-8, -8, 16, 16);
        p.drawRoundedRect(box, 2, 2);
        p.setPen(layer.pens[1]);
        p.drawText(box, Qt::AlignCenter, QStringLiteral("H"));
        break;
    }
    case PointKind::Landmark:
        p.drawEllipse(QPointF(0, 0), 3.5, 3.5);
        break;
    case PointKind::OneWay: {
        p.rotate(pt.angle * 180 / kPi);
        p.drawLine(QPointF(-6, 0), QPointF(2, 0));
        p.setPen(Qt::NoPen);
        p.drawPolygon(QPolygonF({QPointF(6, 0), QPointF(1, -3.2), QPointF(1, 3.2)}));
        break;
    }
    case PointKind::Poi: {
        const PoiStyle& style = PoiStyleOf(pt.poi);
        const double r = layer.radius;
        const QRectF box(-r, -r, 2 * r, 2 * r);
        p.setBrush(style.colour);
        if (style.square)
            p.drawRoundedRect(box, 2, 2);
        else
            p.drawEllipse(box);
        p.setPen(layer.pens[1]);
        p.drawText(box, Qt::AlignCenter, QString::fromUtf8(style.mark));
        break;
    }
    }
    p.restore();
}

// The features of each kind that reach into an area, in scene order: one
// pass over the scene for a part of the picture instead of one a layer.
struct CVisibleFeatures {
    static constexpr size_t KINDS = 16; // more than any kind enumeration holds
    std::array<std::vector<uint32_t>, KINDS> areas, lines, points;

    void Collect(const MapScene& scene, const QRectF& area) {
        for (auto* byKind : {&areas, &lines, &points})
            for (std::vector<uint32_t>& kind : *byKind)
                kind.clear();
        for (size_t i = 0; i < scene.areas.size(); ++i)
            if (size_t(scene.areas[i].kind) < KINDS && Visible(scene.areas[i].bounds, area))
                areas[size_t(scene.areas[i].kind)].push_back(uint32_t(i));
        for (size_t i = 0; i < scene.lines.size(); ++i)
            if (size_t(scene.lines[i].kind) < KINDS && Visible(scene.lines[i].bounds, area))
                lines[size_t(scene.lines[i].kind)].push_back(uint32_t(i));
        for (size_t i = 0; i < scene.points.size(); ++i) {
            const QPointF at = scene.points[i].at;
            if (size_t(scene.points[i].kind) < KINDS && Visible(QRectF(at, at), area))
                points[size_t(scene.points[i].kind)].push_back(uint32_t(i));
        }
    }
};

// A dashed line, drawn as its pieces inside area (picture pixels, with room
// for a cut end), each piece's pattern carried on from the line's start. Qt
// skips the parts of a long line well outside the image and loses the
// pattern's place there, which would misalign the dashes where two parts of
// the map meet; pieces that stay this close to the image give it nothing to
// skip.
void DrawDashedLine(QPainter& p, QPen pen, const QPolygonF& line, const QRectF& area) {
    const double width = pen.widthF() > 0 ? pen.widthF() : 1; // the unit of the dashes
    const double margin = pen.widthF() / 2 + 0.5;
    ForEachRunInside(line, area.adjusted(-margin, -margin, margin, margin),
                     [&](QPolygonF&& piece, double start) {
                         pen.setDashOffset(start / width);
                         p.setPen(pen);
                         p.drawPolyline(piece);
                     });
}

// The features of one layer among those that reach into area (picture pixels).
void DrawLayerFeatures(const MapScene& scene, const CVisibleFeatures& visible,
                       const DrawLayer& layer, QPainter& p, const QRectF& area, int level) {
    if (layer.font)
        p.setFont(*layer.font);
    switch (layer.source) {
    case DrawLayer::AREAS:
        for (const uint32_t i : visible.areas[layer.kind]) {
            const MapArea& a = scene.areas[i];
            const QPen& outline = layer.pens.front();
            if (layer.grownOutline && a.rings.size() == 1) {
                p.setPen(Qt::NoPen);
                p.setBrush(outline.color());
                p.drawPolygon(GrownRing(a.rings.front(), outline.widthF() / 2));
                continue;
            }
            p.setPen(outline);
            p.setBrush(a.colour.isValid() ? QBrush(a.colour) : layer.brush);
            DrawRings(p, a);
        }
        break;
    case DrawLayer::LINES:
        p.setBrush(Qt::NoBrush);
        for (const uint32_t i : visible.lines[layer.kind]) {
            const MapLine& l = scene.lines[i];
            if (layer.road >= 0 && int(l.road) != layer.road)
                continue;
            for (QPen pen : layer.pens) {
                const double unscale = level < 0 ? 1 : 1 / LEVEL_ZOOMS[level];
                if (layer.width == DrawLayer::PLUS_LINE_WIDTH)
                    pen.setWidthF(pen.widthF() + l.width);
                else if (layer.width == DrawLayer::PLUS_CASING)
                    pen.setWidthF(pen.widthF() + RoadStyleOf(l.road, level).casingWidth * unscale);
                else if (layer.width == DrawLayer::PLUS_FILL)
                    pen.setWidthF(pen.widthF() + RoadStyleOf(l.road, level).fillWidth * unscale);
                if (pen.style() == Qt::CustomDashLine) {
                    DrawDashedLine(p, pen, l.points, area);
                } else {
                    p.setPen(pen);
                    p.drawPolyline(l.points);
                }
            }
        }
        break;
    case DrawLayer::POINTS:
        for (const uint32_t i : visible.points[layer.kind]) {
            p.setPen(layer.pens.front());
            p.setBrush(layer.brush);
            DrawSymbol(p, layer, scene.points[i],
                       level < 0 ? 1 : kLevelSymbolSize[level] / LEVEL_ZOOMS[level]);
        }
        break;
    }
}

// A label run, glyph by glyph; with a halo, each glyph is first drawn around
// itself in translucent white.
void DrawLabel(QPainter& p, const LabelRun& run) {
    p.setFont(run.font);
    const QFontMetricsF metrics(run.font);
    const double rise = (metrics.ascent() - metrics.descent()) / 2;
    if (run.shield)
        for (const Glyph& g : run.glyphs) {
            p.setPen(QPen(kShieldEdge, 1));
            p.setBrush(kShieldFill);
            p.drawRoundedRect(QRectF(g.at.x() - g.advance / 2 - 3, g.at.y() - rise - 2,
                                     g.advance + 6, 2 * rise + 4),
                              2, 2);
        }
    for (const Glyph& g : run.glyphs) {
        p.save();
        p.translate(g.at);
        p.rotate(g.angle * 180 / kPi);
        const QPointF origin(-g.advance / 2, rise);
        if (run.halo) {
            // Shaped once and drawn nine times: shaping is most of the cost
            // of a glyph drawn as text.
            QTextLayout layout(g.text, run.font);
            layout.beginLayout();
            const QTextLine line = layout.createLine();
            layout.endLayout();
            const QList<QGlyphRun> shaped = layout.glyphRuns();
            const QPointF top = origin - QPointF(0, line.ascent()); // the glyphs sit on line.ascent()
            p.setPen(QColor(255, 255, 255, 200));
            for (const QPointF& d :
                 {QPointF(-1.2, 0), QPointF(1.2, 0), QPointF(0, -1.2), QPointF(0, 1.2),
                  QPointF(-0.9, -0.9), QPointF(0.9, 0.9), QPointF(-0.9, 0.9), QPointF(0.9, -0.9)})
                for (const QGlyphRun& glyphs : shaped)
                    p.drawGlyphRun(top + d, glyphs);
            p.setPen(run.colour);
            for (const QGlyphRun& glyphs : shaped)
                p.drawGlyphRun(top, glyphs);
        } else {
            p.setPen(run.colour);
            p.drawText(origin, g.text);
        }
        p.restore();
    }
}

} // namespace

void DrawMapScene(const MapScene& scene, QPainter& p, const QRectF& area, int level) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.fillRect(area, scene.background);
    const double zoom = level < 0 ? 1.0 : LEVEL_ZOOMS[level];
    p.save();
    p.scale(zoom, zoom);
    const QRectF features(area.topLeft() / zoom, area.size() / zoom);
    thread_local CVisibleFeatures visible; // its lists keep their room between parts
    visible.Collect(scene, features);
    for (const DrawLayer& layer : DrawLayers(level))
        DrawLayerFeatures(scene, visible, layer, p, features, level);
    p.restore();
    for (const LabelRun& run : level < 0 ? scene.labels : scene.levelRuns[level])
        if (Visible(run.bounds, area))
            DrawLabel(p, run);
}

void ForEachRunInside(const QPolygonF& line, const QRectF& r,
                      const std::function<void(QPolygonF&& points, double start)>& piece) {
    QPolygonF run;
    double along = 0, start = 0; // distances along the line
    auto flush = [&] {
        if (run.size() >= 2)
            piece(std::move(run), start);
        run = QPolygonF();
    };
    for (qsizetype i = 0; i + 1 < line.size(); ++i) {
        const QPointF a = line[i], d = line[i + 1] - a;
        // The part of the segment inside r, from t0 to t1 (Liang-Barsky).
        double t0 = 0, t1 = 1;
        const double pv[4] = {-d.x(), d.x(), -d.y(), d.y()};
        const double qv[4] = {a.x() - r.left(), r.right() - a.x(), a.y() - r.top(),
                              r.bottom() - a.y()};
        bool inside = true;
        for (int k = 0; k < 4 && inside; ++k) {
            if (pv[k] == 0)
                inside = qv[k] >= 0;
            else if (pv[k] < 0)
                t0 = std::max(t0, qv[k] / pv[k]);
            else
                t1 = std::min(t1, qv[k] / pv[k]);
            inside = inside && t0 <= t1;
        }
        const double length = std::sqrt(QPointF::dotProduct(d, d));
        if (inside) {
            if (run.isEmpty() || t0 > 0) {
                flush();
                start = along + t0 * length;
                run << a + d * t0;
            }
            run << a + d * t1;
            if (t1 < 1)
                flush();
        } else {
            flush();
        }
        along += length;
    }
    flush();
}

QImage RenderMapScenePart(const MapScene& scene, const QRect& rect, int level) {
    QImage image(rect.size(), QImage::Format_RGB32);
    QPainter painter(&image);
    painter.translate(-rect.topLeft());
    DrawMapScene(scene, painter, QRectF(rect), level);
    return image;
}

void PlaceLevelLabels(MapScene& scene) {
    // Most important first: places by rank, then stations and hospitals,
    // water, areas, main roads, then streets, longest first.
    std::vector<const LevelLabel*> order;
    for (const LevelLabel& label : scene.levelLabels)
        order.push_back(&label);
    auto priority = [](const LevelLabel& l) {
        switch (l.kind) {
        case LabelKind::Town:
            return l.rank;
        case LabelKind::Station:
        case LabelKind::Hospital:
            return 10;
        case LabelKind::Sea:
        case LabelKind::River:
            return 11;
        case LabelKind::MainStreet:
        case LabelKind::Shield:
            return 12;
        case LabelKind::Park:
        case LabelKind::Wood:
        case LabelKind::Water:
            return 13;
        default:
            return 14;
        }
    };
    std::stable_sort(order.begin(), order.end(), [&](const LevelLabel* a, const LevelLabel* b) {
        if (priority(*a) != priority(*b))
            return priority(*a) < priority(*b);
        return CPath(a->path).Length() > CPath(b->path).Length();
    });
    for (int level = 0; level < LEVEL_COUNT; ++level) {
        const double zoom = LEVEL_ZOOMS[level];
        scene.levelRuns[level].clear();
        CLabeller labeller(scene.levelRuns[level], int(std::ceil(scene.width * zoom)),
                           int(std::ceil(scene.height * zoom)));
        for (const MapPoint& pt : scene.points)
            if (pt.kind == PointKind::Station || pt.kind == PointKind::Hospital ||
                pt.kind == PointKind::Landmark) // the symbols the levels draw
                labeller.Space().Take(pt.at * zoom, 10 * kLevelSymbolSize[level],
                                      8 * kLevelSymbolSize[level], pt.angle);
        // A name repeats along a street or river only some way off its
        // other labels on the level.
        std::map<QString, std::vector<QPointF>> placed;
        for (const LevelLabel* label : order) {
            const std::optional<LabelStyle> style = LevelLabelStyle(*label, level);
            if (!style)
                continue;
            if (label->path.isEmpty()) {
                labeller.TryBoxLabel(label->at * zoom, label->text, *style,
                                     label->gap > 0 ? label->gap * zoom + 4 : 0);
                continue;
            }
            QPolygonF scaled = label->path;
            for (QPointF& q : scaled)
                q *= zoom;
            const CPath path(scaled);
            std::vector<QPointF>& done = placed[label->text];
            const double length = path.Length();
            for (double s0 = length / 2, d = 0; d < length / 2; d += 12) {
                for (double s : {s0 - d, s0 + d}) {
                    const QPointF at = path.At(s);
                    if (std::any_of(done.begin(), done.end(),
                                    [&](QPointF q) { return QLineF(q, at).length() < 300; }))
                        continue;
                    if (labeller.TryPathLabel(path, s, label->text, *style))
                        done.push_back(at);
                }
            }
        }
    }
}

QImage RenderMapScene(const MapScene& scene) {
    return RenderMapScenePart(scene, QRect(0, 0, scene.width, scene.height));
}

// --- Label space -----------------------------------------------------------

template <class F>
void CLabelSpace::Visit(QPointF c, double hw, double hh, double angle, F f) const {
    const double ca = std::cos(angle), sa = std::sin(angle);
    const int na = std::max(1, int(std::ceil(2 * hw / 2))),
              nb = std::max(1, int(std::ceil(2 * hh / 2)));
    for (int i = 0; i <= na; ++i) {
        const double a = -hw + 2 * hw * i / na;
        for (int j = 0; j <= nb; ++j) {
            const double b = -hh + 2 * hh * j / nb;
            const double x = c.x() + a * ca - b * sa, y = c.y() + a * sa + b * ca;
            if (x < 2 || y < 2 || x > m_width - 3 || y > m_height - 3)
                f(-1, -1);
            else
                f(int(x) / kCell, int(y) / kCell);
        }
    }
}

bool CLabelSpace::Taken(int cx, int cy) const {
    const auto it = m_blocks.find((uint64_t(uint32_t(cy / kBlock)) << 32) | uint32_t(cx / kBlock));
    return it != m_blocks.end() && it->second[(cy % kBlock) * kBlock + cx % kBlock];
}

void CLabelSpace::Mark(int cx, int cy) {
    auto& block = m_blocks[(uint64_t(uint32_t(cy / kBlock)) << 32) | uint32_t(cx / kBlock)];
    if (!block)
        block = std::make_unique<uint8_t[]>(kBlock * kBlock); // zeroed
    block[(cy % kBlock) * kBlock + cx % kBlock] = 1;
}

bool CLabelSpace::Free(QPointF c, double hw, double hh, double angle) const {
    bool free = true;
    Visit(c, hw, hh, angle, [&](int cx, int cy) {
        if (cx < 0 || Taken(cx, cy))
            free = false;
    });
    return free;
}

void CLabelSpace::Take(QPointF c, double hw, double hh, double angle) {
    Visit(c, hw, hh, angle, [&](int cx, int cy) {
        if (cx >= 0)
            Mark(cx, cy);
    });
}

// --- Labeller --------------------------------------------------------------

namespace {

QRectF GlyphBounds(const std::vector<Glyph>& glyphs, double height) {
    QRectF bounds;
    for (const Glyph& g : glyphs) {
        const double r = std::hypot(g.advance / 2, height) + 2;
        bounds |= QRectF(g.at.x() - r, g.at.y() - r, 2 * r, 2 * r);
    }
    return bounds;
}

} // namespace

bool CLabeller::TryPathLabel(const CPath& path, double centre, const QString& label,
                             const LabelStyle& style, const std::function<bool(QPointF)>& blocked) {
    const QString text = LabelText(style, label);
    const QFontMetricsF metrics(style.font);
    std::vector<double> advances;
    double total = 0;
    for (QChar c : text) {
        advances.push_back(metrics.horizontalAdvance(c));
        total += advances.back();
    }
    const double start = centre - total / 2;
    if (start < 6 || start + total > path.Length() - 6)
        return false;
    // Written in the direction that keeps the text upright.
    const QPointF a = path.At(start), b = path.At(start + total);
    const bool reverse = b.x() < a.x();
    std::vector<Glyph> glyphs;
    double done = 0, previous = 0;
    const double hh = metrics.ascent() * 0.5 + 1;
    for (size_t i = 0; i < advances.size(); ++i) {
        const double adv = advances[i];
        const double mid = reverse ? start + total - (done + adv / 2) : start + done + adv / 2;
        done += adv;
        double angle = path.AngleAt(mid, std::max(3.0, adv / 2));
        if (reverse)
            angle = WrapAngle(angle + kPi);
        if (i > 0 && std::abs(WrapAngle(angle - previous)) > 0.3)
            return false;
        // No glyph leans past the vertical by more than a few degrees: it
        // would be read upside down.
        if (std::abs(angle) > kPi / 2 + 0.1)
            return false;
        previous = angle;
        const QPointF at = path.At(mid);
        if (!m_space.Free(at, adv / 2 + 0.5, hh, angle))
            return false;
        if (blocked && blocked(at))
            return false;
        glyphs.push_back({at, angle, QString(text[int(i)]), adv});
    }
    for (const Glyph& g : glyphs)
        m_space.Take(g.at, g.advance / 2 + 1.5, hh + 1, g.angle);
    const QRectF bounds = GlyphBounds(glyphs, metrics.height());
    m_labels.push_back({style.font, style.colour, style.halo, std::move(glyphs), bounds});
    return true;
}

bool CLabeller::TryBoxLabel(QPointF anchor, const QString& label, const LabelStyle& style,
                            double gap) {
    const QString text = LabelText(style, label);
    const QFontMetricsF metrics(style.font);
    const double w = metrics.horizontalAdvance(text), h = metrics.ascent() + 2;
    // Right, left, below, above the anchor, then a little further out.
    const QPointF offsets[] = {{gap + w / 2, 0},     {-gap - w / 2, 0},   {0, gap + h / 2},
                               {0, -gap - h / 2},    {gap + w / 2, gap},  {-gap - w / 2, -gap},
                               {gap + w / 2, -gap},  {-gap - w / 2, gap}, {0, 2 * gap + h / 2},
                               {0, -2 * gap - h / 2}};
    const QPointF centred[] = {{0, 0},      {0, h},     {0, -h},    {w / 3, 0},
                               {-w / 3, 0}, {0, 2 * h}, {0, -2 * h}};
    const bool centre = gap <= 0;
    for (size_t i = 0; i < (centre ? std::size(centred) : std::size(offsets)); ++i) {
        const QPointF c = anchor + (centre ? centred[i] : offsets[i]);
        const QRectF box(c.x() - w / 2 - 1, c.y() - h / 2 - 1, w + 2, h + 2);
        if (!m_space.FreeRect(box))
            continue;
        m_space.TakeRect(box);
        m_labels.push_back({style.font, style.colour, style.halo, {{c, 0, text, w}},
                            box.adjusted(-3, -3, 3, 3), style.shield});
        return true;
    }
    return false;
}

void CLabeller::AddRun(LabelRun run) {
    const QFontMetricsF metrics(run.font);
    run.bounds = GlyphBounds(run.glyphs, metrics.height());
    m_labels.push_back(std::move(run));
}
