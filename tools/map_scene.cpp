#include "map_scene.h"

#include <QFontMetricsF>
#include <QImage>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

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

// The style: road widths (pixels) and colours by class.
double CasingWidth(RoadKind kind) {
    switch (kind) {
    case RoadKind::Main:
        return 21;
    case RoadKind::Ring:
        return 20;
    case RoadKind::Lane:
        return 11;
    case RoadKind::Service:
        return 9;
    case RoadKind::Path:
        return 0;
    default:
        return 15;
    }
}

double FillWidth(RoadKind kind) {
    switch (kind) {
    case RoadKind::Main:
        return 17.5;
    case RoadKind::Ring:
        return 16.5;
    case RoadKind::Lane:
        return 8.5;
    case RoadKind::Service:
        return 6.5;
    case RoadKind::Path:
        return 1.6;
    default:
        return 12.5;
    }
}

namespace {

const QColor kUrbanLand(0xf3, 0xef, 0xe8);
const QColor kWater(0xa7, 0xcf, 0xe6);
const QColor kWaterEdge(0x86, 0xb4, 0xd3);
const QColor kPark(0xc9, 0xe6, 0xae);
const QColor kParkEdge(0xa2, 0xcb, 0x87);
const QColor kWood(0xb6, 0xd6, 0x9c);
const QColor kBuilding(0xe2, 0xd7, 0xcb);
const QColor kBuildingEdge(0xc4, 0xb3, 0xa1);
const QColor kHedge(0xb8, 0xc8, 0x98);
const QColor kRail(0x6e, 0x6e, 0x6e);
const QColor kSand(0xf2, 0xe6, 0xbf);

} // namespace

QColor CasingColour(RoadKind kind) {
    switch (kind) {
    case RoadKind::Main:
        return {0xc0, 0x74, 0x58};
    case RoadKind::Ring:
        return {0xc2, 0x95, 0x4c};
    case RoadKind::Lane:
        return {0xb9, 0xb3, 0x92};
    default:
        return {0xb4, 0xad, 0xa3};
    }
}

QColor FillColour(RoadKind kind) {
    switch (kind) {
    case RoadKind::Main:
        return {0xf7, 0xb5, 0x9a};
    case RoadKind::Ring:
        return {0xfb, 0xd8, 0x8f};
    case RoadKind::Lane:
        return {0xff, 0xfd, 0xe8};
    case RoadKind::Path:
        return {0x9a, 0x7b, 0x5c};
    default:
        return Qt::white;
    }
}

QFont MapFont(int pixelSize, bool bold, bool italic) {
    QFont font(QStringLiteral("Liberation Sans"));
    font.setHintingPreference(QFont::PreferNoHinting);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
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

} // namespace

void DrawMapScene(const MapScene& scene, QPainter& p, const QRectF& area) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.fillRect(area, scene.background);

    auto eachArea = [&](AreaKind kind, auto draw) {
        for (const MapArea& a : scene.areas)
            if (a.kind == kind && Visible(a.bounds, area))
                draw(a);
    };
    auto eachLine = [&](LineKind kind, auto draw) {
        for (const MapLine& l : scene.lines)
            if (l.kind == kind && Visible(l.bounds, area))
                draw(l);
    };

    // Land: fields with hedges, built-up land, woods, beaches, parks.
    p.setPen(QPen(kHedge, 1.6));
    eachArea(AreaKind::Field, [&](const MapArea& a) {
        p.setBrush(a.colour);
        DrawRings(p, a);
    });
    p.setPen(Qt::NoPen);
    for (auto [kind, colour] :
         {std::pair{AreaKind::Urban, kUrbanLand}, std::pair{AreaKind::Wood, kWood},
          std::pair{AreaKind::Sand, kSand}}) {
        p.setBrush(colour);
        eachArea(kind, [&](const MapArea& a) { DrawRings(p, a); });
    }
    p.setPen(QPen(kParkEdge, 2));
    p.setBrush(kPark);
    eachArea(AreaKind::Park, [&](const MapArea& a) { DrawRings(p, a); });

    // Water: rivers and streams with their banks, then lakes and the sea.
    p.setBrush(Qt::NoBrush);
    eachLine(LineKind::Waterway, [&](const MapLine& l) {
        p.setPen(QPen(kWaterEdge, l.width + 3, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
        p.drawPolyline(l.points);
        p.setPen(QPen(kWater, l.width, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
        p.drawPolyline(l.points);
    });
    p.setPen(QPen(kWaterEdge, 2));
    p.setBrush(kWater);
    eachArea(AreaKind::Water, [&](const MapArea& a) { DrawRings(p, a); });

    // Buildings: outlines first, then fills, so touching buildings merge
    // into blocks with one outline.
    p.setPen(QPen(kBuildingEdge, 1.8, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(kBuildingEdge);
    eachArea(AreaKind::Building, [&](const MapArea& a) { DrawRings(p, a); });
    p.setPen(Qt::NoPen);
    p.setBrush(kBuilding);
    eachArea(AreaKind::Building, [&](const MapArea& a) { DrawRings(p, a); });
    // Buildings of note.
    p.setPen(QPen(QColor(0xc8, 0x8c, 0x8c), 1.5));
    p.setBrush(QColor(0xf4, 0xcf, 0xcf));
    eachArea(AreaKind::Hospital, [&](const MapArea& a) { DrawRings(p, a); });
    p.setPen(QPen(QColor(0xa8, 0x94, 0x7c), 1.5));
    p.setBrush(QColor(0xdc, 0xc7, 0xab));
    eachArea(AreaKind::Landmark, [&](const MapArea& a) { DrawRings(p, a); });

    // Railways, under the roads that bridge them: a grey band with white dashes.
    p.setBrush(Qt::NoBrush);
    eachLine(LineKind::Rail, [&](const MapLine& l) {
        p.setPen(QPen(kRail, 5, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
        p.drawPolyline(l.points);
        QPen dashes(Qt::white, 2.6, Qt::CustomDashLine, Qt::FlatCap, Qt::RoundJoin);
        dashes.setDashPattern({4, 4});
        p.setPen(dashes);
        p.drawPolyline(l.points);
    });
    p.setPen(QPen(kRail, 2, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    eachLine(LineKind::Tram, [&](const MapLine& l) { p.drawPolyline(l.points); });

    // Bridges: dark parapets wider than the road.
    eachLine(LineKind::Bridge, [&](const MapLine& l) {
        p.setPen(
            QPen(QColor(0x55, 0x55, 0x55), CasingWidth(l.road) + 5, Qt::SolidLine, Qt::FlatCap));
        p.drawPolyline(l.points);
    });

    // Roads: every casing, then every fill, class by class, so that junctions
    // join cleanly and a main road passes over a side street.
    const RoadKind layers[] = {RoadKind::Path,  RoadKind::Lane, RoadKind::Service, RoadKind::Minor,
                               RoadKind::Close, RoadKind::Ring, RoadKind::Main};
    // The round ends of closes, drawn with the closes' casing and fill.
    auto turningCircles = [&](const QColor& colour, double radius) {
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        for (const MapPoint& pt : scene.points)
            if (pt.kind == PointKind::TurningCircle && Visible(QRectF(pt.at, pt.at), area))
                p.drawEllipse(pt.at, radius, radius);
        p.setBrush(Qt::NoBrush);
    };
    for (RoadKind kind : layers) {
        if (CasingWidth(kind) > 0) {
            p.setPen(QPen(CasingColour(kind), CasingWidth(kind), Qt::SolidLine, Qt::RoundCap,
                          Qt::RoundJoin));
            eachLine(LineKind::Road, [&](const MapLine& l) {
                if (l.road == kind)
                    p.drawPolyline(l.points);
            });
        }
        if (kind == RoadKind::Close)
            turningCircles(CasingColour(kind), 11);
    }
    for (RoadKind kind : layers) {
        QPen pen(FillColour(kind), FillWidth(kind), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        if (kind == RoadKind::Path) {
            pen.setCapStyle(Qt::FlatCap);
            pen.setDashPattern({3, 2});
        }
        p.setPen(pen);
        eachLine(LineKind::Road, [&](const MapLine& l) {
            if (l.road == kind)
                p.drawPolyline(l.points);
        });
        if (kind == RoadKind::Close)
            turningCircles(Qt::white, 9.5);
    }

    // Stations: a red bar across the track with a white border.
    for (const MapPoint& s : scene.points) {
        if (s.kind != PointKind::Station || !Visible(QRectF(s.at, s.at), area))
            continue;
        p.save();
        p.translate(s.at);
        p.rotate(s.angle * 180 / kPi);
        p.setPen(QPen(Qt::white, 2));
        p.setBrush(QColor(0xd0, 0x2f, 0x2f));
        p.drawRoundedRect(QRectF(-11, -7, 22, 14), 3, 3);
        p.setPen(QPen(Qt::white, 2.2));
        p.drawLine(QPointF(-6, 0), QPointF(6, 0));
        p.restore();
    }
    // Hospitals: a blue square with a white H; other places of note: a brown dot.
    p.setFont(MapFont(13, true));
    for (const MapPoint& pt : scene.points) {
        if (!Visible(QRectF(pt.at, pt.at), area))
            continue;
        if (pt.kind == PointKind::Hospital) {
            const QRectF box(pt.at - QPointF(8, 8), QSizeF(16, 16));
            p.setPen(QPen(Qt::white, 1.5));
            p.setBrush(QColor(0x1f, 0x5f, 0xbf));
            p.drawRoundedRect(box, 2, 2);
            p.setPen(Qt::white);
            p.drawText(box, Qt::AlignCenter, QStringLiteral("H"));
        } else if (pt.kind == PointKind::Landmark) {
            p.setPen(QPen(Qt::white, 1.2));
            p.setBrush(QColor(0x7a, 0x4e, 0x2e));
            p.drawEllipse(pt.at, 3.5, 3.5);
        }
    }

    // Labels.
    for (const LabelRun& run : scene.labels) {
        if (!Visible(run.bounds, area))
            continue;
        p.setFont(run.font);
        const QFontMetricsF metrics(run.font);
        const double rise = (metrics.ascent() - metrics.descent()) / 2;
        for (const Glyph& g : run.glyphs) {
            p.save();
            p.translate(g.at);
            p.rotate(g.angle * 180 / kPi);
            const QPointF origin(-g.advance / 2, rise);
            if (run.halo) {
                // A white rim: the text drawn around itself, then on top.
                p.setPen(QColor(255, 255, 255, 200));
                for (const QPointF& d : {QPointF(-1.2, 0), QPointF(1.2, 0), QPointF(0, -1.2),
                                         QPointF(0, 1.2), QPointF(-0.9, -0.9), QPointF(0.9, 0.9),
                                         QPointF(-0.9, 0.9), QPointF(0.9, -0.9)})
                    p.drawText(origin + d, g.text);
            }
            p.setPen(run.colour);
            p.drawText(origin, g.text);
            p.restore();
        }
    }
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

bool CLabeller::TryPathLabel(const CPath& path, double centre, const QString& text,
                             const QFont& font, const QColor& colour, bool halo,
                             const std::function<bool(QPointF)>& blocked) {
    const QFontMetricsF metrics(font);
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
    m_scene.labels.push_back({font, colour, halo, std::move(glyphs), bounds});
    return true;
}

bool CLabeller::TryBoxLabel(QPointF anchor, const QString& text, const QFont& font,
                            const QColor& colour, bool halo, double gap) {
    const QFontMetricsF metrics(font);
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
            {font, colour, halo, {{c, 0, text, w}}, box.adjusted(-3, -3, 3, 3)});
        return true;
    }
    return false;
}

void CLabeller::AddRun(LabelRun run) {
    const QFontMetricsF metrics(run.font);
    run.bounds = GlyphBounds(run.glyphs, metrics.height());
    m_scene.labels.push_back(std::move(run));
}
