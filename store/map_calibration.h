#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

// Grid edges and scale of a map. The edges are in metres of the national grid;
// nScale is the map's scale number: one map pixel at zoom 1.0 covers
// nScale x 0.0001 units of the distance read-out. All five zero means that no
// calibration is known.
struct MapCalibration {
    int32_t nNorth = 0; // northing of the top edge of the map image
    int32_t nSouth = 0; // northing of the bottom edge
    int32_t nEast = 0;  // easting of the right edge
    int32_t nWest = 0;  // easting of the left edge
    int32_t nScale = 0; // scale number (21115, 23843, 23844, ...)
};

// One row of the built-in calibration table: a map title (ASCII) and its values.
struct CalibrationEntry {
    const char* szTitle;
    MapCalibration calibration;
};

// The built-in calibration table, used for maps whose folder has no Map.dat.
extern const CalibrationEntry CALIBRATION_TABLE[];
extern const int CALIBRATION_TABLE_SIZE;

// Fills calibration for the map with this title and folder (a device path).
// The folder's Map.dat wins when it can be opened; otherwise the title is
// looked up in the built-in table by an exact, case-sensitive comparison.
// True when Map.dat was opened or the title was found; otherwise the record is
// all zero and the result false.
bool ReadMapCalibration(const QString& title, const QString& folder, MapCalibration& calibration);

// The 20 bytes of Map.dat for a calibration (what ReadMapCalibration reads).
QByteArray MakeMapDat(const MapCalibration& calibration);
