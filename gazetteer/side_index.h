#pragma once

#include "gazetteer/byte_source.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

struct RawHits;

// The side index of a gazetteer: beside "<category>.idx" the file
// "<category>.search" lists, for every three letters that occur in names,
// the records whose names hold them, so that a search for a rare text reads
// only a few records instead of the whole index file. The format is described
// at the top of side_index.cpp. The index file stays the truth: a side index
// is used only while it belongs to the index file as it is now, and a search
// through it lists exactly what the scan of the index file lists.

inline constexpr char SIDE_INDEX_EXTENSION[] = ".search";

// Reports the share done (0-100) now and then; returning false cancels.
using BuildProgress = std::function<bool(int percent)>;

// The side index of the index bytes read through idx, recording their size
// and modified (the index file's modification time, nanoseconds since the
// epoch). Nothing when the bytes are not strictly well formed (every
// record complete, fields within their lengths, no zero byte), when its
// postings would pass 4 GiB, or when progress cancels.
std::optional<QByteArray> BuildSideIndex(CByteSource& idx, int64_t modified,
                                         const BuildProgress& progress = {});

// Answers a search (the encoded text; loose for the looser pass) through a
// side index: fills hits exactly as scanning the index bytes would and
// returns true. False, with hits untouched, when the side index cannot answer:
// it is not one, it was made from another state of the index file (stamp,
// when given, differs from the recorded one), or the text has fewer than
// three letters to look up or holds '|' or '#'. Every record it lists is read
// from idx and checked to begin a record and to match.
bool SearchWithSideIndex(CByteSource& idx, CByteSource& side, const QByteArray& text, bool loose,
                         const FileStamp* stamp, RawHits& hits);

// True when a side index can answer a search for the encoded text: it holds
// neither '|' nor '#', and has three letters to look up (for the looser pass,
// three that no umlaut can stretch).
bool SideIndexSuits(const QByteArray& text, bool loose);

// True when category's index file in mapFolder (device path) has a side index
// made from it as it is now.
bool HasFreshSideIndex(const QString& mapFolder, const QString& category);

// Makes the side index of category's index file in mapFolder and writes it
// beside it through the file layer (a flushed side file renamed into place, no
// link followed). False, writing nothing, when the index file cannot be read,
// is not well formed, changed while it was read, or progress cancels.
bool WriteSideIndex(const QString& mapFolder, const QString& category,
                    const BuildProgress& progress = {});
