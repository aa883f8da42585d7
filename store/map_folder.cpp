#include "store/map_folder.h"

#include <algorithm>

QString MapKey(const QString& title) {
    return QString::fromLatin1(APPS_KEY) + u'\\' + QString::fromLatin1(MAP_KEY_PREFIX) + title;
}

int LevelOf(double zoom) {
    for (int level = 0; level < LEVEL_COUNT; ++level)
        if (zoom == LEVEL_ZOOMS[level])
            return level;
    return -1;
}

int LevelTiles(int fullTiles, double zoom) {
    const int pixels = int(fullTiles * TILE_SIZE * zoom);
    return (pixels + TILE_SIZE - 1) / TILE_SIZE;
}

QString LevelFolder(const QString& mapFolder, int level) {
    return mapFolder + u'\\' + QLatin1StringView(LEVEL_FOLDERS[level]);
}

QString TilePrefix(const QString& title) {
    return title.left(3).toLower();
}

namespace {
// Appends the decimal digits of a non-negative number.
void AppendNumber(QString& text, int value) {
    char digits[12];
    int n = 0;
    unsigned v = value < 0 ? 0u : unsigned(value);
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    std::reverse(digits, digits + n);
    text.append(QLatin1StringView(digits, n));
}
} // namespace

void AppendTileName(QString& text, const QString& prefix, int row, int column) {
    text += prefix;
    AppendNumber(text, row);
    text += QLatin1Char('_');
    AppendNumber(text, column);
}

QString TileName(const QString& prefix, int row, int column) {
    QString name;
    name.reserve(prefix.size() + 12);
    AppendTileName(name, prefix, row, column);
    return name;
}
