#pragma once

#include "map_packager.h"
#include "map_scene.h"

#include <QImage>
#include <QString>
#include <functional>
#include <vector>

// The two demo maps: fictional towns drawn here as street maps (streets with
// their names, main roads, a river with bridges, parks, a railway with
// stations, built-up blocks) together with their gazetteers. Drawing is
// deterministic: the same town comes out pixel for pixel every time.

// A drawn town, ready to be packaged.
struct DemoTown {
    QString title;
    QImage picture;                  // the whole map, Format_RGB32
    MapScene scene;                  // what it shows, to draw the overview levels from
    std::vector<PlaceRecord> places; // categories Streets, Towns, Stations, Hospitals, Places
    MapCalibration calibration;
};

// "Northcombe": 5000 x 4000 pixels (10 x 8 tiles).
DemoTown MakeNorthcombe();
// "Eastmoor": 3000 x 2500 pixels (6 x 5 tiles), a smaller town on a coast.
DemoTown MakeEastmoor();

// Progress of InstallDemoMaps: the map being worked on, the step ("drawing",
// "tile"), and for tiles the count done and the total.
using DemoProgress =
    std::function<void(const QString& title, const QString& step, int done, int total)>;

// Draws both demo towns and installs them under the current device root. When
// picturesDir is not empty, each whole picture is also saved there as
// "<title>.png". False, with error, on the first failure.
bool InstallDemoMaps(bool replace, const QString& picturesDir, QString& error,
                     const DemoProgress& progress = {});
