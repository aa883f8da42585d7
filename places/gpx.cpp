// GPX, the XML format in which map programs exchange points.
//
// Written: GPX 1.1 (namespace http://www.topografix.com/GPX/1/1), UTF-8:
//   <gpx version="1.1" creator="Pocket Veldra" xmlns="...">
//     <metadata><name>map title</name></metadata>
//     <wpt lat="37.8108000000" lon="-122.3011000000"><name>Home</name></wpt>
//     <wpt lat=".." lon=".."><name>me</name><type>me</type></wpt>
//   </gpx>
// Latitudes and longitudes in degrees with ten decimals (far below a
// millimetre). The markers carry the type "me" or "flag".
//
// Read: GPX 1.0 or 1.1. Of the elements in the GPX namespace only these
// count: wpt (a point with its name and type), rte with its rtept and trk
// with trkseg and trkpt (their points, named after the route or track and
// numbered), and the name of each. A point's lat and lon attributes are
// decimal degrees. Everything else (metadata, times, extensions in other
// namespaces) is passed over.

#include "places/gpx.h"

#include "places/place_files.h"

#include <QFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <algorithm>
#include <cmath>

namespace {

const QString kGpx10 = QStringLiteral("http://www.topografix.com/GPX/1/0");
const QString kGpx11 = QStringLiteral("http://www.topografix.com/GPX/1/1");
// The longest name kept from a file; longer ones are cut.
constexpr qsizetype kMaxNameChars = 200;

QString KindType(CGpxKind kind) {
    return kind == CGpxKind::Me ? QStringLiteral("me") : QStringLiteral("flag");
}

// A point being read: its element's depth, coordinates and texts.
struct CPendingPoint {
    int depth = 0; // 0: none
    bool bCoordinates = false;
    bool bInRange = false;
    double lat = 0, lon = 0;
    QString strName, strType;
};

} // namespace

QByteArray WriteGpx(const QString& title, const std::vector<GpxPoint>& points) {
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeDefaultNamespace(kGpx11);
    xml.writeStartElement(kGpx11, QStringLiteral("gpx"));
    xml.writeAttribute(QStringLiteral("version"), QStringLiteral("1.1"));
    xml.writeAttribute(QStringLiteral("creator"), QStringLiteral("Pocket Veldra"));
    xml.writeStartElement(kGpx11, QStringLiteral("metadata"));
    xml.writeTextElement(kGpx11, QStringLiteral("name"), title);
    xml.writeEndElement();
    for (const GpxPoint& point : points) {
        xml.writeStartElement(kGpx11, QStringLiteral("wpt"));
        xml.writeAttribute(QStringLiteral("lat"), QString::number(point.lat, 'f', 10));
        xml.writeAttribute(QStringLiteral("lon"), QString::number(point.lon, 'f', 10));
        xml.writeTextElement(kGpx11, QStringLiteral("name"), point.strName);
        if (point.kind != CGpxKind::Place)
            xml.writeTextElement(kGpx11, QStringLiteral("type"), KindType(point.kind));
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return bytes;
}

bool ReadGpx(const QByteArray& bytes, GpxContent& content, QString& error) {
    content = GpxContent();
    if (bytes.size() > MAX_GPX_BYTES) {
        error = QStringLiteral("The file is larger than %1 MB, more than a GPX file of places "
                               "can hold.")
                    .arg(MAX_GPX_BYTES / (1024 * 1024));
        return false;
    }
    const auto fail = [&](const QXmlStreamReader& xml, const QString& why) {
        error = QStringLiteral("The file cannot be imported: %1 (line %2).")
                    .arg(why)
                    .arg(xml.lineNumber());
        content = GpxContent();
        return false;
    };

    QXmlStreamReader xml(bytes);
    QString gpxNamespace;    // of the root element
    int depth = 0;           // of the element being read
    int listDepth = 0;       // of the rte or trk being read; 0: none
    QString strListName;     // its name
    QString strListKind;     // "Route" or "Track", the name of one without a name
    int nPoints = 0;         // points in the file so far
    CPendingPoint point;     // the wpt, rtept or trkpt being read
    QString* text = nullptr; // the name or type element being read
    int textDepth = 0;
    qsizetype textRoom = 0; // characters it may still take

    std::vector<GpxPoint> listPoints; // of the rte or trk being read
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::DTD:
            return fail(xml, QStringLiteral("it declares a document type, which GPX files do not"));
        case QXmlStreamReader::EntityReference:
            return fail(xml, QStringLiteral("it refers to an entity, which GPX files do not"));
        case QXmlStreamReader::StartElement: {
            if (++depth > MAX_GPX_DEPTH)
                return fail(
                    xml, QStringLiteral("its elements nest more than %1 deep").arg(MAX_GPX_DEPTH));
            const QStringView ns = xml.namespaceUri();
            const QStringView name = xml.name();
            if (depth == 1) {
                if (name != u"gpx" || (ns != kGpx10 && ns != kGpx11))
                    return fail(xml, QStringLiteral("it is not a GPX 1.0 or 1.1 file"));
                gpxNamespace = ns.toString();
                break;
            }
            if (ns != gpxNamespace || text != nullptr)
                break; // an extension, or markup inside a text: passed over
            const bool isList = depth == 2 && (name == u"rte" || name == u"trk");
            const bool isPoint = (depth == 2 && name == u"wpt") ||
                                 (listDepth == 2 && depth == 3 && name == u"rtept") ||
                                 (listDepth == 2 && depth == 4 && name == u"trkpt");
            if (isList) {
                listDepth = depth;
                strListName.clear();
                strListKind = name == u"rte" ? QStringLiteral("Route") : QStringLiteral("Track");
                listPoints.clear();
            } else if (isPoint) {
                if (++nPoints > MAX_GPX_POINTS)
                    return fail(xml,
                                QStringLiteral("it holds more than %1 points").arg(MAX_GPX_POINTS));
                point = CPendingPoint();
                point.depth = depth;
                const QXmlStreamAttributes attributes = xml.attributes();
                point.bCoordinates = attributes.hasAttribute(QStringLiteral("lat")) &&
                                     attributes.hasAttribute(QStringLiteral("lon"));
                if (point.bCoordinates) {
                    bool latOk = false, lonOk = false;
                    point.lat = attributes.value(QStringLiteral("lat")).trimmed().toDouble(&latOk);
                    point.lon = attributes.value(QStringLiteral("lon")).trimmed().toDouble(&lonOk);
                    if (!latOk || !lonOk || !std::isfinite(point.lat) || !std::isfinite(point.lon))
                        return fail(xml, QStringLiteral("a point's latitude or longitude is not "
                                                        "a number"));
                    point.bInRange = std::abs(point.lat) <= 90 && std::abs(point.lon) <= 180;
                }
            } else if (name == u"name" && point.depth != 0 && depth == point.depth + 1) {
                text = &point.strName;
            } else if (name == u"type" && point.depth != 0 && depth == point.depth + 1) {
                text = &point.strType;
            } else if (name == u"name" && listDepth != 0 && depth == listDepth + 1) {
                text = &strListName;
            }
            if (text != nullptr) {
                text->clear();
                textDepth = depth;
                textRoom = kMaxNameChars;
            }
            break;
        }
        case QXmlStreamReader::Characters:
            if (text != nullptr && textRoom > 0) {
                // Cut to the room left, never between the halves of a pair.
                const QStringView chunk = xml.text();
                qsizetype keep = std::min(chunk.size(), textRoom);
                if (keep < chunk.size() && keep > 0 && chunk[keep - 1].isHighSurrogate())
                    --keep;
                text->append(chunk.left(keep));
                textRoom = keep < chunk.size() ? 0 : textRoom - keep;
            }
            break;
        case QXmlStreamReader::EndElement:
            if (depth == textDepth)
                text = nullptr, textDepth = 0;
            if (point.depth != 0 && depth == point.depth) {
                if (!point.bCoordinates || !point.bInRange) {
                    ++content.nRefused;
                } else {
                    GpxPoint read{point.strName.simplified(), CGpxKind::Place, point.lat,
                                  point.lon};
                    const QString type = point.strType.trimmed().toLower();
                    if (listDepth == 0 && type == u"me")
                        read.kind = CGpxKind::Me;
                    else if (listDepth == 0 && type == u"flag")
                        read.kind = CGpxKind::Flag;
                    if (listDepth != 0)
                        listPoints.push_back(read);
                    else
                        content.points.push_back(read);
                }
                point = CPendingPoint{};
            } else if (listDepth != 0 && depth == listDepth) {
                // The route's or track's points, named after it and
                // numbered, cut so that the number fits in a place name.
                QString list = strListName.simplified();
                if (list.isEmpty())
                    list = strListKind;
                for (size_t i = 0; i < listPoints.size(); ++i) {
                    const QString number = QString::number(i + 1);
                    listPoints[i].strName =
                        list.left(MAX_PLACE_NAME - 1 - number.size()).trimmed() + u' ' + number;
                    content.points.push_back(listPoints[i]);
                }
                listDepth = 0;
                listPoints.clear();
            }
            --depth;
            break;
        default:
            break;
        }
    }
    if (xml.hasError())
        return fail(xml, QStringLiteral("it is not well-formed XML (%1)").arg(xml.errorString()));
    if (gpxNamespace.isEmpty())
        return fail(xml, QStringLiteral("it is not a GPX 1.0 or 1.1 file"));
    return true;
}

bool ReadGpxFile(const QString& hostPath, GpxContent& content, QString& error) {
    content = GpxContent();
    QFile file(hostPath);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("The file cannot be read.");
        return false;
    }
    // One byte beyond the limit tells a file that is too large.
    return ReadGpx(file.read(MAX_GPX_BYTES + 1), content, error);
}
