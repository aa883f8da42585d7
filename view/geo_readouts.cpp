#include "view/geo_readouts.h"

#include <cmath>

namespace {

constexpr double kMetresPerYard = 0.9144;
constexpr double kYardsPerMile = 1760;

const QString kUnreadable =
    QStringLiteral("Type a latitude and a longitude, for example 48.1361, 10.0695 or "
                   "48°8'10\"N 10°4'10\"E.");

// One coordinate as typed: its value in degrees (without sign) and the
// hemisphere letter or sign that came with it.
struct CTypedCoordinate {
    double degrees = 0;
    bool negative = false;
    QChar hemisphere; // 'N', 'S', 'E', 'W' or none
};

class CCoordinateReader {
public:
    explicit CCoordinateReader(const QString& text) : m_text(text) {}

    void SkipSpaces() {
        while (m_at < m_text.size() && m_text[m_at].isSpace())
            ++m_at;
    }
    bool AtEnd() const { return m_at >= m_text.size(); }
    bool Take(QChar c) {
        if (AtEnd() || m_text[m_at] != c)
            return false;
        ++m_at;
        return true;
    }
    // A hemisphere letter, upper-cased; none when the next character is not one.
    QChar TakeHemisphere() {
        if (AtEnd())
            return {};
        const QChar c = m_text[m_at].toUpper();
        if (c != u'N' && c != u'S' && c != u'E' && c != u'W')
            return {};
        ++m_at;
        return c;
    }
    // Digits with at most one decimal point; integral tells whether it had none.
    bool TakeNumber(double& value, bool& integral) {
        const qsizetype start = m_at;
        int digits = 0, points = 0;
        for (; !AtEnd(); ++m_at) {
            if (m_text[m_at].isDigit() && m_text[m_at].unicode() < 0x80)
                ++digits;
            else if (m_text[m_at] == u'.' && points == 0)
                ++points;
            else
                break;
        }
        bool ok = digits > 0;
        value = ok ? m_text.mid(start, m_at - start).toDouble(&ok) : 0;
        integral = points == 0;
        if (!ok)
            m_at = start;
        return ok;
    }
    // A number followed by a unit mark; nothing is taken when the mark is missing.
    bool TakeComponent(QChar unit, double& value, bool& integral) {
        const qsizetype start = m_at;
        SkipSpaces();
        if (TakeNumber(value, integral)) {
            SkipSpaces();
            if (Take(unit))
                return true;
        }
        m_at = start;
        return false;
    }

    // [hemisphere] [sign] degrees [° [minutes ' [seconds "]]] [hemisphere]
    bool TakeCoordinate(CTypedCoordinate& out, QString& error) {
        SkipSpaces();
        out.hemisphere = TakeHemisphere();
        SkipSpaces();
        bool sign = false;
        if (out.hemisphere.isNull() && (Take(u'-') || Take(u'\u2212'))) {
            out.negative = sign = true;
        } else if (out.hemisphere.isNull() && Take(u'+')) {
            sign = true;
        }
        double degrees = 0, minutes = 0, seconds = 0;
        bool degreesWhole = true, minutesWhole = true, lastWhole = true;
        if (!TakeNumber(degrees, degreesWhole))
            return false;
        SkipSpaces();
        bool hasMinutes = false, hasSeconds = false;
        if (Take(u'°')) {
            hasMinutes = TakeComponent(u'\'', minutes, minutesWhole);
            hasSeconds = hasMinutes && TakeComponent(u'"', seconds, lastWhole);
        }
        // Only the last component may have a fraction.
        if ((hasMinutes && !degreesWhole) || (hasSeconds && !minutesWhole))
            return false;
        if (minutes >= 60 || seconds >= 60) {
            error = QStringLiteral("Minutes and seconds must be below 60.");
            return false;
        }
        SkipSpaces();
        if (out.hemisphere.isNull()) {
            out.hemisphere = TakeHemisphere();
            if (!out.hemisphere.isNull() && sign)
                return false; // a sign and a letter: which one counts?
        }
        out.degrees = degrees + minutes / 60 + seconds / 3600;
        if (out.hemisphere == u'S' || out.hemisphere == u'W')
            out.negative = true;
        return true;
    }

private:
    const QString& m_text;
    qsizetype m_at = 0;
};

bool IsLatitudeLetter(QChar c) {
    return c == u'N' || c == u'S';
}
bool IsLongitudeLetter(QChar c) {
    return c == u'E' || c == u'W';
}

// The largest of 1, 2 and 5 times a power of ten that is at most limit (> 0).
double RoundLength(double limit) {
    const double power = std::pow(10.0, std::floor(std::log10(limit)));
    for (const double step : {5.0, 2.0, 1.0})
        if (step * power <= limit)
            return step * power;
    return power;
}

} // namespace

QString FormatGeoPoint(GeoPoint point) {
    return QStringLiteral("%1° %2, %3° %4")
        .arg(std::abs(point.lat), 0, 'f', 5)
        .arg(QChar(point.lat < 0 ? u'S' : u'N'))
        .arg(std::abs(point.lon), 0, 'f', 5)
        .arg(QChar(point.lon < 0 ? u'W' : u'E'));
}

std::optional<GeoPoint> ParseGeoPoint(const QString& typed, QString& error) {
    // Typographic marks count as the plain ones.
    QString text = typed;
    text.replace(QStringLiteral("''"), QStringLiteral("\""));
    for (const QChar c : {u'\u2032', u'\u2019', u'\u2018'})
        text.replace(c, u'\'');
    for (const QChar c : {u'\u2033', u'\u201C', u'\u201D'})
        text.replace(c, u'"');
    text.replace(u'º', u'°');

    error.clear();
    CCoordinateReader reader(text);
    CTypedCoordinate first, second;
    bool ok = reader.TakeCoordinate(first, error);
    if (ok) {
        reader.SkipSpaces();
        if (!reader.Take(u','))
            reader.Take(u';');
        ok = reader.TakeCoordinate(second, error);
        reader.SkipSpaces();
        ok = ok && reader.AtEnd();
    }
    if (!ok) {
        if (error.isEmpty())
            error = kUnreadable;
        return std::nullopt;
    }
    // The letters decide which is the latitude; without them it comes first.
    if (IsLongitudeLetter(first.hemisphere) || IsLatitudeLetter(second.hemisphere))
        std::swap(first, second);
    if (IsLongitudeLetter(first.hemisphere) || IsLatitudeLetter(second.hemisphere)) {
        error = QStringLiteral("Give one latitude (N or S) and one longitude (E or W).");
        return std::nullopt;
    }
    const GeoPoint point{first.negative ? -first.degrees : first.degrees,
                         second.negative ? -second.degrees : second.degrees};
    if (std::abs(point.lat) > 90) {
        error = QStringLiteral("A latitude lies between 90° S and 90° N.");
        return std::nullopt;
    }
    if (std::abs(point.lon) > 180) {
        error = QStringLiteral("A longitude lies between 180° W and 180° E.");
        return std::nullopt;
    }
    return point;
}

GeoPoint GeoAtClientPoint(const CGeoReference& reference, const CViewport& viewport,
                          std::optional<CPoint> client) {
    const CPoint at =
        client.value_or(CPoint{viewport.ClientWidth() / 2, viewport.ClientHeight() / 2});
    const CPoint origin = viewport.ScreenOrigin();
    const double zoom = viewport.Zoom();
    return reference.ToGeo(QPointF((origin.x + at.x + 0.5) / zoom, (origin.y + at.y + 0.5) / zoom));
}

CScaleBar ScaleBarFor(double metresPerScreenPixel, int maxPixels) {
    CScaleBar bar;
    if (!(metresPerScreenPixel > 0) || maxPixels < 1)
        return bar;
    const auto label = [](double value, const char* unit) {
        return QString::number(value, 'g', 6) + u' ' + QLatin1String(unit);
    };
    const double metres = RoundLength(maxPixels * metresPerScreenPixel);
    bar.nMetricPixels = int(std::lround(metres / metresPerScreenPixel));
    bar.strMetric = metres >= 1000 ? label(metres / 1000, "km") : label(metres, "m");
    const double yards = maxPixels * metresPerScreenPixel / kMetresPerYard;
    const double imperial =
        yards >= kYardsPerMile ? RoundLength(yards / kYardsPerMile) : RoundLength(yards);
    const double imperialMetres =
        imperial * kMetresPerYard * (yards >= kYardsPerMile ? kYardsPerMile : 1);
    bar.nImperialPixels = int(std::lround(imperialMetres / metresPerScreenPixel));
    bar.strImperial = yards >= kYardsPerMile ? label(imperial, "mi") : label(imperial, "yd");
    return bar;
}
