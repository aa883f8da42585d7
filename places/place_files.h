#pragma once

#include <QPoint>
#include <QString>
#include <QStringList>
#include <optional>

// Places: named map positions (pixels of the whole map image at zoom 1.0)
// kept per map, one small file each, under "/Veldra/My Places/<map title>/".
// Home is the place named "Home". The file format is described at the top of
// place_files.cpp.

// The longest place name, in characters (the dialogs enforce it).
inline constexpr int MAX_PLACE_NAME = 30;

// The name Home is kept under.
inline const QString kHomePlace = QStringLiteral("Home");

// True when text can be a place name or a map title: one file or folder name
// that stays inside its parent folder, that is not empty, not "." or ".." and
// without '/', '\' or a zero character. The operations below refuse a title or
// name that is not.
bool IsValidPlaceName(const QString& text);

// Saves position as the place name of the map, replacing a place of that name
// in one step (the old file stays whole until the new one is complete). False
// when the name or title is refused or the file cannot be written; nothing is
// written then.
bool SavePlace(const QString& mapTitle, const QString& placeName, QPoint position);

// The position of a place; nothing when its file cannot be opened. A value the
// file does not hold as a number reads as 0, which every caller ignores.
std::optional<QPoint> LoadPlace(const QString& mapTitle, const QString& placeName);

// Deletes a place's file (the folders stay); true when it was deleted.
bool DeletePlace(const QString& mapTitle, const QString& placeName);

// The names of the map's places in file-system order (unsorted). Makes the
// map's place folder when it is missing.
QStringList ListPlaces(const QString& mapTitle);
