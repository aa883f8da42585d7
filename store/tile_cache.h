#pragma once

#include "store/map_folder.h"

#include <QHash>
#include <QImage>
#include <QString>
#include <cstdint>
#include <deque>

struct libdeflate_decompressor;

// Size of the buffer a .cbm's stream is read into or compressed into, in
// bytes: also the largest raw tile.
inline constexpr int COMPRESSED_BUFFER_SIZE = 500000;

// The tile cache: loads converted tiles (.cbm) for drawing. Folders are
// device paths; tile names carry no folder and no extension ("%s%d_%d").
// Converting encrypted tiles is store/map_conversion's work, through the
// reentrant pieces below the class.
//
// It keeps recently used decoded tiles, up to a limit in bytes of
// pixels (DEFAULT_CACHE_BYTES unless SetCacheLimit says otherwise), so that
// a tile drawn again after a zoom or a pan back is not read again. With a
// limit below one tile every fetch reads its file into the one template
// bitmap. Kept tiles are not checked against their files: whoever changes a
// map's tiles (opening, converting, replacing or deleting a map) calls
// ForgetTiles for it.
class TileCache {
public:
    // 64 MiB: 102 tiles of 500 x 500 RGB565 with their shrunk copies for
    // zoom 0.25 and 0.5, enough for a zoom round trip between 1.0 and 0.25
    // on a window of 1,000 x 1,000 pixels.
    static constexpr int64_t DEFAULT_CACHE_BYTES = int64_t(64) << 20;

    TileCache();
    virtual ~TileCache();
    TileCache(const TileCache&) = delete;
    TileCache& operator=(const TileCache&) = delete;

    // Loads a converted tile and returns it in bitmap: a kept decoded tile, or
    // else the template bitmap filled from the tile's file. The bitmap is
    // valid until the next call; the caller draws it before asking again.
    bool GetTileBitmap(const QString& folder, const QString& tileName, const QImage*& bitmap);
    // The kept tile that GetTileBitmap returned as tile, shrunk for zoom
    // 0.25 or 0.5 to the pixels a plain (not smooth) stretch by the painter
    // picks from it: (4x + 1, 4y + 1) and (2x, 2y). Made once while the tile
    // stays kept. Null for another zoom or a tile that is not kept.
    const QImage* ShrunkTile(const QImage* tile, double zoom);
    // Bytes of decoded tiles (with their shrunk copies) kept at most; fewer
    // than one tile's keeps none. A limit beyond MaxCacheLimit() is taken as
    // that. Room for kept tiles is taken as tiles are kept, not in advance.
    void SetCacheLimit(int64_t bytes);
    // The largest limit: a quarter of the machine's physical memory.
    static int64_t MaxCacheLimit();
    int64_t CacheLimit() const { return m_nCacheLimit; }
    // Drops the kept tiles of folder, or every kept tile when folder is empty.
    void ForgetTiles(const QString& folder = QString());

    uint64_t m_nTileReads = 0; // .cbm files opened for drawing
    uint64_t m_nCacheHits = 0; // fetches answered from kept tiles

private:
    // Decodes the 500 x 500 template tile "\Veldra\Maps\tpl" into
    // m_imgTemplate, from its .tmp, decrypting its .map into one first when
    // there is none; false (and no template) when it cannot.
    bool LoadTemplate();
    // Uncompresses a .cbm into the template's pixel memory; false unless it
    // fills that memory exactly.
    bool LoadCompressedTile(const QString& folder, const QString& tileName);

    struct KeptTile {
        QString key; // folder, a backslash and the tile name; empty: a free slot
        QImage pixels;
        uint64_t lastUse = 0;
        QImage shrunk[2];                    // for zoom 0.25 and 0.5, made when first needed
        bool shrunkMade[2] = {false, false}; // for the tile the slot holds now
    };
    // Bytes one kept tile may take with its shrunk copies.
    int64_t KeptTileBytes() const;
    // Reads and uncompresses a .cbm into pixels (size bytes); false unless
    // it fills them exactly.
    bool LoadCompressedInto(const QString& folder, const QString& tileName, uint8_t* pixels,
                            size_t size);
    // The slot to load a tile into: a free one, a new one while the limit
    // allows, else the least recently used; m_kept.size() when there is none.
    size_t FreeSlot();

    QImage m_imgTemplate;                               // null until first needed
    libdeflate_decompressor* m_pDecompressor = nullptr; // null when it could not be made
    int64_t m_nCacheLimit = DEFAULT_CACHE_BYTES;
    std::deque<KeptTile> m_kept;        // grows as tiles are kept; a kept tile never moves
    QHash<QString, size_t> m_keptIndex; // key -> slot in m_kept
    uint64_t m_nUseClock = 0;
    QString m_strKey; // reused for every fetch's key
};

// Number of entries (files or folders) in folder matching pattern.
int CountFiles(const QString& folder, const QString& pattern);

// Writes a decoded tile (a square display-format bitmap of at most 500000
// raw bytes) as the .cbm of tileName in folder (a device path), through a
// flushed side file; false when the bitmap does not qualify or the write fails.
// Uses the pipeline's shared buffer: one thread only.
bool WriteCompressedTile(const QString& folder, const QString& tileName, const QImage& bitmap);
// The whole .cbm file of a decoded tile (as WriteCompressedTile writes it),
// or nothing when the bitmap does not qualify. Reentrant: the packaging tool
// compresses overview-level tiles side by side.
QByteArray EncodeCompressedTile(const QImage& bitmap);
// Decodes an image file held in memory (a .tmp's bytes) into a new bitmap of
// the display format, of at most 10000 pixels a side (the decoder's bound);
// false when it yields none. Reentrant: conversion workers call it side by side.
bool DecodeTileImage(const uint8_t* data, int64_t size, QImage& bitmap);
// The zlib stream (compress, default level) of a decoded tile's raw pixels,
// written to stream (capacity bytes, at most 500000 are used). Returns its
// length N, or 0 when the bitmap is not a square display-format tile of at
// most 500000 raw bytes or the stream does not fit. Reentrant.
uint32_t CompressTileImage(const QImage& bitmap, uint8_t* stream, uint32_t capacity);

// Removes what an interrupted run left in a map folder: side files of writes
// that never finished, and .tmp files whose .map is gone (a conversion stopped
// between deleting a tile's .map and its .tmp), which nothing would ever use
// or remove. Returns the number of files removed.
int RemoveTileLeftovers(const QString& folder);
