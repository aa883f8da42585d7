#pragma once

#include <QString>
#include <cstdint>

// Tile decryption. A tile is decrypted with an RC4 key derived once per
// process from the tile key material (see platform/crypto.h for the
// derivation); every decryption starts at key-stream position 0.

// The one cryptographic provider name that is accepted.
inline constexpr char TILE_PROVIDER_NAME[] = "Veldra Base Tile Provider v1.0";

// Error codes of DecryptBuffer (0 is success).
enum TileCryptError : uint32_t {
    TILE_CRYPT_OK = 0,
    TILE_CRYPT_BAD_PROVIDER = 1, // the provider name is not the accepted one
    TILE_CRYPT_BAD_KEY = 2,      // no key material was given
    TILE_CRYPT_BAD_DATA = 3,     // no data pointer for a non-empty length
};

// Decrypts dataLength bytes in place from key-stream position 0. The RC4 key is
// derived from keyMaterial on the first successful call and kept for the rest
// of the process; later calls reuse it (every caller passes the same material).
// Returns 0 on success or one of the TileCryptError codes.
uint32_t DecryptBuffer(const QString& providerName, const uint8_t* keyMaterial, uint32_t keyLength,
                       uint8_t* data, uint32_t dataLength);

// Reads up to capacity bytes of the .map file at path (a device path) into
// buffer and decrypts bytes 4 onward in place. On success payload points at
// buffer + 56 and the image length (bytes read - 56) is returned; 0 means
// failure (no file, a file shorter than 57 bytes, or a decryption error).
uint32_t ReadAndDecrypt(const QString& providerName, const uint8_t* keyMaterial, uint32_t keyLength,
                        const QString& path, uint8_t* buffer, uint32_t capacity,
                        const uint8_t*& payload);

// Decrypts the .map at mapPath into the image file tmpPath (device paths),
// using the process's shared 131072-byte decryption buffer. The image is
// written under a temporary name and renamed into place, so tmpPath either
// holds the whole image or does not exist (unless it existed before).
bool DecryptFileToFile(const QString& providerName, const uint8_t* keyMaterial, uint32_t keyLength,
                       const QString& mapPath, const QString& tmpPath);

// Decrypts a .map tile file into a .tmp image file with the tile key.
bool DecryptTileFile(const QString& mapPath, const QString& tmpPath);
