#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// The gazetteer: one index file per category of named places in a map folder,
// and the search for names that contain a typed text. The file format is
// described at the top of index_search.cpp. Beside an index file may stand a
// side index that finds the records holding a text without reading the whole
// file (side_index.h), and the display spellings of its names
// (display_spellings.h); both are used only while they belong to the index
// file as it is, and a search gives the same result with or without them.

// The most matches one search lists.
inline constexpr int MAX_MATCHES = 40;
// Longest text field of an index record (name, extra1, extra2), in bytes.
inline constexpr int MAX_INDEX_FIELD_BYTES = 99;

// One listed match: the record's fields as wide text and its map position
// (pixels of the whole map image at zoom 1.0).
struct IndexMatch {
    QString name;   // the stored name after MakeDisplayName, at most 99 characters
    QString extra1; // field 2 as stored, at most 99 characters
    QString extra2; // field 3 as stored, at most 99 characters
    int32_t x = 0;  // 0 when the field is not a number
    int32_t y = 0;
    uint64_t offset = 0; // where the record's first '|' stands in the index file
};

// The result of a search that was made: the matches in file order and whether
// the text occurs again after the record of the last of MAX_MATCHES matches.
struct SearchResult {
    std::vector<IndexMatch> matches;
    bool more = false;
    bool loose = false; // the matches are those of the looser pass (see SearchIndexThenLoose)
};

// Whether a search may use the side files beside the index file (the
// benchmarks and tests compare it with the scan of the whole file).
enum class SideFiles { Use, Ignore };

// The category names of the map in mapFolder (a device path), in the order
// they are offered: file-system order, with "Streets" (exact case) moved to
// the front. Empty when the folder holds no index file.
QStringList ListCategories(const QString& mapFolder);

// The typed text as the search uses it, still wide: leading and trailing
// spaces (U+0020 only) removed and the rest in lower case. A zero character
// ends the text. The search dialog keeps and shows this form.
QString PrepareSearchText(const QString& typed);

// The bytes searched for: PrepareSearchText folded to the code page as stored
// names are (FoldToCodePage in index_names.h, so "ŁÓDŹ" looks for "lódz"),
// in Windows-1252 and cut to 99 bytes. A character with no letter there
// becomes the substitute byte 0x1A, which no stored name holds.
QByteArray EncodeSearchText(const QString& typed);

// Searches the index file of category in mapFolder for names containing the
// typed text. Nothing (no search made) when the prepared text is empty; a
// result with no matches when the file is missing, empty or unreadable. A
// file cut short while it is read gives the matches found in what could be
// read. Names with a display spelling are shown in it.
std::optional<SearchResult> SearchIndex(const QString& mapFolder, const QString& category,
                                        const QString& typed, SideFiles side = SideFiles::Use);

// SearchIndex, and when it finds no match the looser pass: names that hold
// the text with other accents or the usual equivalent letters (CLooseText in
// index_names.h), in file order, at most MAX_MATCHES, more when a further name
// matches. The result says which pass found its matches.
std::optional<SearchResult> SearchIndexThenLoose(const QString& mapFolder, const QString& category,
                                                 const QString& typed,
                                                 SideFiles side = SideFiles::Use);

// The searches over index bytes already in memory (size bytes at data): they
// read nothing outside [data, data + size). text is the encoded search text
// and must not be empty.
SearchResult SearchIndexBytes(const unsigned char* data, size_t size, const QByteArray& text);
SearchResult LooseSearchIndexBytes(const unsigned char* data, size_t size, const QByteArray& text);

// The name as shown: the first character and every character after a space in
// capitals, and a '!' turned into a space after which the word up to the next
// space is all capitals; leading white space removed.
QString MakeDisplayName(const QString& stored);
