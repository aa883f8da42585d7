// Tile decryption.
//
// .map tile file (encrypted tile; also the template tpl.map):
//   offset 0   4 bytes   plain, not used
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
#include "store/tile_cache.h"
#include "store/tile_key.h"

#include <QLatin1StringView>
#include <optional>

namespace {

// Offsets within a .map file, in bytes.
constexpr uint32_t PLAIN_HEADER_SIZE = 4;
constexpr uint32_t IMAGE_OFFSET = TILE_HEADER_BYTES;

// The RC4 state keyed once per process, at key-stream position 0. Each
// decryption works on a copy, so every call starts at the beginning of the
// key stream without keying again.
std::optional<CRc4> s_keyedRc4;

// The decryption buffer shared by the whole process (one thread only).
uint8_t s_decryptBuffer[DECRYPT_BUFFER_SIZE];

} // namespace

uint32_t DecryptBuffer(const QString& providerName, const uint8_t* keyMaterial, uint32_t keyLength,
                       uint8_t* data, uint32_t dataLength) {
    if (providerName != QLatin1StringView(TILE_PROVIDER_NAME))
        return TILE_CRYPT_BAD_PROVIDER;
    if (!s_keyedRc4) {
        if (keyMaterial == nullptr || keyLength == 0)
            return TILE_CRYPT_BAD_KEY;
        s_keyedRc4.emplace(DeriveRc4Key(keyMaterial, keyLength));
    }
    if (dataLength == 0)
        return TILE_CRYPT_OK;
    if (data == nullptr)
        return TILE_CRYPT_BAD_DATA;
    CRc4 rc4 = *s_keyedRc4;
    rc4.Crypt(data, dataLength);
    return TILE_CRYPT_OK;
}

uint32_t ReadAndDecrypt(const QString& providerName, const uint8_t* keyMaterial, uint32_t keyLength,
                        const QString& path, uint8_t* buffer, uint32_t capacity,
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
    if (DecryptBuffer(providerName, keyMaterial, keyLength, buffer + PLAIN_HEADER_SIZE,
                      n - PLAIN_HEADER_SIZE) != TILE_CRYPT_OK)
        return 0;
    payload = buffer + IMAGE_OFFSET;
    return n - IMAGE_OFFSET;
}

bool DecryptFileToFile(const QString& providerName, const uint8_t* keyMaterial, uint32_t keyLength,
                       const QString& mapPath, const QString& tmpPath) {
    const uint8_t* payload = nullptr;
    const uint32_t length = ReadAndDecrypt(providerName, keyMaterial, keyLength, mapPath,
                                           s_decryptBuffer, DECRYPT_BUFFER_SIZE, payload);
    if (length == 0)
        return false;

    // A .tmp is reused as it is by later decodings, so it must never exist
    // half written: write a side file and rename it into place.
    const QString partPath = tmpPath + QStringLiteral(".part");
    CFileHandle file = CreateFileAlways(partPath);
    if (!file.IsValid())
        return false;
    const bool written = file.Write(payload, length);
    file.Close();
    if (!written || !RenameFileAt(partPath, tmpPath)) {
        DeleteFileAt(partPath);
        return false;
    }
    return true;
}

bool DecryptTileFile(const QString& mapPath, const QString& tmpPath) {
    const std::array<uint8_t, 16> keyMaterial = MakeTileKeyMaterial();
    return DecryptFileToFile(QLatin1StringView(TILE_PROVIDER_NAME), keyMaterial.data(),
                             static_cast<uint32_t>(keyMaterial.size()), mapPath, tmpPath);
}
