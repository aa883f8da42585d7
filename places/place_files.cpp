// Place files: "/Veldra/My Places/" + map title + "/" + place name + ".plc".
//
// A place file is text in UTF-16LE without byte-order mark, terminator or line
// end: x and y of the place's map position as decimal integers ("-" first when
// negative) with one space between them, as written by "%ld %ld". The position
// (250, 731) is the seven characters "250 731", 14 bytes; a file is at most 23
// characters (46 bytes) for 32-bit values.
//
// A file is replaced by writing the new text to the side file "<name>.plc.part"
// beside it and renaming that over the old file (ReplaceFileAtomically), so a
// crash leaves either the old place or the new one, never a part of either.
// Side files are not listed.

#include "places/place_files.h"

#include "platform/file_system.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

const QString kVeldraFolder = QStringLiteral("/Veldra");
const QString kPlacesRoot = QStringLiteral("/Veldra/My Places");
const QString kPlaceExtension = QStringLiteral(".plc");

// Bytes read from a place file: more than the longest valid file.
constexpr int kMaxReadBytes = 50;

QString PlaceFolder(const QString& mapTitle) {
    return kPlacesRoot + u'/' + mapTitle;
}

QString PlaceFile(const QString& mapTitle, const QString& placeName) {
    return PlaceFolder(mapTitle) + u'/' + placeName + kPlaceExtension;
}

// Makes the folders down to the map's place folder; a folder that already
// exists or cannot be made is passed over (a missing one shows up later as a
// file that cannot be created).
void MakePlaceFolder(const QString& mapTitle) {
    CreateDirectoryAt(kVeldraFolder);
    CreateDirectoryAt(kPlacesRoot);
    CreateDirectoryAt(PlaceFolder(mapTitle));
}

// A word of the file as a decimal long with the C library's rules (optional
// sign, stops at the first other character, no digits gives 0), saturated to
// 32 bits as a 32-bit long would be.
int ParseWord(const QString& word) {
    std::string bytes;
    bytes.reserve(size_t(word.size()));
    for (QChar c : word)
        bytes.push_back(c.unicode() < 0x80 ? char(c.unicode()) : '?');
    const long long value = strtoll(bytes.c_str(), nullptr, 10);
    return int(std::clamp<long long>(value, std::numeric_limits<int32_t>::min(),
                                     std::numeric_limits<int32_t>::max()));
}

bool IsCSpace(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

} // namespace

bool IsValidPlaceName(const QString& text) {
    if (text.isEmpty() || text == QLatin1String(".") || text == QLatin1String(".."))
        return false;
    return !text.contains(u'/') && !text.contains(u'\\') && !text.contains(QChar(0));
}

bool SavePlace(const QString& mapTitle, const QString& placeName, QPoint position) {
    if (!IsValidPlaceName(mapTitle) || !IsValidPlaceName(placeName))
        return false;
    MakePlaceFolder(mapTitle);

    const QString text = QString::asprintf("%ld %ld", long(position.x()), long(position.y()));
    QByteArray bytes;
    bytes.reserve(text.size() * 2);
    for (QChar c : text) {
        bytes.append(char(c.unicode() & 0xff));
        bytes.append(char(c.unicode() >> 8));
    }

    return ReplaceFileAtomically(PlaceFile(mapTitle, placeName), {bytes});
}

std::optional<QPoint> LoadPlace(const QString& mapTitle, const QString& placeName) {
    if (!IsValidPlaceName(mapTitle) || !IsValidPlaceName(placeName))
        return std::nullopt;
    CFileHandle file = OpenFileForRead(PlaceFile(mapTitle, placeName));
    if (!file.IsValid())
        return std::nullopt;
    unsigned char bytes[kMaxReadBytes];
    const int64_t read = std::max<int64_t>(file.Read(bytes, kMaxReadBytes), 0);
    file.Close();

    // The text is the whole UTF-16LE characters read, up to a zero character.
    QString text;
    for (int64_t i = 0; i + 1 < read; i += 2) {
        const char16_t c = char16_t(bytes[i] | (bytes[i + 1] << 8));
        if (c == 0)
            break;
        text.append(QChar(c));
    }

    // Two words separated by white space; a missing word reads as 0.
    int values[2] = {0, 0};
    qsizetype i = 0;
    for (int& value : values) {
        while (i < text.size() && IsCSpace(text[i]))
            ++i;
        const qsizetype start = i;
        while (i < text.size() && !IsCSpace(text[i]))
            ++i;
        if (i > start)
            value = ParseWord(text.mid(start, i - start));
    }
    return QPoint(values[0], values[1]);
}

bool DeletePlace(const QString& mapTitle, const QString& placeName) {
    if (!IsValidPlaceName(mapTitle) || !IsValidPlaceName(placeName))
        return false;
    return DeleteFileAt(PlaceFile(mapTitle, placeName));
}

QStringList ListPlaces(const QString& mapTitle) {
    QStringList names;
    if (!IsValidPlaceName(mapTitle))
        return names;
    MakePlaceFolder(mapTitle);
    // Side files of saves that a kill stopped are of no use to anyone.
    for (const FindData& entry : FindFiles(PlaceFolder(mapTitle) + QStringLiteral("/*.plc") +
                                           QLatin1String(SIDE_FILE_EXTENSION))) {
        if (!entry.isDirectory)
            DeleteFileAt(PlaceFolder(mapTitle) + u'/' + entry.name);
    }
    for (const FindData& entry : FindFiles(PlaceFolder(mapTitle) + QStringLiteral("/*.plc"))) {
        if (entry.isDirectory)
            continue; // only files are places
        names.append(entry.name.left(entry.name.lastIndexOf(u'.')));
    }
    return names;
}
