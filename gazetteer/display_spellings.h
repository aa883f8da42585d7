#pragma once

#include "gazetteer/byte_source.h"

#include <QString>
#include <vector>

struct RawHits;

// Display spellings: beside "<category>.idx" the file "<category>.names"
// keeps the real spelling of names whose stored form loses something a user
// would see (capitals inside a word as in "Richard-Wagner-Straße", letters the
// code page lacks as in "Łódź"), so that the search lists them as they are
// really written. The format is described at the top of display_spellings.cpp.
// Without it, or where it does not fit, MakeDisplayName applies.

inline constexpr char SPELLINGS_EXTENSION[] = ".names";

// Writes the display spellings of category's index file in mapFolder (device
// path): spellings holds one text per record, in file order (empty for none).
// Kept are those that are stored as that record's name (StoredNameBytes) and
// differ from what MakeDisplayName shows; with none, nothing is written. Goes
// through the file layer (a flushed side file renamed into place, no link
// followed). False, with error, when the index file cannot be read, holds
// another number of records, or the file cannot be written.
bool WriteDisplaySpellings(const QString& mapFolder, const QString& category,
                           const std::vector<QString>& spellings, QString& error);

// The display spelling of each of hits (empty where there is none, or where it
// is not stored as the hit's name), from the spellings read through names,
// when they were written for the index file of stamp; else nothing.
std::vector<QString> LookUpSpellings(CByteSource& names, const FileStamp& stamp,
                                     const RawHits& hits);
