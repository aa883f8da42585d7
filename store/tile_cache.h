#pragma once

#include "platform/file_system.h"

#include <QImage>
#include <QString>
#include <cstdint>

// Pixel-memory description of the template bitmap, filled once after it is
// decoded (the platform's BITMAP record).
struct BitmapInfo {
    int bmType = 0;
    int bmWidth = 0;      // pixels
    int bmHeight = 0;     // pixels
    int bmWidthBytes = 0; // bytes per row
    int bmPlanes = 1;
    int bmBitsPixel = 0;             // bits per pixel
    unsigned char* bmBits = nullptr; // the pixel memory
};

// Sizes of the pipeline's static buffers, in bytes.
inline constexpr int DECRYPT_BUFFER_SIZE = 131072;
inline constexpr int COMPRESSED_BUFFER_SIZE = 500000;
inline constexpr int DECODER_BUFFER_SIZE = 1024;

// The tile pipeline: converts encrypted tiles (.map -> .tmp -> bitmap -> .cbm)
// and loads converted tiles into one template bitmap for drawing. Folders are
// device paths; tile names carry no folder and no extension ("%s%d_%d").
class TileCache {
public:
    TileCache();
    virtual ~TileCache();
    TileCache(const TileCache&) = delete;
    TileCache& operator=(const TileCache&) = delete;

    // Loads a converted tile into the template bitmap and returns it in
    // bitmap. Every tile comes back as the same bitmap, valid until the next call.
    bool GetTileBitmap(const QString& folder, const QString& tileName, const QImage*& bitmap);
    // Decrypts (or reuses the .tmp of) a tile and decodes it into a new bitmap
    // of the display format.
    bool DecodeTile(const QString& folder, const QString& tileName, QImage& bitmap);
    // Writes a decoded tile as a .cbm file.
    bool SaveCompressedTile(const QString& folder, const QString& tileName, const QImage& bitmap);
    // Deletes the tile's .map and .tmp; always true.
    bool DeleteTileSources(const QString& folder, const QString& tileName);

    // Decodes the 500 x 500 template tile "\Veldra\Maps\tpl" into m_hbmTemplate
    // and fills m_bmTemplate; false (and no template) when it cannot.
    bool LoadTemplate();
    // Uncompresses a .cbm into the template's pixel memory; false unless it
    // fills that memory exactly.
    bool LoadCompressedTile(const QString& folder, const QString& tileName);
    // Opens the tile's .tmp, decrypting its .map into one first when there is
    // none (after pruning old .tmp files); an invalid handle when it cannot.
    CFileHandle OpenTileImage(const QString& folder, const QString& tileName);
    // Deletes the oldest .tmp files of folder while it holds more than 16, at
    // most 5 per call.
    static void PruneTempFiles(const QString& folder);

    int32_t m_nScale;     // per cent: 100, tiles are decoded at their own size
    int32_t m_nMaxWidth;  // largest decoded width: 10000
    int32_t m_nMaxHeight; // largest decoded height: 10000
    QImage m_hbmTemplate; // null until first needed
    BitmapInfo m_bmTemplate;
};

// Number of entries (files or folders) in folder matching pattern: mode 1
// stops at the first match (0 or 1), any other mode counts them all.
int CountFiles(const QString& folder, const QString& pattern, int mode);

// Decrypts a .map tile file into a .tmp image file with the tile key.
bool DecryptTileFile(const QString& mapPath, const QString& tmpPath);

// Decodes an image file held in memory into a new bitmap of the display
// format no larger than maxWidth x maxHeight pixels; false when it yields none.
// Reentrant: conversion workers call it side by side.
bool DecodeTileImage(const uint8_t* data, int64_t size, int maxWidth, int maxHeight,
                     QImage& bitmap);
// The zlib stream (compress, default level) of a decoded tile's raw pixels,
// written to stream (capacity bytes, at most 500000 are used). Returns its
// length N, or 0 when the bitmap is not a square display-format tile of at
// most 500000 raw bytes or the stream does not fit. Reentrant.
uint32_t CompressTileImage(const QImage& bitmap, uint8_t* stream, uint32_t capacity);
