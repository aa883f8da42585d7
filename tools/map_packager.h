#pragma once

#include "gazetteer/index_names.h"
#include "gazetteer/index_writer.h"
#include "store/geo_reference.h"
#include "store/map_calibration.h"
#include "store/map_folder.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// The map packaging tool's library: turns a picture and a list of named places
// into an installed map on the device root (tiles, Map.dat, index files, the
// shared template tile and the registry key, and the geo-reference when the
// picture's place on Earth is known). The files it writes are those listed in
// store/map_folder.h, made by the writers beside their readers
// (EncryptTileImage, MakeMapDat, MapKey, the geo-reference's writer); the last
// row and column of tiles are padded white.

// Longest map title: a registry key name is at most 255 characters, and the
// key prefix takes the rest.
inline constexpr int MAX_TITLE_CHARS = 234;

// One named place of a gazetteer: its category (the index file's name), its
// name as it is to be shown ("St John's Wood NHS Centre") or already in stored
// form (lower case with '!', see StoredPlaceName), two free texts and its map
// position (pixels of the whole picture at zoom 1.0).
struct PlaceRecord {
    QString category;
    QString name;
    QString extra1;
    QString extra2;
    int x = 0;
    int y = 0;
    int line = 0;       // line of the places file it came from, 0 when made in code
    QString spelling{}; // the name as really written, kept as its display spelling; may be empty
};

// What PackageMap installs.
struct PackageRequest {
    QString title;  // the map title shown by the viewer
    QImage picture; // the whole map image, any size
    // Instead of picture: the picture's size and a function that draws any
    // rectangle of it (picture pixels) as an image of the rectangle's size.
    // The picture is then drawn one row of tiles at a time.
    QSize pictureSize;
    std::function<QImage(const QRect& part)> drawPart;
    // Instead of picture or drawPart: the picture's size and a function that
    // reads its next rows (at most TILE_SIZE, top to bottom) as a
    // Format_RGB888 image of the picture's width, made opaque (OpaqueOnWhite); false, with error,
    // when it cannot. The picture is then read a band at a time as its tiles are made.
    std::function<bool(int rows, QImage& band, QString& error)> readRows;
    // Draws part of an overview level (0 or 1, see LEVEL_ZOOMS in
    // store/map_folder.h), part in the level's pixels, as an image of part's
    // size. Without it the levels of a picture (whole or read in rows) are
    // averages of its 2 x 2 and 4 x 4 pixels; a drawn picture without it has
    // no levels.
    std::function<QImage(int level, const QRect& part)> drawLevelPart;
    QString folder; // device path of the map folder; empty: \Veldra\Maps\<title>
    std::optional<MapCalibration> calibration; // written as Map.dat when given
    // Written as the geo-reference file when given; its picture size must be
    // the picture's.
    std::optional<CGeoReference> geoReference;
    std::vector<PlaceRecord> places; // written as index files
    bool replace = false;            // replace a map already installed under this title or folder
    bool large = false;              // allow more than MAX_MAP_TILES tiles
    // Threads that draw, encode, encrypt and write the tiles; 0: one per core.
    // The files are the same, byte for byte, whatever the count.
    int workers = 0;
    // Called after each step that puts the map in place ("swapped" or
    // "moved", then "registered"), so that a test can stop there as a kill
    // would.
    std::function<void(const char* step)> afterStep;
};

// Called after each tile is written: tiles done so far and the total.
using PackageProgress = std::function<void(int done, int total)>;

// The most tiles a map may have unless the request allows more: a map a user
// would not expect to take many minutes and gigabytes.
inline constexpr int MAX_MAP_TILES = 10000;

// The tile count of a picture of size (a row or column begun counts whole).
int64_t TileCount(const QSize& size);

// False, with error, when a picture of size needs more than MAX_MAP_TILES
// tiles and large is not set.
bool CheckTileCount(const QSize& size, bool large, QString& error);

// False, with error naming the problem (missing, a folder, not a regular file,
// unreadable), unless hostPath is a regular file that can be read. what names
// the file in the message ("the picture", "the extract").
bool CheckInputFile(const QString& hostPath, const QString& what, QString& error);

// True when title can serve as a map title: it names the map's folder and its
// place-file folder and forms the tile prefix. Otherwise error says why.
bool CheckMapTitle(const QString& title, QString& error);

// The device path of the map folder for a title and an optional folder: the
// folder given (separators made backslashes, a leading one added), else
// \Veldra\Maps\<title>. False, with error, when it is unusable or longer than
// InstallDir allows.
bool ResolveMapFolder(const QString& title, const QString& folder, QString& devicePath,
                      QString& error);

// The index files of a list of places: one (category, file bytes) pair per
// category, in order of first appearance, records in list order. Categories
// must be usable file names. False, with error naming the place, on the first
// bad place.
bool BuildIndexFiles(const std::vector<PlaceRecord>& places, const QSize& mapSize,
                     std::vector<std::pair<QString, QByteArray>>& files, QString& error);

// Reads a places file: UTF-8 text, one place a line with six tab-separated
// fields (category, name, extra1, extra2, x, y); blank lines and lines starting
// with '#' are skipped. False, with error naming the line, when it cannot be
// read or a line is malformed.
bool ReadPlacesFile(const QString& hostPath, std::vector<PlaceRecord>& places, QString& error);

// Parses "NORTH,SOUTH,EAST,WEST,SCALE" (decimal 32-bit integers).
bool ParseCalibration(const QString& text, MapCalibration& calibration, QString& error);

// Loads a picture file of any size; false, with error, when it is unreadable.
bool LoadPicture(const QString& hostPath, QImage& picture, QString& error);

// The picture as the map shows it: Format_RGB32, its transparent and
// translucent pixels laid over white.
QImage OpaqueOnWhite(const QImage& picture);

// Tile (row, col), both from 1, of a picture: 500 x 500 pixels in
// Format_RGB32, white where the picture does not reach (and behind
// transparent pixels, as OpaqueOnWhite).
QImage CutTile(const QImage& picture, int row, int col);

// The image file of a tile: a straight PNG, else an 8-bit palette PNG, of at
// most MAX_TILE_IMAGE_BYTES. False, with error, when neither fits.
bool EncodeTileImage(const QImage& tile, QByteArray& image, QString& error);

// Reduces an image to at most 256 colours (Format_Indexed8), keeping the
// colours exactly when it has no more than 256.
QImage ToPaletteImage(const QImage& image);

// Writes a new file in a folder the tool made (never through a link); the map
// folder is flushed to disk as a whole before it is moved into place. False,
// with error, when it cannot be written.
bool WriteNewFile(const QString& devicePath, const QByteArray& bytes, QString& error);

// Writes the shared template tile tpl.map (a white 500 x 500 tile) in
// \Veldra\Maps unless it is there already. False, with error, when it is
// missing and cannot be written.
bool EnsureTemplateTile(QString& error);

// Installs a map: checks everything first, builds the folder under a staging
// name beside its final place, moves it into place when complete (an
// installed map is swapped with it in one step), and only then registers it
// under Software\Apps. On failure nothing is left behind: no staging folder,
// no key, and a replaced map is put back; a kill leaves the old map or the new
// one installed, and the next run removes the rest. Symbolic links are never
// followed: a link under a name the tool needs makes it refuse. False, with
// one line in error, on failure.
bool PackageMap(const PackageRequest& request, QString& error,
                const PackageProgress& progress = {});
