#pragma once

#include <QString>
#include <optional>

// The viewer makes the side indexes that a map lacks (maps made before side
// indexes existed, or copied without them) on one worker thread of its own,
// so that the window never waits: until a side index is written, searches
// scan the index file, with the same result. Only index files of at least
// SIDE_INDEX_MIN_BYTES get one here; a scan of a smaller one is as quick.

inline constexpr qint64 SIDE_INDEX_MIN_BYTES = 1 << 20;

// Queues every gazetteer of mapFolder (device path) that is large enough and
// has no fresh side index; the worker makes them one after the other.
void RequestSideIndexes(const QString& mapFolder);

// While a side index of mapFolder is being made or waits to be: how far the
// one being made is (0-100). Nothing when none is.
std::optional<int> SideIndexProgress(const QString& mapFolder);

// Waits until the worker is idle (for tests and benchmarks).
void WaitForSideIndexes();
