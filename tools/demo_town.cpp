#include "demo_town.h"
#include "map_scene.h"

#include <QDir>
#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPolygonF>

#include <algorithm>
#include <cmath>
#include <set>

// How a town is made. The town is laid out around a centre: an inner ring
// road, optionally an outer one, and radial main roads from the inner ring to
// the edge of the map. The rings and radials cut the town into districts; each
// district gets its own warped grid of streets (its own orientation, spacing
// and bends), clipped at the river, the railway, parks and the sea, so that
// streets end at the main roads around the district. Buildings are set along
// both sides of every street where there is room. Beyond the built-up edge lie
// fields and woods crossed by country lanes. Names are written along the
// streets glyph by glyph, following their bends, where they do not collide with
// other labels or junctions; every named thing also goes into the gazetteer at
// the spot where it is drawn.
//
// Coordinates are pixels of the whole map picture (x right, y down). Polar
// coordinates around the centre divide x distances by the stretch so that the
// rings are ellipses that suit a landscape map.

namespace {

// A small deterministic generator (xorshift32): the same seed draws the same
// town on every run.
class CRandom {
public:
    explicit CRandom(uint32_t seed) : m_state(seed ? seed : 0x9e3779b9u) {}
    uint32_t Next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }
    double Uniform(double lo, double hi) { return lo + (hi - lo) * (Next() / 4294967296.0); }
    bool Chance(double p) { return Uniform(0, 1) < p; }

private:
    uint32_t m_state;
};

// A Catmull-Rom curve through control points, sampled about every step pixels.
QPolygonF SmoothCurve(const std::vector<QPointF>& c, double step) {
    QPolygonF out;
    if (c.size() < 2)
        return out;
    for (size_t i = 0; i + 1 < c.size(); ++i) {
        const QPointF p0 = i > 0 ? c[i - 1] : c[i];
        const QPointF p1 = c[i], p2 = c[i + 1];
        const QPointF p3 = i + 2 < c.size() ? c[i + 2] : c[i + 1];
        const int n = std::max(1, int(QLineF(p1, p2).length() / step));
        for (int k = 0; k < n; ++k) {
            const double t = double(k) / n, t2 = t * t, t3 = t2 * t;
            out << 0.5 * (2 * p1 + (p2 - p0) * t + (2 * p0 - 5 * p1 + 4 * p2 - p3) * t2 +
                          (3 * p1 - p0 - 3 * p2 + p3) * t3);
        }
    }
    out << c.back();
    return out;
}

// A grey mask at half the picture's resolution: what is drawn into it blocks.
class CMask {
public:
    CMask(int width, int height)
        : m_image((width + 1) / 2, (height + 1) / 2, QImage::Format_Grayscale8) {
        m_image.fill(0);
    }
    bool At(QPointF p) const {
        const int x = int(p.x() * 0.5), y = int(p.y() * 0.5);
        if (x < 0 || y < 0 || x >= m_image.width() || y >= m_image.height())
            return false;
        return m_image.constScanLine(y)[x] != 0;
    }
    // A painter in picture coordinates that draws blocking areas.
    void Paint(const std::function<void(QPainter&)>& draw) {
        QPainter painter(&m_image);
        painter.scale(0.5, 0.5);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::white);
        draw(painter);
    }

private:
    QImage m_image;
};

// Words from which street and place names are made.
const char* const kStems[] = {
    "Alder",       "Ash",         "Aspen",      "Beech",       "Birch",     "Blackthorn",
    "Bramble",     "Briar",       "Broom",      "Cedar",       "Chestnut",  "Clover",
    "Elder",       "Elm",         "Fern",       "Furze",       "Gorse",     "Hawthorn",
    "Hazel",       "Heather",     "Holly",      "Hornbeam",    "Juniper",   "Larch",
    "Laurel",      "Lilac",       "Linden",     "Maple",       "Medlar",    "Myrtle",
    "Oak",         "Osier",       "Pine",       "Poplar",      "Rowan",     "Sedge",
    "Sorrel",      "Spruce",      "Sycamore",   "Tansy",       "Teasel",    "Thistle",
    "Walnut",      "Willow",      "Yew",        "Bittern",     "Buzzard",   "Curlew",
    "Dunlin",      "Falcon",      "Finch",      "Heron",       "Kestrel",   "Kingfisher",
    "Lapwing",     "Lark",        "Linnet",     "Mallard",     "Martin",    "Merlin",
    "Nightjar",    "Osprey",      "Owl",        "Pipit",       "Plover",    "Raven",
    "Redwing",     "Robin",       "Rook",       "Siskin",      "Skylark",   "Snipe",
    "Sparrow",     "Starling",    "Swallow",    "Swift",       "Teal",      "Thrush",
    "Wagtail",     "Warbler",     "Wren",       "Badger",      "Otter",     "Hare",
    "Abbey",       "Anvil",       "Barley",     "Barn",        "Beacon",    "Bell",
    "Brewery",     "Brook",       "Chapel",     "Church",      "Cloister",  "Colliery",
    "Copper",      "Cornmill",    "Cross",      "Dairy",       "Dovecote",  "Ferry",
    "Flax",        "Forge",       "Foundry",    "Friary",      "Furnace",   "Glebe",
    "Granary",     "Grange",      "Guild",      "Hayward",     "Kiln",      "Lantern",
    "Lock",        "Malthouse",   "Manor",      "Meadow",      "Mill",      "Minster",
    "Moat",        "Orchard",     "Paddock",    "Pinfold",     "Priory",    "Quarry",
    "Rope",        "Saddler",     "Salt",       "Smithy",      "Spinney",   "Spring",
    "Tannery",     "Tithe",       "Tollgate",   "Tower",       "Vicarage",  "Warren",
    "Weaver",      "Well",        "Wharf",      "Windmill",    "Wool",      "Yeoman",
    "Ambrey",      "Brackwell",   "Calderby",   "Corran",      "Dunmere",   "Elsby",
    "Fennick",     "Garrowby",    "Halswick",   "Kelmere",     "Larrow",    "Marrowby",
    "Nethercot",   "Pellworth",   "Quenmore",   "Radlowe",     "Selbury",   "Tarnwick",
    "Ulbrook",     "Wenmore",     "Yarncliffe", "Orrin",       "Penhallow", "Treworth",
    "Cindercombe", "Fallowfield", "Greystone",  "Highcroft",   "Longacre",  "Redstone",
    "Stonecroft",  "Whitegate",   "Blackwater", "Coldharbour", "Foxhollow", "Harewood",
    "Moorcroft",   "Oakhurst"};

// Street name endings by kind of street.
const char* const kLongSuffixes[] = {"Road", "Street", "Avenue", "Lane", "Way"};
const char* const kMiddleSuffixes[] = {"Road",  "Street", "Lane", "Grove",   "Terrace",
                                       "Place", "Walk",   "Way",  "Gardens", "Drive"};
const char* const kShortSuffixes[] = {"Close", "Mews", "Court", "Row", "Place", "Walk", "Gardens"};
const char* const kCentreSuffixes[] = {"Street", "Lane", "Row", "Place", "Walk", "Yard", "Gate"};
const char* const kSuburbSuffixes[] = {"Drive", "Crescent", "Gardens", "Avenue",
                                       "Way",   "Rise",     "Grove",   "Road"};
const char* const kRingSuffixes[] = {"Way", "Road", "Parade", "Avenue"};

using StreetKind = RoadKind;
constexpr RoadKind MINOR = RoadKind::Minor, MAIN = RoadKind::Main, RING = RoadKind::Ring,
                   LANE = RoadKind::Lane, CLOSE = RoadKind::Close;

struct Street {
    CPath path;
    StreetKind kind = MINOR;
    int district = -1;
    QString name; // empty: unnamed
    bool labelled = false;
};

struct StationPlan {
    int railway; // index into the railways
    double at;   // fraction of the railway's length
    QString name;
};

struct PlacePlan {
    QString name;
    QString kind; // shown as extra2 ("Museum", "Park")
};

struct TownPlan {
    QString title;
    int width = 0, height = 0;
    uint32_t seed = 1;
    QPointF centre;
    double stretch = 1.2;
    double innerRing = 0, outerRing = 0, urbanEdge = 0; // radii in the stretched metric
    std::vector<double> radials;                        // degrees from east, clockwise (y down)
    QStringList radialNames;
    int throughA = -1, throughB = -1; // radials joined across the centre
    QString throughName;
    QString postcodeArea;
    QStringList districtNames; // centre, inner sectors, outer sectors
    std::vector<QPointF> river;
    double riverWidth = 30;
    QString riverName;
    std::vector<std::vector<QPointF>> railways;
    QStringList railwayNames;
    std::vector<StationPlan> stations;
    double coastX = 0; // sea to the east of about this x; 0: no sea
    QString seaName;
    std::vector<std::pair<QPointF, QString>> parks; // a park at a point ((0,0): anywhere)
    QStringList woods;
    std::vector<PlacePlan> hospitals;
    std::vector<PlacePlan> places;
    double spacingCentre = 110, spacingInner = 150, spacingOuter = 180;
    MapCalibration calibration;
    QColor rural = QColor(0xee, 0xf2, 0xdc);
    std::vector<QColor> fields;
};

class CTownBuilder {
public:
    explicit CTownBuilder(const TownPlan& plan)
        : m_plan(plan), m_rng(plan.seed), m_obstacle(plan.width, plan.height),
          m_river(plan.width, plan.height), m_rail(plan.width, plan.height),
          m_roads(plan.width, plan.height),
          m_mainRoads(plan.width, plan.height), m_scene{plan.width, plan.height, plan.rural, {},
                                                        {},         {},          {}},
          m_labeller(m_scene) {}

    DemoTown Build();

private:
    // Geometry of the town plan.
    void Polar(QPointF p, double& r, double& phi) const {
        const double dx = (p.x() - m_plan.centre.x()) / m_plan.stretch;
        const double dy = p.y() - m_plan.centre.y();
        r = std::hypot(dx, dy);
        phi = std::atan2(dy, dx);
    }
    QPointF FromPolar(double r, double phi) const {
        return {m_plan.centre.x() + m_plan.stretch * r * std::cos(phi),
                m_plan.centre.y() + r * std::sin(phi)};
    }
    double RingRadius(int ring, double phi) const {
        const double base = ring == 0 ? m_plan.innerRing : m_plan.outerRing;
        const double* a = m_ringPhase[ring];
        return base * (1 + 0.07 * std::sin(2 * phi + a[0]) + 0.04 * std::sin(3 * phi + a[1]) +
                       0.025 * std::sin(5 * phi + a[2]));
    }
    double UrbanRadius(double phi) const {
        return m_plan.urbanEdge * (1 + 0.11 * std::sin(3 * phi + m_urbanPhase[0]) +
                                   0.07 * std::sin(5 * phi + m_urbanPhase[1]) +
                                   0.04 * std::sin(9 * phi + m_urbanPhase[2]));
    }
    double RadialAngle(size_t j, double r) const {
        const double c = m_radialPhase[j];
        return m_plan.radials[j] * kPi / 180 + 0.13 * (std::sin(r / 430 + c) - std::sin(c));
    }
    bool HasOuterRing() const { return m_plan.outerRing > 0; }
    int SectorCount() const { return int(m_plan.radials.size()); }
    int DistrictCount() const { return 1 + SectorCount() * (HasOuterRing() ? 2 : 1); }
    int Band(int district) const {
        return district <= 0 ? district : (district - 1) / SectorCount() + 1;
    }
    // The district at p: 0 inside the inner ring, then the sectors between
    // radials ring by ring; -1 beyond the built-up edge.
    int DistrictAt(QPointF p) const;
    bool InSea(QPointF p) const { return m_plan.coastX > 0 && p.x() > CoastX(p.y()); }
    double CoastX(double y) const {
        return m_plan.coastX + 55 * std::sin(y / 330 + 0.7) + 22 * std::sin(y / 97 + 2.1);
    }
    bool OnMap(QPointF p, double margin = 0) const {
        return p.x() >= -margin && p.y() >= -margin && p.x() < m_plan.width + margin &&
               p.y() < m_plan.height + margin;
    }
    QString Postcode(QPointF p) const;
    QString DistrictName(int district) const {
        return district >= 0 && district < m_plan.districtNames.size()
                   ? m_plan.districtNames[district]
                   : m_plan.districtNames.value(0);
    }

    void MakeWaterAndRail();
    void MakeParks();
    // The main roads: the radials, the rings and the route through the centre.
    void MakeMainRoads();
    // The radials, from the inner ring outwards, cut where they first run
    // into the sea or far off the map; one per radial, empty where none is left.
    std::vector<QPolygonF> MakeRadials();
    // The rings, one arc between each pair of radials.
    void MakeRings();
    // A district's streets: a warped grid of its own (orientation, spacing,
    // bends), cut where a street may not pass, and closes off its blocks.
    struct CDistrictGrid {
        int district = 0, band = 0;
        QPointF origin, e1, e2; // e2 along the A streets, e1 across them
        double warp = 0;        // pixels the grid bends at most
        double wavelength[3] = {}, phase[3] = {};
        std::pair<double, double> uRange, vRange; // the grid's extent
        std::vector<double> us, vs;               // the A streets, the cross streets
        // The point of grid coordinates (u across, v along).
        QPointF World(double u, double v) const;
    };
    bool PlanDistrictGrid(int district, CDistrictGrid& grid);
    bool StreetMayPass(QPointF p, int district, bool crossRiver, bool crossRail) const;
    // Walks one grid line and keeps the runs of points where a street may
    // pass, outside the dropped stretches, as streets.
    void WalkGridLine(const CDistrictGrid& grid, bool familyA, double fixed,
                      const std::vector<double>& others, const std::vector<bool>& dropped);
    void MakeCloses(const CDistrictGrid& grid);
    void MakeDistrictStreets(int district);
    void MakeLanes();
    void NameStreets();
    void MakeRoadMasks();
    void PlaceStations();
    void PlaceBuildingsOfNote();
    void MakeBuildings();
    void PlaceLabels();
    void PlaceWaterLabels();
    void PlaceDistrictLabels();
    void PlaceStreetLabels();
    void MakeScene();
    void AddBridges();
    void AddGazetteer();

    QString TakeName(const char* const* suffixes, size_t count);
    // A label along path, kept off the main roads when checkRoads is set.
    bool TryPathLabel(const CPath& path, double centre, const QString& text, LabelKind kind,
                      bool checkRoads);
    bool FreeFootprint(const QRectF& r, bool allowPark = false) const;
    QPointF FindSpot(const QSizeF& size, int district, bool anyDistrict);

    const TownPlan& m_plan;
    CRandom m_rng;
    double m_ringPhase[2][3] = {};
    double m_urbanPhase[3] = {};
    std::vector<double> m_radialPhase;

    CMask m_obstacle;  // parks and sea: no streets, no buildings
    CMask m_river;     // the river with its banks
    CMask m_rail;      // the railway corridor
    CMask m_roads;     // every road with a margin, and buildings of note
    CMask m_mainRoads; // main roads only
    MapScene m_scene;  // what the picture shows, labels included
    CLabeller m_labeller;

    CPath m_riverPath;
    std::vector<CPath> m_railPaths;
    std::vector<QPolygonF> m_parks;
    std::vector<QString> m_parkNames;
    std::vector<QPolygonF> m_woods;
    std::vector<Street> m_streets;
    std::vector<QPointF> m_junctions;
    std::vector<QPolygonF> m_buildings;
    std::vector<QPointF> m_closeEnds;

    struct Station {
        QPointF at;
        double angle;
        QString name;
        QString line;
    };
    std::vector<Station> m_stations;
    struct Landmark {
        QRectF footprint;
        QString name;
        QString kind;
        QString category;
    };
    std::vector<Landmark> m_landmarks;
    std::set<QString> m_usedNames;
    std::vector<int> m_stemOrder;
    size_t m_nextStem = 0;
    std::vector<PlaceRecord> m_places;
};

int CTownBuilder::DistrictAt(QPointF p) const {
    double r, phi;
    Polar(p, r, phi);
    if (r > UrbanRadius(phi))
        return -1;
    if (r < RingRadius(0, phi))
        return 0;
    const int n = SectorCount();
    int sector = n - 1; // between the last radial and the first
    for (int j = 0; j < n; ++j) {
        const double a = RadialAngle(size_t(j), r);
        const double b = RadialAngle(size_t((j + 1) % n), r) + (j + 1 == n ? 2 * kPi : 0);
        double x = phi;
        while (x < a)
            x += 2 * kPi;
        while (x >= a + 2 * kPi)
            x -= 2 * kPi;
        if (x < b) {
            sector = j;
            break;
        }
    }
    const bool outer = HasOuterRing() && r >= RingRadius(1, phi);
    return 1 + sector + (outer ? n : 0);
}

QString CTownBuilder::Postcode(QPointF p) const {
    const int district = DistrictAt(p);
    const int number = district < 0 ? DistrictCount() + 1 : district + 1;
    const int sector = 1 + (int(p.x() / 650) * 7 + int(p.y() / 650) * 3) % 9;
    return QStringLiteral("%1%2 %3").arg(m_plan.postcodeArea).arg(number).arg(sector);
}

QString CTownBuilder::TakeName(const char* const* suffixes, size_t count) {
    const size_t stems = std::size(kStems);
    for (int attempt = 0; attempt < 4000; ++attempt) {
        const int stem = m_stemOrder[m_nextStem++ % stems];
        const QString name = QStringLiteral("%1 %2").arg(
            QLatin1String(kStems[stem]), QLatin1String(suffixes[m_rng.Next() % count]));
        if (m_usedNames.insert(name).second)
            return name;
    }
    return {};
}

void CTownBuilder::MakeWaterAndRail() {
    const QPolygonF river = SmoothCurve(m_plan.river, 6);
    m_riverPath = CPath(river);
    m_river.Paint([&](QPainter& p) {
        p.setPen(QPen(Qt::white, m_plan.riverWidth + 16, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(river);
    });
    for (const auto& controls : m_plan.railways)
        m_railPaths.emplace_back(SmoothCurve(controls, 6));
    m_rail.Paint([&](QPainter& p) {
        p.setPen(QPen(Qt::white, 16, Qt::SolidLine, Qt::FlatCap));
        p.setBrush(Qt::NoBrush);
        for (const CPath& rail : m_railPaths)
            p.drawPolyline(rail.Points());
    });
    if (m_plan.coastX > 0) {
        m_obstacle.Paint([&](QPainter& p) {
            QPolygonF sea;
            for (int y = -10; y <= m_plan.height + 10; y += 8)
                sea << QPointF(CoastX(y) - 30, y); // the beach, too
            sea << QPointF(m_plan.width + 10, m_plan.height + 10)
                << QPointF(m_plan.width + 10, -10);
            p.drawPolygon(sea);
        });
    }
}

void CTownBuilder::MakeParks() {
    for (const auto& [where, name] : m_plan.parks) {
        QPointF c = where;
        double rx = m_rng.Uniform(120, 210), ry = m_rng.Uniform(100, 170);
        if (c.isNull()) {
            // Anywhere in town, clear of the railway, the river and other parks.
            bool found = false;
            for (int attempt = 0; attempt < 400 && !found; ++attempt) {
                c = QPointF(m_rng.Uniform(200, m_plan.width - 200),
                            m_rng.Uniform(200, m_plan.height - 200));
                const int d = DistrictAt(c);
                found = d > 0 && !InSea(c) && !m_river.At(c) && !m_rail.At(c);
                for (const QPolygonF& park : m_parks)
                    found = found && QLineF(c, park.boundingRect().center()).length() > 600;
                for (int k = 0; k < 48 && found; ++k) {
                    const double f = k < 24 ? 1.15 : 0.6;
                    const QPointF edge = c + QPointF(f * rx * std::cos(k * kPi / 12),
                                                     f * ry * std::sin(k * kPi / 12));
                    found = !m_rail.At(edge) && !m_river.At(edge) && !InSea(edge) &&
                            DistrictAt(edge) >= 0;
                }
            }
            if (!found)
                continue;
        }
        QPolygonF park;
        const double a1 = m_rng.Uniform(0, 6), a2 = m_rng.Uniform(0, 6),
                     tilt = m_rng.Uniform(0, kPi);
        for (int k = 0; k < 48; ++k) {
            const double t = 2 * kPi * k / 48;
            const double wobble = 1 + 0.12 * std::sin(3 * t + a1) + 0.07 * std::sin(5 * t + a2);
            const QPointF local(rx * wobble * std::cos(t), ry * wobble * std::sin(t));
            park << c + QPointF(local.x() * std::cos(tilt) - local.y() * std::sin(tilt),
                                local.x() * std::sin(tilt) + local.y() * std::cos(tilt));
        }
        m_parks.push_back(park);
        m_parkNames.push_back(name);
    }
    m_obstacle.Paint([&](QPainter& p) {
        for (const QPolygonF& park : m_parks)
            p.drawPolygon(park);
    });
}

void CTownBuilder::MakeMainRoads() {
    const std::vector<QPolygonF> radials = MakeRadials();
    MakeRings();
    // The route through the centre.
    if (m_plan.throughA < 0 || m_plan.throughB < 0)
        return;
    const QPolygonF& a = radials[size_t(m_plan.throughA)];
    const QPolygonF& b = radials[size_t(m_plan.throughB)];
    if (a.isEmpty() || b.isEmpty())
        return;
    const QPointF mid =
        (a.front() + b.front()) / 2 + QPointF(m_rng.Uniform(-60, 60), m_rng.Uniform(-40, 40));
    const QPointF q1 =
        (a.front() * 2 + mid) / 3 + QPointF(m_rng.Uniform(-40, 40), m_rng.Uniform(-40, 40));
    const QPointF q2 =
        (b.front() * 2 + mid) / 3 + QPointF(m_rng.Uniform(-40, 40), m_rng.Uniform(-40, 40));
    Street street;
    street.path = CPath(SmoothCurve({a.front(), q1, mid, q2, b.front()}, 6));
    street.kind = MAIN;
    street.name = m_plan.throughName;
    m_usedNames.insert(street.name);
    m_streets.push_back(street);
}

std::vector<QPolygonF> CTownBuilder::MakeRadials() {
    const int n = SectorCount();
    const double far = 2.5 * std::max(m_plan.width, m_plan.height);
    auto clipToLand = [&](const QPolygonF& line) {
        // Cut a road where it first runs into the sea or far off the map.
        QPolygonF out;
        for (const QPointF& p : line) {
            if (InSea(p) || !OnMap(p, 60))
                break;
            out << p;
        }
        return out;
    };
    std::vector<QPolygonF> radials(static_cast<size_t>(n));
    for (int j = 0; j < n; ++j) {
        QPolygonF line;
        double r0 = m_plan.innerRing;
        for (int k = 0; k < 4; ++k)
            r0 = RingRadius(0, RadialAngle(size_t(j), r0));
        for (double r = r0; r < far; r += 6)
            line << FromPolar(r, RadialAngle(size_t(j), r));
        radials[size_t(j)] = clipToLand(line);
        if (!radials[size_t(j)].isEmpty())
            m_junctions.push_back(radials[size_t(j)].front());
        if (HasOuterRing()) {
            for (const QPointF& p : radials[size_t(j)]) {
                double r, phi;
                Polar(p, r, phi);
                if (r >= RingRadius(1, phi)) {
                    m_junctions.push_back(p);
                    break;
                }
            }
        }
        if (radials[size_t(j)].size() > 2) {
            Street street;
            street.path = CPath(radials[size_t(j)]);
            street.kind = MAIN;
            street.name = m_plan.radialNames.value(j);
            m_usedNames.insert(street.name);
            m_streets.push_back(street);
        }
    }
    return radials;
}

void CTownBuilder::MakeRings() {
    const int n = SectorCount();
    for (int ring = 0; ring < (HasOuterRing() ? 2 : 1); ++ring) {
        std::vector<double> cross(static_cast<size_t>(n));
        for (int j = 0; j < n; ++j) {
            double phi = m_plan.radials[size_t(j)] * kPi / 180;
            for (int k = 0; k < 5; ++k)
                phi = RadialAngle(size_t(j), RingRadius(ring, phi));
            cross[size_t(j)] = phi;
        }
        for (int j = 0; j < n; ++j) {
            double a = cross[size_t(j)], b = cross[size_t((j + 1) % n)];
            while (b <= a)
                b += 2 * kPi;
            QPolygonF arc;
            const double step =
                6.0 / (m_plan.outerRing > 0 && ring ? m_plan.outerRing : m_plan.innerRing);
            for (double phi = a; phi < b; phi += step)
                arc << FromPolar(RingRadius(ring, phi), phi);
            arc << FromPolar(RingRadius(ring, b), b);
            QPolygonF land;
            for (const QPointF& p : arc)
                if (!InSea(p))
                    land << p;
            if (land.size() < 3)
                continue;
            Street street;
            street.path = CPath(land);
            street.kind = RING;
            street.name = TakeName(kRingSuffixes, std::size(kRingSuffixes));
            m_streets.push_back(street);
        }
    }
}

bool CTownBuilder::PlanDistrictGrid(int district, CDistrictGrid& grid) {
    // Where the district lies, on a coarse grid.
    QRectF box;
    int cells = 0;
    for (int y = 0; y < m_plan.height; y += 20)
        for (int x = 0; x < m_plan.width; x += 20)
            if (DistrictAt(QPointF(x, y)) == district) {
                box |= QRectF(x - 20, y - 20, 40, 40);
                ++cells;
            }
    if (cells < 30)
        return false;
    grid.district = district;
    grid.band = Band(district);
    const int band = grid.band;
    double spacing = band == 0   ? m_plan.spacingCentre
                     : band == 1 ? m_plan.spacingInner
                                 : m_plan.spacingOuter;
    if (!HasOuterRing() && band == 1)
        spacing = (m_plan.spacingInner + m_plan.spacingOuter) / 2;
    spacing *= m_rng.Uniform(0.9, 1.12);
    const double aspect = m_rng.Uniform(1.35, 1.9);

    // The grid runs along the district's radial direction.
    double along;
    if (band == 0) {
        along = m_rng.Uniform(0, kPi);
    } else {
        const int sector = (district - 1) % SectorCount();
        const double a = m_plan.radials[size_t(sector)] * kPi / 180;
        double b = m_plan.radials[size_t((sector + 1) % SectorCount())] * kPi / 180;
        while (b <= a)
            b += 2 * kPi;
        const double mid = (a + b) / 2;
        along =
            std::atan2(std::sin(mid), m_plan.stretch * std::cos(mid)) + m_rng.Uniform(-0.3, 0.3);
    }
    grid.e2 = QPointF(std::cos(along), std::sin(along));
    grid.e1 = QPointF(-grid.e2.y(), grid.e2.x());
    grid.origin = box.center();
    grid.warp = band == 2 ? 75 : band == 1 ? 45 : 28;
    grid.wavelength[0] = m_rng.Uniform(380, 600);
    grid.wavelength[1] = m_rng.Uniform(300, 520);
    grid.wavelength[2] = m_rng.Uniform(420, 700);
    for (double& phase : grid.phase)
        phase = m_rng.Uniform(0, 6);
    double umin = 1e9, umax = -1e9, vmin = 1e9, vmax = -1e9;
    for (const QPointF& c : {box.topLeft(), box.topRight(), box.bottomLeft(), box.bottomRight()}) {
        const QPointF d = c - grid.origin;
        const double u = QPointF::dotProduct(d, grid.e1), v = QPointF::dotProduct(d, grid.e2);
        umin = std::min(umin, u), umax = std::max(umax, u), vmin = std::min(vmin, v),
        vmax = std::max(vmax, v);
    }
    const double margin = 2 * grid.warp;
    grid.uRange = {umin - margin, umax + margin};
    grid.vRange = {vmin - margin, vmax + margin};
    for (double u = grid.uRange.first + m_rng.Uniform(0, spacing); u < grid.uRange.second;
         u += spacing * m_rng.Uniform(0.75, 1.25))
        grid.us.push_back(u);
    for (double v = grid.vRange.first + m_rng.Uniform(0, spacing); v < grid.vRange.second;
         v += spacing * aspect * m_rng.Uniform(0.75, 1.3))
        grid.vs.push_back(v);
    return grid.us.size() >= 2 && grid.vs.size() >= 2;
}

QPointF CTownBuilder::CDistrictGrid::World(double u, double v) const {
    const double wu = warp * (0.75 * std::sin(v / wavelength[0] + phase[0]) +
                              0.25 * std::sin((u + v) / wavelength[1] + phase[1]));
    const double wv = warp * 0.8 * std::sin(u / wavelength[2] + phase[2]);
    return origin + e1 * (u + wu) + e2 * (v + wv);
}

bool CTownBuilder::StreetMayPass(QPointF p, int district, bool crossRiver, bool crossRail) const {
    return OnMap(p, 10) && DistrictAt(p) == district && !m_obstacle.At(p) && !InSea(p) &&
           (crossRiver || !m_river.At(p)) && (crossRail || !m_rail.At(p));
}

void CTownBuilder::WalkGridLine(const CDistrictGrid& grid, bool familyA, double fixed,
                                const std::vector<double>& others,
                                const std::vector<bool>& dropped) {
    const bool crossRiver = m_rng.Chance(0.12), crossRail = m_rng.Chance(0.3);
    const auto [lo, hi] = familyA ? grid.vRange : grid.uRange;
    auto world = [&](double t) { return familyA ? grid.World(fixed, t) : grid.World(t, fixed); };
    QPolygonF run;
    std::vector<double> runParams;
    auto flush = [&]() {
        if (run.size() >= 2 && CPath(run).Length() >= 45) {
            Street street;
            street.path = CPath(run);
            street.kind = MINOR;
            street.district = grid.district;
            m_streets.push_back(street);
            m_junctions.push_back(run.front());
            m_junctions.push_back(run.back());
            for (double o : others)
                if (o > runParams.front() + 8 && o < runParams.back() - 8)
                    m_junctions.push_back(world(o));
        }
        run.clear();
        runParams.clear();
    };
    for (double t = lo; t <= hi; t += 6) {
        const size_t segment =
            size_t(std::upper_bound(others.begin(), others.end(), t) - others.begin());
        const QPointF p = world(t);
        if (segment < dropped.size() && !dropped[segment] &&
            StreetMayPass(p, grid.district, crossRiver, crossRail)) {
            run << p;
            runParams.push_back(t);
        } else {
            flush();
        }
    }
    flush();
}

void CTownBuilder::MakeCloses(const CDistrictGrid& grid) {
    const std::vector<double>&us = grid.us, &vs = grid.vs;
    for (size_t i = 0; i + 1 < us.size(); ++i) {
        for (size_t k = 0; k + 1 < vs.size(); ++k) {
            if (!m_rng.Chance(grid.band == 2 ? 0.3 : 0.12))
                continue;
            const double v = (vs[k] + vs[k + 1]) / 2 + m_rng.Uniform(-15, 15);
            const double length = 0.55 * (us[i + 1] - us[i]);
            QPolygonF close;
            bool ok = true;
            for (double u = us[i]; u <= us[i] + length && ok; u += 6) {
                const QPointF p = grid.World(u, v);
                ok = StreetMayPass(p, grid.district, false, false);
                close << p;
            }
            if (!ok || close.size() < 8)
                continue;
            Street street;
            street.path = CPath(close);
            street.kind = CLOSE;
            street.district = grid.district;
            m_streets.push_back(street);
            m_junctions.push_back(close.front());
            m_closeEnds.push_back(close.back());
        }
    }
}

void CTownBuilder::MakeDistrictStreets(int district) {
    CDistrictGrid grid;
    if (!PlanDistrictGrid(district, grid))
        return;
    // Grid lines are dropped in stretches between crossings, the A streets
    // less often than the cross streets.
    const double dropA = grid.band == 0 ? 0.06 : 0.1, dropB = grid.band == 0 ? 0.15 : 0.28;
    for (size_t i = 0; i < grid.us.size(); ++i) {
        std::vector<bool> dropped(grid.vs.size() + 1);
        for (size_t k = 0; k <= grid.vs.size(); ++k)
            dropped[k] = m_rng.Chance(dropA);
        WalkGridLine(grid, true, grid.us[i], grid.vs, dropped);
    }
    for (size_t k = 0; k < grid.vs.size(); ++k) {
        std::vector<bool> dropped(grid.us.size() + 1);
        for (size_t i = 0; i <= grid.us.size(); ++i)
            dropped[i] = m_rng.Chance(dropB);
        WalkGridLine(grid, false, grid.vs[k], grid.us, dropped);
    }
    // Closes: short dead ends into the middle of suburban blocks.
    if (grid.band >= 1)
        MakeCloses(grid);
}

void CTownBuilder::MakeLanes() {
    // Country lanes: a wobbly ring beyond the built-up edge, between radials.
    const int n = SectorCount();
    for (int j = 0; j < n; ++j) {
        double a = m_plan.radials[size_t(j)] * kPi / 180,
               b = m_plan.radials[size_t((j + 1) % n)] * kPi / 180;
        while (b <= a)
            b += 2 * kPi;
        const double shift = m_rng.Uniform(1.18, 1.35);
        QPolygonF run;
        auto flush = [&]() {
            if (run.size() > 20) {
                Street lane;
                lane.path = CPath(run);
                lane.kind = LANE;
                m_streets.push_back(lane);
            }
            run.clear();
        };
        for (double phi = a; phi <= b; phi += 0.002) {
            const double r = UrbanRadius(phi) * shift * (1 + 0.05 * std::sin(phi * 11 + j));
            const QPointF p = FromPolar(r, phi);
            if (OnMap(p, 10) && DistrictAt(p) < 0 && !InSea(p) && !m_obstacle.At(p) &&
                !m_river.At(p) && !m_rail.At(p))
                run << p;
            else
                flush();
        }
        flush();
    }
}

void CTownBuilder::NameStreets() {
    for (Street& street : m_streets) {
        if (!street.name.isEmpty())
            continue;
        const double length = street.path.Length();
        const int band = Band(street.district);
        if (street.kind == LANE) {
            static const char* const lane[] = {"Lane"};
            street.name = TakeName(lane, 1);
            continue;
        }
        if (street.kind == CLOSE) {
            static const char* const close[] = {"Close", "Court", "Mews"};
            if (length >= 45)
                street.name = TakeName(close, std::size(close));
            continue;
        }
        if (length < 95)
            continue;
        if (band == 0)
            street.name = TakeName(kCentreSuffixes, std::size(kCentreSuffixes));
        else if (length > 650)
            street.name = TakeName(kLongSuffixes, std::size(kLongSuffixes));
        else if (band == 2 || (!HasOuterRing() && band == 1 && m_rng.Chance(0.4)))
            street.name = TakeName(kSuburbSuffixes, std::size(kSuburbSuffixes));
        else if (length > 240)
            street.name = TakeName(kMiddleSuffixes, std::size(kMiddleSuffixes));
        else
            street.name = TakeName(kShortSuffixes, std::size(kShortSuffixes));
    }
}

void CTownBuilder::MakeRoadMasks() {
    m_roads.Paint([&](QPainter& p) {
        for (const Street& street : m_streets) {
            p.setPen(QPen(Qt::white, RoadStyleOf(street.kind).casingWidth + 3, Qt::SolidLine,
                          Qt::RoundCap, Qt::RoundJoin));
            p.drawPolyline(street.path.Points());
        }
        p.setPen(Qt::NoPen);
        for (const QPointF& end : m_closeEnds)
            p.drawEllipse(end, 14, 14);
    });
    m_mainRoads.Paint([&](QPainter& p) {
        for (const Street& street : m_streets) {
            if (street.kind != MAIN && street.kind != RING)
                continue;
            p.setPen(QPen(Qt::white, RoadStyleOf(street.kind).casingWidth, Qt::SolidLine,
                          Qt::RoundCap, Qt::RoundJoin));
            p.drawPolyline(street.path.Points());
        }
    });
}

bool CTownBuilder::FreeFootprint(const QRectF& r, bool allowPark) const {
    for (double y = r.top(); y <= r.bottom() + 0.1; y += std::max(1.0, r.height() / 6))
        for (double x = r.left(); x <= r.right() + 0.1; x += std::max(1.0, r.width() / 6)) {
            const QPointF p(x, y);
            if (!OnMap(p, -20) || m_roads.At(p) || m_river.At(p) || m_rail.At(p) || InSea(p) ||
                DistrictAt(p) < 0 || (!allowPark && m_obstacle.At(p)))
                return false;
        }
    return true;
}

QPointF CTownBuilder::FindSpot(const QSizeF& size, int district, bool anyDistrict) {
    for (int attempt = 0; attempt < 3000; ++attempt) {
        const QPointF c(m_rng.Uniform(100, m_plan.width - 100),
                        m_rng.Uniform(100, m_plan.height - 100));
        if (!anyDistrict && DistrictAt(c) != district)
            continue;
        const QRectF r(c - QPointF(size.width() / 2, size.height() / 2), size);
        if (FreeFootprint(r.adjusted(-6, -6, 6, 6)))
            return c;
    }
    return {};
}

void CTownBuilder::PlaceStations() {
    for (const StationPlan& plan : m_plan.stations) {
        if (plan.railway < 0 || size_t(plan.railway) >= m_railPaths.size())
            continue;
        const CPath& rail = m_railPaths[size_t(plan.railway)];
        const double s = plan.at * rail.Length();
        const QPointF at = rail.At(s);
        if (!OnMap(at, -150))
            continue;
        m_stations.push_back(
            {at, rail.AngleAt(s, 20), plan.name, m_plan.railwayNames.value(plan.railway)});
    }
    // Station buildings keep buildings away.
    m_roads.Paint([&](QPainter& p) {
        for (const Station& station : m_stations)
            p.drawEllipse(station.at, 40, 40);
    });
}

void CTownBuilder::PlaceBuildingsOfNote() {
    auto place = [&](const PlacePlan& plan, const QString& category, int preferred, QSizeF size) {
        QPointF c = preferred >= 0 ? FindSpot(size, preferred, false) : QPointF();
        if (c.isNull())
            c = FindSpot(size, -1, true);
        if (c.isNull())
            return;
        const QRectF footprint(c - QPointF(size.width() / 2, size.height() / 2), size);
        m_landmarks.push_back({footprint, plan.name, plan.kind, category});
        m_roads.Paint([&](QPainter& p) { p.drawRect(footprint.adjusted(-8, -8, 8, 8)); });
    };
    // Hospitals spread over the town, places of note mostly near the centre.
    for (size_t i = 0; i < m_plan.hospitals.size(); ++i) {
        const int district = i == 0 ? 0 : 1 + int(i * 3) % (DistrictCount() - 1);
        place(m_plan.hospitals[i], QStringLiteral("Hospitals"), district, QSizeF(64, 44));
    }
    for (size_t i = 0; i < m_plan.places.size(); ++i) {
        const int district = i < 5 ? 0 : 1 + int(i * 5) % (DistrictCount() - 1);
        place(m_plan.places[i], QStringLiteral("Places"), district,
              QSizeF(m_rng.Uniform(40, 64), m_rng.Uniform(30, 46)));
    }
}

void CTownBuilder::MakeBuildings() {
    for (const Street& street : m_streets) {
        if (street.kind == LANE)
            continue;
        const CPath& path = street.path;
        const double half = RoadStyleOf(street.kind).casingWidth / 2;
        const bool centre = street.district == 0;
        for (int side = -1; side <= 1; side += 2) {
            double s = m_rng.Uniform(2, 10);
            while (s < path.Length() - 4) {
                const double width = centre ? m_rng.Uniform(16, 34) : m_rng.Uniform(11, 20);
                const double depth = centre ? m_rng.Uniform(26, 44) : m_rng.Uniform(16, 28);
                const double angle = path.AngleAt(s + width / 2);
                const QPointF t(std::cos(angle), std::sin(angle));
                const QPointF n(-t.y() * side, t.x() * side);
                const QPointF base = path.At(s + width / 2) + n * (half + 3.5);
                const double w = width - (centre ? 0.5 : 2);
                const QPointF c0 = base - t * (w / 2), c1 = base + t * (w / 2);
                const QPolygonF footprint{c0, c1, c1 + n * depth, c0 + n * depth};
                bool ok = !m_rng.Chance(centre ? 0.02 : 0.07);
                const QPointF probes[] = {c0,
                                          c1,
                                          c0 + n * depth,
                                          c1 + n * depth,
                                          base + n * (depth / 2),
                                          base + n * depth,
                                          c0 + n * (depth / 2),
                                          c1 + n * (depth / 2)};
                for (const QPointF& probe : probes) {
                    if (!ok)
                        break;
                    ok = OnMap(probe, -2) && !m_roads.At(probe) && !m_obstacle.At(probe) &&
                         !m_river.At(probe) && !m_rail.At(probe) && !InSea(probe) &&
                         DistrictAt(probe) >= 0;
                }
                if (ok)
                    m_buildings.push_back(footprint);
                s += width;
            }
        }
    }
}

bool CTownBuilder::TryPathLabel(const CPath& path, double centre, const QString& text,
                                LabelKind kind, bool checkRoads) {
    return m_labeller.TryPathLabel(path, centre, text, LabelStyleOf(kind),
                                   [&](QPointF at) { return checkRoads && m_mainRoads.At(at); });
}

void CTownBuilder::PlaceLabels() {
    // Symbols first: nothing may cover them.
    for (const Station& s : m_stations)
        m_labeller.Space().Take(s.at, 12, 8, s.angle);
    for (const Landmark& l : m_landmarks)
        m_labeller.Space().TakeRect(
            l.category == QLatin1String("Hospitals")
                ? QRectF(l.footprint.center() - QPointF(9, 9), QSizeF(18, 18))
                : QRectF(l.footprint.center() - QPointF(4, 4), QSizeF(8, 8)));
    // Junctions: street names do not run across them.
    for (const QPointF& j : m_junctions)
        m_labeller.Space().Take(j, 8, 8, 0);

    std::vector<LevelLabel>& level = m_scene.levelLabels;
    for (const Station& s : m_stations) {
        m_labeller.TryBoxLabel(s.at, s.name, LabelStyleOf(LabelKind::Station), 14);
        level.push_back({LabelKind::Station, 0, s.name, s.at, 14});
    }
    for (const Landmark& l : m_landmarks) {
        const bool isHospital = l.category == QLatin1String("Hospitals");
        const LabelKind kind = isHospital ? LabelKind::Hospital : LabelKind::Landmark;
        const double gap = l.footprint.width() / 2 + (isHospital ? 4 : 2);
        m_labeller.TryBoxLabel(l.footprint.center(), l.name, LabelStyleOf(kind), gap);
        level.push_back({kind, 0, l.name, l.footprint.center(), gap});
    }
    for (size_t i = 0; i < m_parks.size(); ++i) {
        const QRectF bounds = m_parks[i].boundingRect();
        m_labeller.TryBoxLabel(bounds.center(), m_parkNames[i], LabelStyleOf(LabelKind::Park), 0);
        level.push_back({LabelKind::Park, 0, m_parkNames[i], bounds.center(), 0, bounds.size()});
    }
    for (size_t i = 0; i < m_woods.size() && i < size_t(m_plan.woods.size()); ++i) {
        const QRectF bounds = m_woods[i].boundingRect();
        m_labeller.TryBoxLabel(bounds.center(), m_plan.woods[int(i)],
                               LabelStyleOf(LabelKind::Wood), 0);
        level.push_back(
            {LabelKind::Wood, 0, m_plan.woods[int(i)], bounds.center(), 0, bounds.size()});
    }
    PlaceWaterLabels();
    PlaceDistrictLabels();
    PlaceStreetLabels();
}

void CTownBuilder::PlaceWaterLabels() {
    // The river's name along it.
    if (!m_plan.riverName.isEmpty())
        m_scene.levelLabels.push_back(
            {LabelKind::River, 0, m_plan.riverName, {}, 0, {}, m_riverPath.Points()});
    for (double s = 500; s < m_riverPath.Length() - 300; s += 350) {
        if (OnMap(m_riverPath.At(s), -40) &&
            TryPathLabel(m_riverPath, s, m_plan.riverName, LabelKind::River, false))
            s += 900;
    }
    // The sea's name.
    if (m_plan.coastX <= 0 || m_plan.seaName.isEmpty())
        return;
    for (double y = m_plan.height * 0.3; y < m_plan.height * 0.9; y += 50) {
        const QPointF at((CoastX(y) + m_plan.width) / 2 + 10, y);
        if (m_labeller.TryBoxLabel(at, m_plan.seaName, LabelStyleOf(LabelKind::Sea), 0)) {
            m_scene.levelLabels.push_back({LabelKind::Sea, 0, m_plan.seaName, at});
            const QPoint p = at.toPoint();
            m_places.push_back({QStringLiteral("Places"), m_plan.seaName, QString(),
                                QStringLiteral("Sea"), p.x(), p.y(), 0});
            return;
        }
    }
}

void CTownBuilder::PlaceDistrictLabels() {
    // District names, as towns, near the middle of each district.
    const LabelStyle style = TownLabelStyle(1);
    const QFontMetricsF metrics(style.font);
    for (int d = 0; d < DistrictCount() && d < m_plan.districtNames.size(); ++d) {
        double sx = 0, sy = 0;
        std::vector<QPointF> cells;
        for (int y = 100; y < m_plan.height - 100; y += 40)
            for (int x = 150; x < m_plan.width - 150; x += 40)
                if (DistrictAt(QPointF(x, y)) == d && !InSea(QPointF(x, y))) {
                    cells.emplace_back(x, y);
                    sx += x, sy += y;
                }
        if (cells.size() < 40)
            continue;
        const QPointF mean(sx / cells.size(), sy / cells.size());
        std::sort(cells.begin(), cells.end(), [&](QPointF a, QPointF b) {
            return QLineF(a, mean).length() < QLineF(b, mean).length();
        });
        const QString text = LabelText(style, m_plan.districtNames[d]);
        const double w = metrics.horizontalAdvance(text), h = metrics.ascent();
        for (size_t k = 0; k < cells.size() && k < 400; ++k) {
            const QRectF box(cells[k].x() - w / 2 - 2, cells[k].y() - h / 2 - 2, w + 4, h + 4);
            bool inside = true;
            for (const QPointF& corner :
                 {box.topLeft(), box.topRight(), box.bottomLeft(), box.bottomRight()})
                inside = inside && DistrictAt(corner) == d;
            if (!inside || !m_labeller.Space().FreeRect(box) || m_obstacle.At(cells[k]) ||
                m_river.At(cells[k]))
                continue;
            m_labeller.Space().TakeRect(box);
            m_labeller.AddRun({style.font, style.colour, style.halo, {{cells[k], 0, text, w}}, {}});
            m_scene.levelLabels.push_back({LabelKind::Town, 1, m_plan.districtNames[d], cells[k]});
            m_places.push_back({QStringLiteral("Towns"), m_plan.districtNames[d],
                                Postcode(cells[k]), QString(), int(cells[k].x()), int(cells[k].y()),
                                0});
            break;
        }
    }
}

void CTownBuilder::PlaceStreetLabels() {
    // Main roads first, then the rest, longest first; long streets carry
    // their name more than once, a street too short for the usual size gets
    // the small one.
    std::vector<size_t> order(m_streets.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    auto rank = [&](const Street& s) { return s.kind == MAIN || s.kind == RING ? 0 : 1; };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Street &sa = m_streets[a], &sb = m_streets[b];
        if (rank(sa) != rank(sb))
            return rank(sa) < rank(sb);
        return sa.path.Length() > sb.path.Length();
    });
    for (size_t index : order) {
        Street& street = m_streets[index];
        if (street.name.isEmpty())
            continue;
        const bool major = street.kind == MAIN || street.kind == RING;
        m_scene.levelLabels.push_back({StreetLabelOf(street.kind), int(street.kind), street.name,
                                       {}, 0, {}, street.path.Points()});
        const double length = street.path.Length();
        const double repeat = major ? 800 : 650;
        std::vector<double> tries;
        tries.push_back(length / 2);
        for (double d = 40; d < length / 2; d += 22) {
            tries.push_back(length / 2 - d);
            tries.push_back(length / 2 + d);
        }
        std::vector<double> placed;
        for (double s : tries) {
            bool nearOther = false;
            for (double q : placed)
                nearOther = nearOther || std::abs(q - s) < repeat;
            if (!nearOther && OnMap(street.path.At(s), -30) &&
                TryPathLabel(street.path, s, street.name, StreetLabelOf(street.kind), !major))
                placed.push_back(s);
        }
        if (placed.empty() && !major) {
            for (double s : tries)
                if (OnMap(street.path.At(s), -30) &&
                    TryPathLabel(street.path, s, street.name, LabelKind::SmallStreet, true)) {
                    placed.push_back(s);
                    break;
                }
        }
        street.labelled = !placed.empty();
    }
}

void CTownBuilder::MakeScene() {
    // Countryside: a patchwork of fields with hedges.
    const double fw = 190, fh = 150;
    const int nx = int(m_plan.width / fw) + 3, ny = int(m_plan.height / fh) + 3;
    std::vector<QPointF> lattice(static_cast<size_t>(nx * ny));
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i)
            lattice[size_t(j * nx + i)] = QPointF((i - 1) * fw + m_rng.Uniform(-50, 50),
                                                  (j - 1) * fh + m_rng.Uniform(-40, 40));
    for (int j = 0; j + 1 < ny; ++j)
        for (int i = 0; i + 1 < nx; ++i) {
            const QPolygonF field{lattice[size_t(j * nx + i)], lattice[size_t(j * nx + i + 1)],
                                  lattice[size_t((j + 1) * nx + i + 1)],
                                  lattice[size_t((j + 1) * nx + i)]};
            m_scene.AddArea(AreaKind::Field, {field},
                            m_plan.fields[m_rng.Next() % m_plan.fields.size()]);
        }
    for (const QPolygonF& wood : m_woods)
        m_scene.AddArea(AreaKind::Wood, {wood});
    // The built-up area.
    QPolygonF urban;
    for (int k = 0; k <= 1440; ++k) {
        const double phi = 2 * kPi * k / 1440;
        urban << FromPolar(UrbanRadius(phi), phi);
    }
    m_scene.AddArea(AreaKind::Urban, {urban});

    // The beach and the sea over the river's mouth.
    if (m_plan.coastX > 0) {
        QPolygonF beach, seaShape;
        for (int y = -10; y <= m_plan.height + 10; y += 6) {
            beach << QPointF(CoastX(y) - 28 - 6 * std::sin(y / 60.0), y);
            seaShape << QPointF(CoastX(y), y);
        }
        const QPointF farBottom(m_plan.width + 10, m_plan.height + 10),
            farTop(m_plan.width + 10, -10);
        beach << farBottom << farTop;
        seaShape << farBottom << farTop;
        m_scene.AddArea(AreaKind::Sand, {beach});
        m_scene.AddArea(AreaKind::Water, {seaShape});
    }
    for (const QPolygonF& park : m_parks)
        m_scene.AddArea(AreaKind::Park, {park});
    m_scene.AddLine(LineKind::Waterway, m_riverPath.Points(), MINOR, m_plan.riverWidth);
    for (const QPolygonF& b : m_buildings)
        m_scene.AddArea(AreaKind::Building, {b});
    for (const Landmark& l : m_landmarks) {
        const bool isHospital = l.category == QLatin1String("Hospitals");
        m_scene.AddArea(isHospital ? AreaKind::Hospital : AreaKind::Landmark,
                        {QPolygonF(l.footprint)});
        m_scene.AddPoint(isHospital ? PointKind::Hospital : PointKind::Landmark,
                         l.footprint.center());
    }
    for (const CPath& rail : m_railPaths)
        m_scene.AddLine(LineKind::Rail, rail.Points());

    AddBridges();
    for (const Street& street : m_streets)
        m_scene.AddLine(LineKind::Road, street.path.Points(), street.kind);
    for (const QPointF& end : m_closeEnds)
        m_scene.AddPoint(PointKind::TurningCircle, end);
    for (const Station& s : m_stations)
        m_scene.AddPoint(PointKind::Station, s.at, s.angle);
}

void CTownBuilder::AddBridges() {
    // The parts of roads over water or rail.
    for (const Street& street : m_streets) {
        QPolygonF over;
        auto flush = [&]() {
            if (over.size() >= 2)
                m_scene.AddLine(LineKind::Bridge, over, street.kind);
            over.clear();
        };
        for (const QPointF& q : street.path.Points()) {
            if (m_river.At(q) || m_rail.At(q))
                over << q;
            else
                flush();
        }
        flush();
    }
}

void CTownBuilder::AddGazetteer() {
    auto position = [&](QPointF at) {
        return QPoint(std::clamp(int(at.x()), 1, m_plan.width - 1),
                      std::clamp(int(at.y()), 1, m_plan.height - 1));
    };
    // Streets: one entry per named street, at the middle of its part on the map.
    for (const Street& street : m_streets) {
        if (street.name.isEmpty())
            continue;
        std::vector<double> onMap;
        for (double s = 0; s <= street.path.Length(); s += 6)
            if (OnMap(street.path.At(s), -5))
                onMap.push_back(s);
        if (onMap.empty())
            continue;
        const QPointF at = street.path.At(onMap[onMap.size() / 2]);
        PlaceRecord place;
        place.category = QStringLiteral("Streets");
        place.name = street.name;
        place.extra1 = Postcode(at);
        place.extra2 = DistrictName(DistrictAt(at) >= 0 ? DistrictAt(at) : 0);
        const QPoint p = position(at);
        place.x = p.x();
        place.y = p.y();
        m_places.push_back(place);
    }
    for (const Station& s : m_stations) {
        const QPoint p = position(s.at);
        m_places.push_back(
            {QStringLiteral("Stations"), s.name, Postcode(s.at), s.line, p.x(), p.y(), 0});
    }
    for (const Landmark& l : m_landmarks) {
        const QPoint p = position(l.footprint.center());
        m_places.push_back(
            {l.category, l.name, Postcode(l.footprint.center()), l.kind, p.x(), p.y(), 0});
    }
    for (size_t i = 0; i < m_parks.size(); ++i) {
        const QPoint p = position(m_parks[i].boundingRect().center());
        m_places.push_back({QStringLiteral("Places"), m_parkNames[i], Postcode(p),
                            QStringLiteral("Park"), p.x(), p.y(), 0});
    }
    for (size_t i = 0; i < m_woods.size() && i < size_t(m_plan.woods.size()); ++i) {
        const QPoint p = position(m_woods[i].boundingRect().center());
        m_places.push_back({QStringLiteral("Places"), m_plan.woods[int(i)], Postcode(p),
                            QStringLiteral("Woodland"), p.x(), p.y(), 0});
    }
}

DemoTown CTownBuilder::Build() {
    for (auto& ring : m_ringPhase)
        for (double& a : ring)
            a = m_rng.Uniform(0, 2 * kPi);
    for (double& a : m_urbanPhase)
        a = m_rng.Uniform(0, 2 * kPi);
    for (size_t j = 0; j < m_plan.radials.size(); ++j)
        m_radialPhase.push_back(m_rng.Uniform(0, 2 * kPi));
    m_stemOrder.resize(std::size(kStems));
    for (size_t i = 0; i < m_stemOrder.size(); ++i)
        m_stemOrder[i] = int(i);
    for (size_t i = m_stemOrder.size() - 1; i > 0; --i)
        std::swap(m_stemOrder[i], m_stemOrder[m_rng.Next() % (i + 1)]);

    MakeWaterAndRail();
    MakeParks();
    // Woods in the countryside.
    for (int k = 0; k < m_plan.woods.size(); ++k) {
        for (int attempt = 0; attempt < 300; ++attempt) {
            const QPointF c(m_rng.Uniform(150, m_plan.width - 150),
                            m_rng.Uniform(150, m_plan.height - 150));
            const double rx = m_rng.Uniform(110, 190), ry = m_rng.Uniform(80, 140);
            bool ok = true;
            for (int i = 0; i < 12 && ok; ++i) {
                const QPointF q =
                    c + QPointF(rx * std::cos(i * kPi / 6), ry * std::sin(i * kPi / 6));
                ok = DistrictAt(q) < 0 && !InSea(q) && !m_river.At(q) && !m_rail.At(q) &&
                     !m_obstacle.At(q);
            }
            if (!ok)
                continue;
            QPolygonF wood;
            const double ph = m_rng.Uniform(0, 6);
            for (int i = 0; i < 40; ++i) {
                const double t = 2 * kPi * i / 40,
                             w = 1 + 0.15 * std::sin(4 * t + ph) + 0.08 * std::sin(7 * t);
                wood << c + QPointF(rx * w * std::cos(t), ry * w * std::sin(t));
            }
            m_woods.push_back(wood);
            m_obstacle.Paint([&](QPainter& p) { p.drawPolygon(wood); });
            break;
        }
    }
    MakeMainRoads();
    // Each district's streets end where the district does: at the main roads.
    for (int d = 0; d < DistrictCount(); ++d)
        MakeDistrictStreets(d);
    MakeLanes();
    NameStreets();
    MakeRoadMasks();
    PlaceStations();
    PlaceBuildingsOfNote();
    MakeBuildings();
    PlaceLabels();

    DemoTown town;
    town.title = m_plan.title;
    town.calibration = m_plan.calibration;
    MakeScene();
    PlaceLevelLabels(m_scene);
    town.picture = RenderMapScene(m_scene);
    AddGazetteer();
    town.places = std::move(m_places);
    town.scene = std::move(m_scene);
    return town;
}

// Northcombe's hospitals and places of note.
void AddNorthcombeBuildings(TownPlan& s) {
    s.hospitals = {
        {QStringLiteral("Northcombe General Hospital"), QStringLiteral("24-hour A&E")},
        {QStringLiteral("St Aldric's Hospital"), QStringLiteral("Inpatients")},
        {QStringLiteral("Kestrel Vale NHS Health Centre"), QStringLiteral("GP surgery")},
        {QStringLiteral("Riverside NHS Walk-in Centre"), QStringLiteral("Walk-in, 8am-8pm")},
        {QStringLiteral("Ashlow Maternity Unit"), QStringLiteral("Maternity")}};
    s.places = {{QStringLiteral("Town Hall"), QStringLiteral("Civic building")},
                {QStringLiteral("Northcombe Museum"), QStringLiteral("Museum")},
                {QStringLiteral("Central Library"), QStringLiteral("Library")},
                {QStringLiteral("Market Hall"), QStringLiteral("Market")},
                {QStringLiteral("Corn Exchange"), QStringLiteral("Arts venue")},
                {QStringLiteral("Northcombe University"), QStringLiteral("University")},
                {QStringLiteral("Northcombe FC Stadium"), QStringLiteral("Football ground")},
                {QStringLiteral("Combe Leisure Centre"), QStringLiteral("Sports centre")},
                {QStringLiteral("Police Station"), QStringLiteral("Police")},
                {QStringLiteral("Fire Station"), QStringLiteral("Fire service")},
                {QStringLiteral("Brackwell College"), QStringLiteral("College")},
                {QStringLiteral("Lantern Cinema"), QStringLiteral("Cinema")},
                {QStringLiteral("Fennick Primary School"), QStringLiteral("School")},
                {QStringLiteral("Ashlow High School"), QStringLiteral("School")},
                {QStringLiteral("Northcombe RFC Ground"), QStringLiteral("Rugby ground")},
                {QStringLiteral("Old Castle"), QStringLiteral("Historic site")},
                {QStringLiteral("St Aldric's Church"), QStringLiteral("Church")},
                {QStringLiteral("Tarnwick Retail Park"), QStringLiteral("Shopping")}};
}

TownPlan NorthcombePlan() {
    TownPlan s;
    s.title = QStringLiteral("Northcombe");
    s.width = 5000;
    s.height = 4000;
    s.seed = 0x4e43u;
    s.centre = QPointF(2450, 2020);
    s.stretch = 1.25;
    s.innerRing = 470;
    s.outerRing = 1120;
    s.urbanEdge = 1950;
    s.radials = {4, 47, 93, 139, 184, 226, 268, 317};
    s.radialNames = {QStringLiteral("Quenmore Road"),   QStringLiteral("Larrow Road"),
                     QStringLiteral("Ulbrook Road"),    QStringLiteral("Halswick Road"),
                     QStringLiteral("Marrowby Road"),   QStringLiteral("Corran Road"),
                     QStringLiteral("Yarncliffe Road"), QStringLiteral("Kelmere Road")};
    s.throughA = 2;
    s.throughB = 6;
    s.throughName = QStringLiteral("High Street");
    s.postcodeArea = QStringLiteral("NC");
    s.districtNames = {QStringLiteral("Northcombe"),  QStringLiteral("Brackwell"),
                       QStringLiteral("St Aldric's"), QStringLiteral("Quayside"),
                       QStringLiteral("Old Town"),    QStringLiteral("Fennick"),
                       QStringLiteral("Upper Combe"), QStringLiteral("Kestrel Vale"),
                       QStringLiteral("Dunmere"),     QStringLiteral("Ashlow"),
                       QStringLiteral("Tarnwick"),    QStringLiteral("Lower Combe"),
                       QStringLiteral("Elsby Green"), QStringLiteral("Garrowby"),
                       QStringLiteral("Nethercot"),   QStringLiteral("Pellworth"),
                       QStringLiteral("Wenmore Hill")};
    s.river = {{-40, 2760},  {500, 2700},  {950, 2860},  {1450, 2690}, {1900, 2560}, {2400, 2640},
               {2900, 2520}, {3350, 2330}, {3800, 2420}, {4300, 2250}, {4700, 2330}, {5040, 2200}};
    s.riverWidth = 38;
    s.riverName = QStringLiteral("River Wendle");
    s.railways = {{{-40, 1420},
                   {700, 1500},
                   {1500, 1640},
                   {2200, 1760},
                   {2800, 1760},
                   {3500, 1650},
                   {4300, 1580},
                   {5040, 1560}},
                  {{2950, 1745}, {3250, 1500}, {3500, 1100}, {3800, 600}, {4150, -40}}};
    s.railwayNames = {QStringLiteral("Main Line"), QStringLiteral("Brackwell Branch")};
    s.stations = {{0, 0.13, QStringLiteral("Dunmere")},
                  {0, 0.31, QStringLiteral("Ashlow Halt")},
                  {0, 0.49, QStringLiteral("Northcombe Central")},
                  {0, 0.73, QStringLiteral("Fennick Junction")},
                  {0, 0.92, QStringLiteral("Upper Combe")},
                  {1, 0.42, QStringLiteral("Brackwell")},
                  {1, 0.8, QStringLiteral("Brackwell Parkway")}};
    s.parks = {{QPointF(1560, 2720), QStringLiteral("Riverside Park")},
               {QPointF(), QStringLiteral("Brackwell Common")},
               {QPointF(), QStringLiteral("Aldric Park")},
               {QPointF(), QStringLiteral("Fennick Recreation Ground")},
               {QPointF(), QStringLiteral("Hawthorn Park")},
               {QPointF(), QStringLiteral("Dunmere Fields")},
               {QPointF(), QStringLiteral("Castle Gardens")},
               {QPointF(), QStringLiteral("Millpond Park")}};
    s.woods = {QStringLiteral("Kestrel Wood"), QStringLiteral("Harrow Copse"),
               QStringLiteral("Lapwing Wood"), QStringLiteral("Coldharbour Wood")};
    AddNorthcombeBuildings(s);
    s.spacingCentre = 112;
    s.spacingInner = 150;
    s.spacingOuter = 185;
    s.calibration = MapCalibration{290670, 283280, 411720, 402220, 21115};
    s.fields = {QColor(0xe3, 0xec, 0xc9), QColor(0xea, 0xf0, 0xd2), QColor(0xf0, 0xee, 0xd0),
                QColor(0xdd, 0xe8, 0xc0), QColor(0xe8, 0xe9, 0xc8)};
    return s;
}

TownPlan EastmoorPlan() {
    TownPlan s;
    s.title = QStringLiteral("Eastmoor");
    s.width = 3000;
    s.height = 2500;
    s.seed = 0x454du;
    s.centre = QPointF(1420, 1180);
    s.stretch = 1.2;
    s.innerRing = 360;
    s.outerRing = 0;
    s.urbanEdge = 930;
    s.radials = {28, 96, 158, 208, 258, 318};
    s.radialNames = {QStringLiteral("Coast Road"),    QStringLiteral("Saltings Road"),
                     QStringLiteral("Garrowby Road"), QStringLiteral("Pellworth Road"),
                     QStringLiteral("Moor Road"),     QStringLiteral("Tarnwick Road")};
    s.throughA = 1;
    s.throughB = 4;
    s.throughName = QStringLiteral("Fore Street");
    s.postcodeArea = QStringLiteral("EM");
    s.districtNames = {QStringLiteral("Eastmoor"), QStringLiteral("Harbourside"),
                       QStringLiteral("Saltings"), QStringLiteral("Westgate"),
                       QStringLiteral("Moorend"),  QStringLiteral("Kelmere"),
                       QStringLiteral("Cliff Top")};
    s.river = {{-40, 1800},  {400, 1720},  {800, 1850},  {1150, 1740}, {1500, 1700},
               {1900, 1720}, {2300, 1590}, {2700, 1610}, {3040, 1570}};
    s.riverWidth = 30;
    s.riverName = QStringLiteral("River Esk Water");
    s.coastX = 2560;
    s.seaName = QStringLiteral("Eastmoor Bay");
    s.railways = {{{-40, 860}, {500, 930}, {1000, 1010}, {1450, 1040}, {1800, 990}, {2050, 960}}};
    s.railwayNames = {QStringLiteral("Moorland Line")};
    s.stations = {{0, 0.22, QStringLiteral("Moorend")},
                  {0, 0.58, QStringLiteral("Westgate")},
                  {0, 0.985, QStringLiteral("Eastmoor")}};
    s.parks = {{QPointF(), QStringLiteral("Chapel Gardens")},
               {QPointF(), QStringLiteral("Kelmere Park")},
               {QPointF(), QStringLiteral("Saltings Green")},
               {QPointF(), QStringLiteral("Moorend Recreation Ground")}};
    s.woods = {QStringLiteral("Heather Wood"), QStringLiteral("Rook Copse")};
    s.hospitals = {
        {QStringLiteral("Eastmoor Community Hospital"), QStringLiteral("Minor injuries")},
        {QStringLiteral("Harbour NHS Walk-in Centre"), QStringLiteral("Walk-in, 8am-8pm")}};
    s.places = {{QStringLiteral("Town Hall"), QStringLiteral("Civic building")},
                {QStringLiteral("Fish Market"), QStringLiteral("Market")},
                {QStringLiteral("Eastmoor Museum"), QStringLiteral("Museum")},
                {QStringLiteral("Public Library"), QStringLiteral("Library")},
                {QStringLiteral("Lifeboat Station"), QStringLiteral("Lifeboat")},
                {QStringLiteral("Eastmoor AFC Ground"), QStringLiteral("Football ground")},
                {QStringLiteral("Moorend School"), QStringLiteral("School")},
                {QStringLiteral("Swimming Baths"), QStringLiteral("Sports centre")}};
    s.spacingCentre = 105;
    s.spacingInner = 145;
    s.spacingOuter = 175;
    s.calibration = MapCalibration{677502, 669003, 328999, 316998, 23844};
    s.rural = QColor(0xec, 0xe6, 0xda);
    s.fields = {QColor(0xe6, 0xdd, 0xd0), QColor(0xe9, 0xe3, 0xcc), QColor(0xdf, 0xe6, 0xc8),
                QColor(0xe4, 0xd9, 0xd6)};
    return s;
}

} // namespace

DemoTown MakeNorthcombe() {
    const TownPlan plan = NorthcombePlan();
    return CTownBuilder(plan).Build();
}

DemoTown MakeEastmoor() {
    const TownPlan plan = EastmoorPlan();
    return CTownBuilder(plan).Build();
}

bool InstallDemoMaps(bool replace, const QString& picturesDir, QString& error,
                     const DemoProgress& progress) {
    for (DemoTown (*make)() : {&MakeNorthcombe, &MakeEastmoor}) {
        const QString title =
            make == &MakeNorthcombe ? QStringLiteral("Northcombe") : QStringLiteral("Eastmoor");
        if (progress)
            progress(title, QStringLiteral("drawing"), 0, 0);
        DemoTown town = make();
        if (!picturesDir.isEmpty()) {
            QDir().mkpath(picturesDir);
            const QString path = QDir(picturesDir).filePath(town.title + QStringLiteral(".png"));
            if (!town.picture.save(path)) {
                error = QStringLiteral("cannot save the picture %1").arg(path);
                return false;
            }
        }
        PackageRequest request;
        request.title = town.title;
        request.picture = town.picture;
        request.calibration = town.calibration;
        request.places = town.places;
        request.replace = replace;
        request.drawLevelPart = [&](int level, const QRect& part) {
            return RenderMapScenePart(town.scene, part, level);
        };
        const bool ok = PackageMap(request, error, [&](int done, int total) {
            if (progress)
                progress(town.title, QStringLiteral("tile"), done, total);
        });
        if (!ok) {
            error = QStringLiteral("%1: %2").arg(town.title, error);
            return false;
        }
    }
    return true;
}
