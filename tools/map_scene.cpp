#include "map_scene.h"

#include <QFontMetricsF>
#include <QImage>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
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
    enum Width : uint8_t { FIXED, PLUS_LINE_WIDTH, PLUS_CASING } width = FIXED;
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
std::vector<DrawLayer> MakeDrawLayers() {
    std::vector<DrawLayer> layers;
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
    // Buildings: outlines first, then fills, so touching buildings merge into
    // blocks with one outline; then buildings of note.
    area(AreaKind::Building, QPen(kBuildingEdge, 1.8, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin),
         kBuildingEdge);
    area(AreaKind::Building, noPen, kBuilding);
    area(AreaKind::Hospital, QPen(QColor(0xc8, 0x8c, 0x8c), 1.5), QColor(0xf4, 0xcf, 0xcf));
    area(AreaKind::Landmark, QPen(QColor(0xa8, 0x94, 0x7c), 1.5), QColor(0xdc, 0xc7, 0xab));
    // Railways, under the roads that bridge them: a grey band with white dashes.
    line(LineKind::Rail, {LinePen(kRail, 5), LinePen(Qt::white, 2.6, Qt::FlatCap, {4, 4})});
    line(LineKind::Tram, {LinePen(kRail, 2)});
    // Bridges: dark parapets wider than the road.
    line(LineKind::Bridge, {QPen(QColor(0x55, 0x55, 0x55), 5, Qt::SolidLine, Qt::FlatCap)},
         DrawLayer::PLUS_CASING);
    for (RoadKind kind : kRoadKinds) {
        const RoadStyle& road = RoadStyleOf(kind);
        if (road.casingWidth > 0)
            line(LineKind::Road, {LinePen(road.casing, road.casingWidth, Qt::RoundCap)},
                 DrawLayer::FIXED, int(kind));
        if (kind == RoadKind::Close) // the round ends of closes
            point(PointKind::TurningCircle, {noPen}, road.casing, 11);
    }
    for (RoadKind kind : kRoadKinds) {
        const RoadStyle& road = RoadStyleOf(kind);
        line(LineKind::Road,
             {kind == RoadKind::Path ? LinePen(road.fill, road.fillWidth, Qt::FlatCap, {3, 2})
                                     : LinePen(road.fill, road.fillWidth, Qt::RoundCap)},
             DrawLayer::FIXED, int(kind));
        if (kind == RoadKind::Close)
            point(PointKind::TurningCircle, {noPen}, road.fill, 9.5);
    }
    // Stations: a red bar across the track with a white border and a white
    // line. Hospitals: a blue square with a white H. Other places of note: a
    // brown dot.
    point(PointKind::Station, {QPen(Qt::white, 2), QPen(Qt::white, 2.2)}, QColor(0xd0, 0x2f, 0x2f));
    point(PointKind::Hospital, {QPen(Qt::white, 1.5), QPen(Qt::white)}, QColor(0x1f, 0x5f, 0xbf), 0,
          MapFont(13, true));
    point(PointKind::Landmark, {QPen(Qt::white, 1.2)}, QColor(0x7a, 0x4e, 0x2e));
    return layers;
}

const std::vector<DrawLayer>& DrawLayers() {
    static const std::vector<DrawLayer> layers = MakeDrawLayers(); // fonts need the application
    return layers;
}

} // namespace

const RoadStyle& RoadStyleOf(RoadKind kind) {
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

const LabelStyle& LabelStyleOf(LabelKind kind) {
    static const LabelStyle styles[] = {
        {MapFont(13, true), QColor(0x1d, 0x1d, 0x1d), true},        // Station
        {MapFont(12, true), QColor(0xb0, 0x20, 0x2a), true},        // Hospital
        {MapFont(11, false, true), QColor(0x4e, 0x3b, 0x2c), true}, // Landmark
        {MapFont(13, false, true), QColor(0x2f, 0x6b, 0x24), true}, // Park
        {MapFont(13, false, true), QColor(0x2f, 0x5b, 0x24), true}, // Wood
        {MapFont(13, false, true), kWaterLabel, true},              // Water
        {MapFont(15, false, true, 1.5), kWaterLabel, false},        // River
        {MapFont(19, false, true, 3), kWaterLabel, false, true},    // Sea
        {MapFont(12, true), QColor(0x26, 0x1a, 0x12), false},       // MainStreet
        {MapFont(10), kStreetLabel, false},                         // Street
        {MapFont(9), kStreetLabel, false},                          // SmallStreet
    };
    return styles[size_t(kind)];
}

LabelStyle TownLabelStyle(int rank) {
    static const int sizes[] = {24, 21, 18, 17, 14, 13};
    const bool major = rank <= 3;
    return {MapFont(sizes[std::clamp(rank, 0, 5)], major, false, major ? 3 : 1.5),
            QColor(0x6f, 0x5b, 0x86, 200), true, major};
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

// The symbol of a point feature.
void DrawSymbol(QPainter& p, const DrawLayer& layer, const MapPoint& pt) {
    switch (PointKind(layer.kind)) {
    case PointKind::TurningCircle:
        p.drawEllipse(pt.at, layer.radius, layer.radius);
        break;
    case PointKind::Station:
        p.save();
        p.translate(pt.at);
        p.rotate(pt.angle * 180 / kPi);
        p.drawRoundedRect(QRectF(-11, -7, 22, 14), 3, 3);
        p.setPen(layer.pens[1]);
        p.drawLine(QPointF(-6, 0), QPointF(6, 0));
        p.restore();
        break;
    case PointKind::Hospital: {
        const QRectF box(pt.at - QPointF(8, 8), QSizeF(16, 16));
        p.drawRoundedRect(box, 2, 2);
        p.setPen(layer.pens[1]);
        p.drawText(box, Qt::AlignCenter, QStringLiteral("H"));
        break;
    }
    case PointKind::Landmark:
        p.drawEllipse(pt.at, 3.5, 3.5);
        break;
    }
}

// The features of one layer that reach into area.
void DrawLayerFeatures(const MapScene& scene, const DrawLayer& layer, QPainter& p,
                       const QRectF& area) {
    if (layer.font)
        p.setFont(*layer.font);
    switch (layer.source) {
    case DrawLayer::AREAS:
        p.setPen(layer.pens.front());
        for (const MapArea& a : scene.areas) {
            if (a.kind != AreaKind(layer.kind) || !Visible(a.bounds, area))
                continue;
            p.setBrush(a.colour.isValid() ? QBrush(a.colour) : layer.brush);
            DrawRings(p, a);
        }
        break;
    case DrawLayer::LINES:
        p.setBrush(Qt::NoBrush);
        for (const MapLine& l : scene.lines) {
            if (l.kind != LineKind(layer.kind) || (layer.road >= 0 && int(l.road) != layer.road) ||
                !Visible(l.bounds, area))
                continue;
            for (QPen pen : layer.pens) {
                if (layer.width != DrawLayer::FIXED)
                    pen.setWidthF(pen.widthF() + (layer.width == DrawLayer::PLUS_LINE_WIDTH
                                                      ? l.width
                                                      : RoadStyleOf(l.road).casingWidth));
                p.setPen(pen);
                p.drawPolyline(l.points);
            }
        }
        break;
    case DrawLayer::POINTS:
        for (const MapPoint& pt : scene.points) {
            if (pt.kind != PointKind(layer.kind) || !Visible(QRectF(pt.at, pt.at), area))
                continue;
            p.setPen(layer.pens.front());
            p.setBrush(layer.brush);
            DrawSymbol(p, layer, pt);
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
    for (const Glyph& g : run.glyphs) {
        p.save();
        p.translate(g.at);
        p.rotate(g.angle * 180 / kPi);
        const QPointF origin(-g.advance / 2, rise);
        if (run.halo) {
            p.setPen(QColor(255, 255, 255, 200));
            for (const QPointF& d :
                 {QPointF(-1.2, 0), QPointF(1.2, 0), QPointF(0, -1.2), QPointF(0, 1.2),
                  QPointF(-0.9, -0.9), QPointF(0.9, 0.9), QPointF(-0.9, 0.9), QPointF(0.9, -0.9)})
                p.drawText(origin + d, g.text);
        }
        p.setPen(run.colour);
        p.drawText(origin, g.text);
        p.restore();
    }
}

} // namespace

void DrawMapScene(const MapScene& scene, QPainter& p, const QRectF& area) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.fillRect(area, scene.background);
    for (const DrawLayer& layer : DrawLayers())
        DrawLayerFeatures(scene, layer, p, area);
    for (const LabelRun& run : scene.labels)
        if (Visible(run.bounds, area))
            DrawLabel(p, run);
}

QImage RenderMapScenePart(const MapScene& scene, const QRect& rect) {
    QImage image(rect.size(), QImage::Format_RGB32);
    QPainter painter(&image);
    painter.translate(-rect.topLeft());
    DrawMapScene(scene, painter, QRectF(rect));
    return image;
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
    m_scene.labels.push_back({style.font, style.colour, style.halo, std::move(glyphs), bounds});
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
        m_scene.labels.push_back(
            {style.font, style.colour, style.halo, {{c, 0, text, w}}, box.adjusted(-3, -3, 3, 3)});
        return true;
    }
    return false;
}

void CLabeller::AddRun(LabelRun run) {
    const QFontMetricsF metrics(run.font);
    run.bounds = GlyphBounds(run.glyphs, metrics.height());
    m_scene.labels.push_back(std::move(run));
}
