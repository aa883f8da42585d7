#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

// GPX files: named points exchanged with other map programs. Reading and
// writing only; which places they become is the caller's business. The
// format is described at the top of places/gpx.cpp.

// The largest GPX file read, bytes.
inline constexpr qsizetype MAX_GPX_BYTES = 8 * 1024 * 1024;
// The most points (waypoints, route and track points) a file may hold.
inline constexpr int MAX_GPX_POINTS = 2000;
// The deepest element nesting a file may have.
inline constexpr int MAX_GPX_DEPTH = 32;

// What a point stands for.
enum class CGpxKind {
    Place, // a named place
    Me,    // the "me" marker
    Flag,  // the flag marker
};

// One point: its name and kind, latitude and longitude in degrees.
struct GpxPoint {
    QString strName;
    CGpxKind kind = CGpxKind::Place;
    double lat = 0;
    double lon = 0;
};

// GPX 1.1 text of a list of points, each a waypoint with its name (and, for
// the markers, the type "me" or "flag"), under metadata named title.
QByteArray WriteGpx(const QString& title, const std::vector<GpxPoint>& points);

// What a GPX file holds: its waypoints, then the points of each route and
// track named after it and their number from 1 ("Walk 1", "Walk 2", ...),
// and how many points were refused for lacking a latitude or longitude or
// holding one beyond the globe.
struct GpxContent {
    std::vector<GpxPoint> points;
    int nRefused = 0;
};

// Reads a GPX 1.0 or 1.1 file. False, with one line for the user in error,
// when it is larger than MAX_GPX_BYTES, not well-formed XML, not GPX (another
// root element or namespace), declares a document type or entities, nests
// deeper than MAX_GPX_DEPTH, holds more than MAX_GPX_POINTS points or a
// coordinate that is not a number. Elements of other namespaces (extensions)
// are passed over.
bool ReadGpx(const QByteArray& bytes, GpxContent& content, QString& error);
// ReadGpx of a file (a host path), read no further than MAX_GPX_BYTES.
bool ReadGpxFile(const QString& hostPath, GpxContent& content, QString& error);
