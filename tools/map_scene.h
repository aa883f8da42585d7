#pragma once

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QPointF>
#include <QPolygonF>
#include <QRectF>
#include <QString>

#include "store/map_folder.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

// A street map as drawable features, and the one renderer that draws it in the
// map style (the demo towns and maps made from OpenStreetMap data alike).
// Every coordinate is a pixel of the whole map picture at zoom 1.0 (x right,
// y down); widths and font sizes are pixels too.

inline constexpr double kPi = 3.14159265358979323846;

// An angle in radians brought into (-pi, pi].
double WrapAngle(double a);

// A polyline with its cumulative arc length, for walking along it.
class CPath {
public:
    CPath() = default;
    explicit CPath(const QPolygonF& points);
    const QPolygonF& Points() const { return m_points; }
    double Length() const { return m_cum.empty() ? 0 : m_cum.back(); }
    // The point at arc length s (clamped to the ends).
    QPointF At(double s) const;
    // Direction (radians) of the chord from s - h to s + h.
    double AngleAt(double s, double h = 4) const;

private:
    QPolygonF m_points;
    std::vector<double> m_cum;
};

// Road classes, from the least to the most important; they are drawn in this
// order, so that a more important road passes over a lesser one.
enum class RoadKind : uint8_t { Path, Lane, Service, Minor, Close, Ring, Main };

// Area kinds in drawing order.
enum class AreaKind : uint8_t {
    Field,    // farmland; drawn in its own colour with a hedge line
    Urban,    // built-up land
    Wood,     // woods and forest
    Sand,     // beach
    Park,     // parks, gardens, greens, sports grounds
    Water,    // sea, lakes, ponds, river areas
    Building, // buildings: outlines first, then fills, so blocks merge
    Landmark, // a building of note
    Hospital, // hospital buildings and grounds
};

enum class LineKind : uint8_t {
    Waterway, // a river or stream drawn with its width
    Rail,     // railway: grey band with white dashes
    Tram,     // tram lines: a thin grey line
    Bridge,   // parapets under a road that crosses water or rail
    Road,
    Tunnel,   // a road under ground: dashed casing, pale fill
    Cycleway, // a blue dashed line, apart from the footpaths
    Boundary, // an administrative boundary: a dashed purple line
};

enum class PointKind : uint8_t {
    TurningCircle, // the round end of a close, in the close's colours
    Station,       // red bar across the track, at the feature's angle
    Hospital,      // blue square with a white H
    Landmark,      // brown dot
    Poi,           // a point of interest: a small disc with its mark (PoiStyleOf)
    OneWay,        // an arrow along a one-way street, pointing at angle
};

// What a point of interest is; its symbol's colour and mark come from
// PoiStyleOf.
enum class PoiKind : uint8_t {
    Shop,
    Supermarket,
    Cafe,
    Restaurant,
    Pub,
    Pharmacy,
    Doctor,
    Bank,
    Atm,
    Fuel,
    Parking,
    Toilets,
    PostOffice,
    PostBox,
    BusStop,
    TramStop,
    School,
    Worship,
    Hotel,
};

struct MapArea {
    AreaKind kind = AreaKind::Urban;
    std::vector<QPolygonF> rings; // outer rings and holes, filled odd-even
    QColor colour;                // a Field's own fill, else the style's
    QRectF bounds;
};

struct MapLine {
    LineKind kind = LineKind::Road;
    RoadKind road = RoadKind::Minor; // roads and bridges
    double width = 0;                // waterways
    QPolygonF points;
    QRectF bounds;
};

struct MapPoint {
    PointKind kind = PointKind::Landmark;
    QPointF at;
    double angle = 0; // radians, for stations
    PoiKind poi = PoiKind::Shop; // for points of interest
};

// One character of a label, centred at a point of the map and turned by angle.
struct Glyph {
    QPointF at;
    double angle; // radians
    QString text;
    double advance;
};

struct LabelRun {
    QFont font;
    QColor colour;
    bool halo;
    std::vector<Glyph> glyphs;
    QRectF bounds;
    bool shield = false; // a road number, in a small box
};

// What a label names.
enum class LabelKind : uint8_t {
    Station,
    Hospital,
    Town,     // a place name, styled by its rank
    Landmark, // a building of note
    Park,
    Wood,
    Water,      // a lake or a pond
    River,      // written along its course
    Sea,        // in spaced capitals
    MainStreet, // main and ring roads
    Street,
    SmallStreet, // paths and service roads, and streets too short for the usual size
    Poi,         // the name beside a point of interest's symbol
    HouseNumber, // on the house, at zoom 1.0 only
    Shield,      // a road number (A5, B36) in a small box on the road
};

// A label to be placed again on each overview level, as the level's scale
// allows: beside or on an anchor (towns, stations, areas), or along a path
// (streets, rivers). Positions are picture pixels at zoom 1.0.
struct LevelLabel {
    LabelKind kind = LabelKind::Street;
    int rank = 0; // towns: 0 a city ... 5 a hamlet; roads: the RoadKind
    QString text;
    QPointF at{};     // anchor
    double gap = 0;   // beside the anchor at this distance (zoom 1.0); <= 0 centred
    QSizeF room{};    // an area's size: the name is shown only when it fits
    QPolygonF path{}; // when not empty, written along it
};

// Everything a map picture shows.
struct MapScene {
    int width = 0, height = 0;
    QColor background;
    std::vector<MapArea> areas;
    std::vector<MapLine> lines;
    std::vector<MapPoint> points;
    std::vector<LabelRun> labels;
    // The overview levels' labels, placed in the level's own pixels
    // (PlaceLevelLabels), from the candidates in levelLabels.
    std::vector<LabelRun> levelRuns[LEVEL_COUNT]{};
    std::vector<LevelLabel> levelLabels{};

    void AddArea(AreaKind kind, std::vector<QPolygonF> rings, QColor colour = {});
    void AddLine(LineKind kind, QPolygonF points, RoadKind road = RoadKind::Minor,
                 double width = 0);
    void AddPoint(PointKind kind, QPointF at, double angle = 0, PoiKind poi = PoiKind::Shop) {
        points.push_back({kind, at, angle, poi});
    }
};

// --- The map style ---------------------------------------------------------
// The widths, colours and fonts of the map pictures and the order in which
// features are drawn (a table in map_scene.cpp), shared by the demo towns and
// the maps of real places.

// A road class: widths in pixels and colours; a casing width of 0 draws none.
struct RoadStyle {
    double casingWidth;
    double fillWidth;
    QColor casing;
    QColor fill;
};
// level -1 is zoom 1.0; 0 and 1 the overview levels (LEVEL_ZOOMS), with
// widths in the level's pixels.
const RoadStyle& RoadStyleOf(RoadKind kind, int level = -1);


// The symbol of a point of interest: a disc (or a rounded square) of colour
// with a white mark of one or two characters.
struct PoiStyle {
    QColor colour;
    const char* mark;
    bool square;
};
const PoiStyle& PoiStyleOf(PoiKind kind);

// How a label is written: its font and colour, with a white rim (halo) or
// without, in capitals or as it is.
struct LabelStyle {
    QFont font;
    QColor colour;
    bool halo = false;
    bool capitals = false;
    bool shield = false;
};
const LabelStyle& LabelStyleOf(LabelKind kind);
// A place name by its importance (0 a city, 1 a town or district, ... 5 a
// hamlet): smaller as it is less important, spaced capitals up to 3.
LabelStyle TownLabelStyle(int rank, int level = -1);
// How a label is written on an overview level (0 or 1), or nothing when the
// level leaves it out: minor names thin out as the scale shrinks, place
// names, water and main roads stay, never smaller than 11 pixels.
std::optional<LabelStyle> LevelLabelStyle(const LevelLabel& label, int level);
// The label of a street of this class.
LabelKind StreetLabelOf(RoadKind kind);
// The text as the style writes it.
QString LabelText(const LabelStyle& style, const QString& text);

// Draws the part of the scene that falls into area (picture pixels) with the
// painter, whose transformation must already map picture pixels to the
// device: the features kind by kind in the style's order, then the labels.
// Features outside area are skipped; the painter's device clips the rest.
// With a level (0 or 1), the painter maps the level's pixels to the device
// and area is in them: the features are drawn scaled with the level's widths,
// then the level's labels.
void DrawMapScene(const MapScene& scene, QPainter& painter, const QRectF& area, int level = -1);

// The whole scene as a picture of scene.width x scene.height (Format_RGB32).
QImage RenderMapScene(const MapScene& scene);

// Calls piece(points, start) for each run of the polyline line inside r, in
// order along it, start being the distance along line (pixels) at which the
// run begins; a run is cut where line leaves r.
void ForEachRunInside(const QPolygonF& line, const QRectF& r,
                      const std::function<void(QPolygonF&& points, double start)>& piece);

// The part of the scene inside rect as an image of rect's size (Format_RGB32);
// with a level, rect is in that level's pixels (zoomed positions).
QImage RenderMapScenePart(const MapScene& scene, const QRect& rect, int level = -1);

// Places the scene's level labels on each overview level, most important
// first, none overlapping another or a symbol.
void PlaceLevelLabels(MapScene& scene);

// Where labels and symbols are: a grid of 3-pixel cells, kept in blocks that
// are made when first written, so that a large, sparsely labelled map costs
// little. Labels are placed only on free cells, so that no two overlap. Cells
// within 2 pixels of the picture's edge never count as free.
class CLabelSpace {
public:
    CLabelSpace(int width, int height) : m_width(width), m_height(height) {}

    // A box of half extents hw (along angle) and hh around c.
    bool Free(QPointF c, double hw, double hh, double angle) const;
    void Take(QPointF c, double hw, double hh, double angle);
    bool FreeRect(const QRectF& r) const {
        return Free(r.center(), r.width() / 2, r.height() / 2, 0);
    }
    void TakeRect(const QRectF& r) { Take(r.center(), r.width() / 2, r.height() / 2, 0); }

private:
    static constexpr int kCell = 3;
    static constexpr int kBlock = 64; // cells a side of a block
    template <class F> void Visit(QPointF c, double hw, double hh, double angle, F f) const;
    bool Taken(int cx, int cy) const;
    void Mark(int cx, int cy);

    int m_width, m_height;
    std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> m_blocks;
};

// Places labels on a scene without overlaps: along paths glyph by glyph (never
// upside down) or in a box beside an anchor.
class CLabeller {
public:
    explicit CLabeller(MapScene& scene)
        : m_labels(scene.labels), m_space(scene.width, scene.height) {}
    // Labels of a picture of width x height pixels, into labels.
    CLabeller(std::vector<LabelRun>& labels, int width, int height)
        : m_labels(labels), m_space(width, height) {}
    CLabelSpace& Space() { return m_space; }

    // Text along path, centred at arc length centre. Refused when it does not
    // fit, bends too sharply, would be read upside down in any glyph, or a
    // glyph's box is taken or blocked(glyph centre) is true.
    bool TryPathLabel(const CPath& path, double centre, const QString& text,
                      const LabelStyle& style, const std::function<bool(QPointF)>& blocked = {});
    // Text in a box right of, left of, below or above anchor at distance gap,
    // or centred on it (a few positions around it) when gap <= 0.
    bool TryBoxLabel(QPointF anchor, const QString& text, const LabelStyle& style, double gap);
    // A label run placed by the caller, who has taken its space already.
    void AddRun(LabelRun run);

private:
    std::vector<LabelRun>& m_labels;
    CLabelSpace m_space;
};
