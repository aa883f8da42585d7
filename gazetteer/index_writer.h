#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>
#include <vector>

// Writing index files: the record format is described at the top of
// index_search.cpp, which reads it back. The packaging tool writes every index
// file through these.

// One place as an index record: its name as it is to be shown ("St John's
// Wood NHS Centre") or already in stored form (lower case with '!', see
// StoredPlaceName), two free texts and its map position (pixels of the whole
// map image at zoom 1.0).
struct IndexRecord {
    QString name;
    QString extra1;
    QString extra2;
    int x = 0;
    int y = 0;
};

// The bytes "|name|extra1|extra2|x|y|#" of a record, the name in stored form.
// False, with error, for a field holding '|' or a control character,
// beginning with '#', longer than 99 bytes or not in Windows-1252, an empty
// name, or a position outside mapSize (both coordinates at least 1; an empty
// mapSize bounds nothing above).
bool EncodeIndexRecord(const IndexRecord& place, const QSize& mapSize, QByteArray& record,
                       QString& error);

// Writes the side files of category's index file in mapFolder (device path),
// which must be written and flushed already: its side index and, when
// spellings holds any (one per record, in file order), its display
// spellings. False, with error, when either cannot be written.
bool WriteIndexSideFiles(const QString& mapFolder, const QString& category,
                         const std::vector<QString>& spellings, QString& error);
