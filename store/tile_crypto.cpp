// Tile encryption and decryption.
//
// .map tile file (encrypted tile; also the template tpl.map):
//   offset 0   4 bytes   plain, not used by the reader; the writer puts "VPK1"
//   offset 4   52 bytes  encrypted, discarded after decryption
//   offset 56  n - 56    encrypted image file (PNG, GIF, JPEG or BMP)
// Bytes 4 .. n-1 are one RC4 stream that starts at key-stream position 0 at
// file offset 4, so the image starts at key-stream position 52. Only the first
// 131072 bytes of a file are read. The .tmp file written from it holds the
// decrypted image alone.

#include "store/tile_crypto.h"

#include "platform/crypto.h"
#include "platform/file_system.h"
#include "store/map_folder.h"
#include "store/tile_key.h"

#include <algorithm>
#include <cstring>

namespace {

// Offsets within a .map file, in bytes.
constexpr uint32_t PLAIN_HEADER_SIZE = 4;
constexpr uint32_t IMAGE_OFFSET = TILE_HEADER_BYTES;

// The RC4 state keyed once per process, at key-stream position 0. Each
// encryption or decryption works on a copy, so every call starts at the
// beginning of the key stream without keying again.
const CRc4& KeyedTileCipher() {
    static const CRc4 keyed = [] {
        const std::array<uint8_t, 16> material = MakeTileKeyMaterial();
        return CRc4(DeriveRc4Key(material.data(), material.size()));
    }();
    return keyed;
}

// A .tmp is an image file of at most 131016 bytes when this program wrote
// it; larger ones are read up to this bound (bytes) and fail to decode past it.
constexpr int64_t MAX_TEMP_FILE_BYTES = 32 * 1024 * 1024;

// The decryption buffer shared by the whole process (one thread only).
uint8_t s_decryptBuffer[MAX_TILE_FILE_BYTES];

} // namespace

void CryptTileStream(uint8_t* data, uint32_t dataLength) {
    if (data == nullptr || dataLength == 0)
        return;
    CRc4 rc4 = KeyedTileCipher();
    rc4.Crypt(data, dataLength);
}

uint32_t ReadAndDecrypt(const QString& path, uint8_t* buffer, uint32_t capacity,
                        const uint8_t*& payload) {
    payload = nullptr;
    CFileHandle file = OpenFileForRead(path);
    if (!file.IsValid())
        return 0;
    uint32_t n = 0;
    while (n < capacity) {
        const int64_t got = file.Read(buffer + n, capacity - n);
        if (got < 0)
            return 0;
        if (got == 0)
            break;
        n += static_cast<uint32_t>(got);
    }
    file.Close();

    // A file without at least one image byte after the 56-byte header is not a tile.
    if (n <= IMAGE_OFFSET)
        return 0;
    CryptTileStream(buffer + PLAIN_HEADER_SIZE, n - PLAIN_HEADER_SIZE);
    payload = buffer + IMAGE_OFFSET;
    return n - IMAGE_OFFSET;
}

bool DecryptTileFile(const QString& mapPath, const QString& tmpPath) {
    const uint8_t* payload = nullptr;
    const uint32_t length = ReadAndDecrypt(mapPath, s_decryptBuffer, MAX_TILE_FILE_BYTES, payload);
    if (length == 0)
        return false;

    // A .tmp is reused as it is by later decodings, so it must never exist
    // half written.
    return ReplaceFileAtomically(tmpPath, {QByteArrayView(payload, length)});
}

QByteArray EncryptTileImage(const QByteArray& image) {
    QByteArray file(IMAGE_OFFSET + image.size(), '\0');
    uint8_t* data = reinterpret_cast<uint8_t*>(file.data());
    std::memcpy(data, "VPK1", PLAIN_HEADER_SIZE);
    for (uint32_t i = PLAIN_HEADER_SIZE; i < IMAGE_OFFSET; ++i)
        data[i] = static_cast<uint8_t>(i * 37 + 11);
    std::memcpy(data + IMAGE_OFFSET, image.constData(), static_cast<size_t>(image.size()));
    CryptTileStream(data + PLAIN_HEADER_SIZE, uint32_t(file.size()) - PLAIN_HEADER_SIZE);
    return file;
}

bool ReadTileImageFile(const QString& path, QByteArray& image) {
    image.clear();
    CFileHandle file = OpenFileForRead(path);
    const int64_t size = file.IsValid() ? file.Size() : -1;
    if (size < 0)
        return false;
    image.resize(qsizetype(std::min(size, MAX_TEMP_FILE_BYTES)));
    const int64_t got = file.Read(image.data(), image.size());
    image.truncate(qsizetype(std::max<int64_t>(got, 0)));
    return true;
}
