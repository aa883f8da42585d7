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
//   Zoom 0.5\, Zoom 0.25\    overview levels, optional (see below)
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

// Overview levels: the map drawn again for zoom 0.5 and 0.25, with line
// widths and labels chosen for that scale, each in a sub-folder of the map
// folder. A level is the picture of the map's whole tile grid (padding
// included) at that zoom, so that its pixel (x, y) is the zoomed position
// (x, y); it is cut into TILE_SIZE tiles named like the map's own and stored
// converted ({prefix}{row}_{col}.cbm), so it needs no conversion and leaves
// the map's own grid, count and conversion alone. The viewer draws from a
// level only when it holds its whole grid (LevelTiles in each direction).
inline constexpr int LEVEL_COUNT = 2;
inline constexpr double LEVEL_ZOOMS[LEVEL_COUNT] = {0.5, 0.25};
inline constexpr const char* LEVEL_FOLDERS[LEVEL_COUNT] = {"Zoom 0.5", "Zoom 0.25"};
// The level drawn for zoom (0 or 1), or -1 when none is.
int LevelOf(double zoom);
// Tiles of a level along one side of a map of fullTiles tiles.
int LevelTiles(int fullTiles, double zoom);
// The device path of a level's folder in a map folder.
QString LevelFolder(const QString& mapFolder, int level);

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
