#pragma once

#include <QString>

// Facts of an installed map shared by the viewer and the packaging tool: the
// tiles' size and names, the encrypted tile's header, and where a map is
// registered. Each fact is defined here and nowhere else.
//
// A map folder holds:
//   {prefix}{row}_{col}.map  an encrypted tile (format in store/tile_crypto.cpp)
//   {prefix}{row}_{col}.tmp  its decrypted image while it is being converted
//   {prefix}{row}_{col}.cbm  a converted tile (format in store/tile_cache.cpp)
//   Map.dat                  the calibration (store/map_calibration.cpp)
//   {category}.idx           a gazetteer (gazetteer/index_search.cpp)
// Rows and columns are counted from 1; the prefix comes from the map's title.

// Edge of a tile, in pixels; tiles are square.
inline constexpr int TILE_SIZE = 500;
// Largest .map file, in bytes (the size of the shared decryption buffer).
inline constexpr int MAX_TILE_FILE_BYTES = 131072;
// Bytes before the image in a .map: 4 plain bytes and 52 encrypted filler bytes.
inline constexpr int TILE_HEADER_BYTES = 56;
// Largest image inside a .map, in bytes.
inline constexpr int MAX_TILE_IMAGE_BYTES = MAX_TILE_FILE_BYTES - TILE_HEADER_BYTES;

// The folder of the installed maps and of the shared template tile.
inline constexpr char MAPS_FOLDER[] = "\\Veldra\\Maps";
// Name of the template tile (a .map, converted like any tile) in MAPS_FOLDER.
inline constexpr char TEMPLATE_TILE_NAME[] = "tpl";

// Installed maps are registry keys under APPS_KEY named MAP_KEY_PREFIX followed
// by the map's title, with the values INSTALL_DIR_VALUE (the map folder, a
// device path of at most MAX_INSTALL_DIR_CHARS characters) and CURRENT_VALUE
// (1 on the map chosen last, 0 on every other).
inline constexpr char APPS_KEY[] = "Software\\Apps";
inline constexpr char MAP_KEY_PREFIX[] = "Veldra Pocket map of ";
inline constexpr char INSTALL_DIR_VALUE[] = "InstallDir";
inline constexpr char CURRENT_VALUE[] = "Current";
inline constexpr int MAX_INSTALL_DIR_CHARS = 49;

// The registry key of the map with this title: APPS_KEY, a backslash,
// MAP_KEY_PREFIX and the title.
QString MapKey(const QString& title);

// The tile prefix of a map: the first three characters of its title, lower-cased.
QString TilePrefix(const QString& title);

// Appends the name of the tile in row and column (both from 1) to text: the
// prefix, the row, '_' and the column ("%s%d_%d"). Allocates nothing beyond
// text's capacity, so a redraw can reuse one string for every tile.
void AppendTileName(QString& text, const QString& prefix, int row, int column);

// The name of the tile in row and column (both from 1), without extension.
QString TileName(const QString& prefix, int row, int column);
