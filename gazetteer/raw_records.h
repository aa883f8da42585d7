#pragma once

// Records as a search finds them (inside the gazetteer): copied out of the
// index bytes while they are read, and decoded into matches once the reading
// is over, so that reading never allocates.

#include "gazetteer/index_search.h"

#include <QByteArrayView>
#include <cstddef>
#include <cstdint>
#include <vector>

// One record: its five fields, each cut to its first 99 bytes.
struct RawRecord {
    uint64_t offset; // where its first '|' stands
    uint8_t length[5];
    char field[5][MAX_INDEX_FIELD_BYTES];
    QByteArrayView Field(int f) const { return {field[f], qsizetype(length[f])}; }
};

// The records a search lists, in file order, and whether it would list more.
struct RawHits {
    RawRecord records[MAX_MATCHES];
    int count = 0;
    bool more = false;
};

// Copies the record whose first '|' is record[0], with avail bytes readable
// from there. False when those bytes end, or a zero byte comes, before the
// '|' that closes its fifth field.
bool CopyRecord(const unsigned char* record, size_t avail, uint64_t offset, RawRecord& out);

// The matches of hits: fields as wide text, names through MakeDisplayName
// unless spellings (empty, or one per hit) gives a display spelling.
SearchResult DecodeHits(const RawHits& hits, const std::vector<QString>& spellings = {});
