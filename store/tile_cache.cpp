// The tile cache, and the converted tile's format with its writer.
//
// .cbm file (converted tile):
//   offset 0  4 bytes  N, length of the compressed data, unsigned little-endian
//   offset 4  N bytes  zlib stream (compress, default level) of the tile's raw
//                      pixels: the bitmap's pixel memory, W x W x (bits/8) bytes
// N and the raw size are both at most 500000 bytes (a 500 x 500 RGB565 tile).
// Written with zlib's compress; read with libdeflate, which inflates the same
// stream about three times as fast.
// The .map and .tmp formats are described in tile_crypto.cpp.

#include "store/tile_cache.h"

#include "platform/device_root.h"
#include "platform/file_system.h"
#include "platform/image_codec.h"
#include "store/map_folder.h"
#include "store/tile_crypto.h"

#include <QBuffer>
#include <QtEndian>
#include <algorithm>
#include <libdeflate.h>
#include <limits>
#include <zlib.h> // compress, for writing

namespace {

// The buffer a .cbm's stream is compressed into or read into, shared by the
// whole process (one thread only).
uint8_t s_compressedBuffer[COMPRESSED_BUFFER_SIZE];

QString TilePath(const QString& folder, const QString& tileName, const char* extension) {
    return JoinDevicePath(folder, tileName + QLatin1StringView(extension));
}

} // namespace

TileCache::TileCache() : m_pDecompressor(libdeflate_alloc_decompressor()) {}

TileCache::~TileCache() {
    libdeflate_free_decompressor(m_pDecompressor);
}

bool TileCache::GetTileBitmap(const QString& folder, const QString& tileName,
                              const QImage*& bitmap) {
    bitmap = nullptr;
    if (m_imgTemplate.isNull() && !LoadTemplate())
        return false;
    if (m_nCacheLimit < KeptTileBytes()) {
        if (!LoadCompressedTile(folder, tileName))
            return false;
        bitmap = &m_imgTemplate;
        return true;
    }

    m_strKey.resize(0); // keeps its capacity: no allocation per fetch
    m_strKey.append(folder).append(u'\\').append(tileName);
    const auto found = m_keptIndex.constFind(m_strKey);
    if (found != m_keptIndex.cend()) {
        KeptTile& kept = m_kept[found.value()];
        kept.lastUse = ++m_nUseClock;
        ++m_nCacheHits;
        bitmap = &kept.pixels;
        return true;
    }
    const size_t index = FreeSlot();
    if (index == m_kept.size())
        return false;
    KeptTile& slot = m_kept[index];
    if (!LoadCompressedInto(folder, tileName, slot.pixels.bits(),
                            size_t(slot.pixels.sizeInBytes())))
        return false;
    slot.key = m_strKey;
    slot.lastUse = ++m_nUseClock;
    slot.shrunkMade[0] = slot.shrunkMade[1] = false;
    m_keptIndex.insert(slot.key, index);
    bitmap = &slot.pixels;
    return true;
}

size_t TileCache::FreeSlot() {
    size_t chosen = m_kept.size();
    for (size_t i = 0; i < m_kept.size(); ++i) {
        if (m_kept[i].key.isEmpty())
            return i;
        if (chosen == m_kept.size() || m_kept[i].lastUse < m_kept[chosen].lastUse)
            chosen = i;
    }
    // Slots are made as they are first needed, up to the limit, and reused
    // after that. The deque keeps every slot in place as it grows.
    const size_t slotCount = size_t(m_nCacheLimit / std::max<int64_t>(1, KeptTileBytes()));
    if (m_kept.size() < slotCount) {
        QImage pixels(m_imgTemplate.size(), m_imgTemplate.format());
        if (!pixels.isNull()) {
            KeptTile& slot = m_kept.emplace_back();
            slot.pixels = std::move(pixels);
            return m_kept.size() - 1;
        }
    }
    if (chosen != m_kept.size()) {
        m_keptIndex.remove(m_kept[chosen].key);
        m_kept[chosen].key.clear();
    }
    return chosen;
}

int64_t TileCache::KeptTileBytes() const {
    // The tile, and its copies at a quarter and at half its edge.
    const int64_t tile = m_imgTemplate.sizeInBytes();
    return tile + tile / 16 + tile / 4;
}

const QImage* TileCache::ShrunkTile(const QImage* tile, double zoom) {
    const int which = zoom == 0.25 ? 0 : zoom == 0.5 ? 1 : -1;
    if (which < 0 || tile == nullptr || tile->depth() != 16)
        return nullptr;
    KeptTile* kept = nullptr;
    for (KeptTile& candidate : m_kept)
        if (&candidate.pixels == tile && !candidate.key.isEmpty())
            kept = &candidate;
    if (kept == nullptr)
        return nullptr;
    QImage& shrunk = kept->shrunk[which];
    if (!kept->shrunkMade[which]) {
        const int step = which == 0 ? 4 : 2;
        const int offset = which == 0 ? 1 : 0;
        const QSize size(tile->width() / step, tile->height() / step);
        if (shrunk.size() != size || shrunk.format() != tile->format())
            shrunk = QImage(size, tile->format());
        if (shrunk.isNull())
            return nullptr;
        for (int y = 0; y < size.height(); ++y) {
            const auto* from =
                reinterpret_cast<const uint16_t*>(tile->constScanLine(y * step + offset)) + offset;
            auto* to = reinterpret_cast<uint16_t*>(shrunk.scanLine(y));
            for (int x = 0; x < size.width(); ++x)
                to[x] = from[x * step];
        }
        kept->shrunkMade[which] = true;
    }
    return &shrunk;
}

void TileCache::SetCacheLimit(int64_t bytes) {
    // The limit comes from the user's settings, which allow up to 4 PiB: a
    // value larger than the machine can hold means as many as it can.
    bytes = std::clamp<int64_t>(bytes, 0, MaxCacheLimit());
    if (bytes == m_nCacheLimit)
        return;
    m_nCacheLimit = bytes;
    m_keptIndex.clear();
    std::deque<KeptTile>().swap(m_kept);
}

int64_t TileCache::MaxCacheLimit() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return DEFAULT_CACHE_BYTES;
    return std::max<int64_t>(int64_t(pages) / 4 * pageSize, DEFAULT_CACHE_BYTES);
}

void TileCache::ForgetTiles(const QString& folder) {
    const QString prefix = folder + u'\\';
    for (KeptTile& kept : m_kept) {
        if (!kept.key.isEmpty() && (folder.isEmpty() || kept.key.startsWith(prefix))) {
            m_keptIndex.remove(kept.key);
            kept.key.clear();
        }
    }
}

bool WriteCompressedTile(const QString& folder, const QString& tileName, const QImage& bitmap) {
    const uint32_t compressedSize =
        CompressTileImage(bitmap, s_compressedBuffer, COMPRESSED_BUFFER_SIZE);
    if (compressedSize == 0)
        return false;

    // Written under a side name and renamed into place: a failed write never
    // leaves a .cbm that would pass for a converted tile.
    const uint32_t n = static_cast<uint32_t>(compressedSize);
    unsigned char lengthField[4];
    qToLittleEndian<uint32_t>(n, lengthField);
    return ReplaceFileAtomically(
        TilePath(folder, tileName, ".cbm"),
        {QByteArrayView(lengthField, 4), QByteArrayView(s_compressedBuffer, qsizetype(n))});
}

QByteArray EncodeCompressedTile(const QImage& bitmap) {
    QByteArray file(4 + COMPRESSED_BUFFER_SIZE, Qt::Uninitialized);
    uint8_t* stream = reinterpret_cast<uint8_t*>(file.data()) + 4;
    const uint32_t n = CompressTileImage(bitmap, stream, COMPRESSED_BUFFER_SIZE);
    if (n == 0)
        return {};
    qToLittleEndian<uint32_t>(n, file.data());
    file.truncate(4 + qsizetype(n));
    return file;
}

bool TileCache::LoadTemplate() {
    // The template's .tmp is kept beside its .map once made, like any tile's
    // decrypted image before its conversion, and used as it is from then on.
    const QString folder = QString::fromLatin1(MAPS_FOLDER);
    const QString name = QString::fromLatin1(TEMPLATE_TILE_NAME);
    const QString tmpPath = TilePath(folder, name, ".tmp");
    QByteArray image;
    const bool haveImage = ReadTileImageFile(tmpPath, image) ||
                           (DecryptTileFile(TilePath(folder, name, ".map"), tmpPath) &&
                            ReadTileImageFile(tmpPath, image));
    QImage decoded;
    if (!haveImage ||
        !DecodeTileImage(reinterpret_cast<const uint8_t*>(image.constData()), image.size(),
                         decoded) ||
        decoded.size() != QSize(TILE_SIZE, TILE_SIZE) || decoded.format() != kDisplayFormat) {
        m_imgTemplate = QImage();
        return false;
    }
    m_imgTemplate = std::move(decoded);
    return true;
}

bool TileCache::LoadCompressedTile(const QString& folder, const QString& tileName) {
    if (m_imgTemplate.isNull())
        return false;
    // bits() detaches the image, so the template owns its pixel memory alone.
    return LoadCompressedInto(folder, tileName, m_imgTemplate.bits(),
                              size_t(m_imgTemplate.sizeInBytes()));
}

bool TileCache::LoadCompressedInto(const QString& folder, const QString& tileName, uint8_t* pixels,
                                   size_t size) {
    if (m_pDecompressor == nullptr)
        return false;
    CFileHandle file = OpenFileForRead(TilePath(folder, tileName, ".cbm"));
    if (!file.IsValid())
        return false;
    ++m_nTileReads;
    unsigned char lengthField[4];
    if (file.Read(lengthField, 4) != 4)
        return false;
    const uint32_t n = qFromLittleEndian<uint32_t>(lengthField);
    if (n > COMPRESSED_BUFFER_SIZE || file.Read(s_compressedBuffer, n) != int64_t(n))
        return false;
    file.Close();

    // The tile must fill the pixel memory exactly: a stream that ends early,
    // holds fewer pixels or would write past the memory is refused, as is
    // one whose data or checksum is corrupt.
    return libdeflate_zlib_decompress(m_pDecompressor, s_compressedBuffer, n, pixels, size,
                                      nullptr) == LIBDEFLATE_SUCCESS;
}

bool DecodeTileImage(const uint8_t* data, int64_t size, QImage& bitmap) {
    bitmap = QImage();
    if (data == nullptr || size <= 0 || size > std::numeric_limits<int>::max())
        return false;
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<int>(size));
    QBuffer device;
    device.setData(bytes);
    if (!device.open(QIODevice::ReadOnly) || !DecodeImageToDisplay(&device, bitmap) ||
        bitmap.isNull()) {
        bitmap = QImage();
        return false;
    }
    return true;
}

uint32_t CompressTileImage(const QImage& bitmap, uint8_t* stream, uint32_t capacity) {
    if (bitmap.isNull() || bitmap.format() != kDisplayFormat || bitmap.width() != bitmap.height())
        return 0;
    // Raw size: width x width x bytes per pixel, taken from the start of the
    // pixel memory (which is at least that large).
    const int64_t rawSize = int64_t(bitmap.width()) * bitmap.width() * (bitmap.depth() / 8);
    if (rawSize <= 0 || rawSize > COMPRESSED_BUFFER_SIZE || rawSize > bitmap.sizeInBytes())
        return 0;
    uLongf compressedSize = std::min<uint32_t>(capacity, COMPRESSED_BUFFER_SIZE);
    if (compress(stream, &compressedSize, bitmap.constBits(), static_cast<uLong>(rawSize)) != Z_OK)
        return 0;
    return static_cast<uint32_t>(compressedSize);
}

int CountFiles(const QString& folder, const QString& pattern) {
    CFindFile find;
    FindData entry;
    if (!find.FindFirst(JoinDevicePath(folder, pattern), entry))
        return 0;
    int count = 1;
    while (find.FindNext(entry))
        ++count;
    return count;
}

int RemoveTileLeftovers(const QString& folder) {
    int removed = 0;
    for (const FindData& entry :
         FindFiles(JoinDevicePath(folder, u'*' + QLatin1String(SIDE_FILE_EXTENSION)))) {
        if (!entry.isDirectory)
            removed += DeleteFileAt(JoinDevicePath(folder, entry.name));
    }
    for (const FindData& entry : FindFiles(JoinDevicePath(folder, QStringLiteral("*.tmp")))) {
        const QString stem = entry.name.chopped(4); // the pattern ends in ".tmp"
        if (!entry.isDirectory && !FileExists(TilePath(folder, stem, ".map")))
            removed += DeleteFileAt(JoinDevicePath(folder, entry.name));
    }
    return removed;
}
