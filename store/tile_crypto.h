#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

// Tile encryption and decryption. Tiles are RC4-encrypted with one key,
// derived once per process from the tile key material (see platform/crypto.h
// for the derivation); every encryption and decryption starts at key-stream
// position 0. Safe to call from several threads.

// Decrypts (or encrypts: the cipher is its own inverse) dataLength bytes in
// place from key-stream position 0.
void CryptTileStream(uint8_t* data, uint32_t dataLength);

// Reads up to capacity bytes of the .map file at path (a device path) into
// buffer and decrypts bytes 4 onward in place. On success payload points at
// buffer + 56 and the image length (bytes read - 56) is returned; 0 means
// failure (no file, or a file shorter than 57 bytes).
uint32_t ReadAndDecrypt(const QString& path, uint8_t* buffer, uint32_t capacity,
                        const uint8_t*& payload);

// Decrypts the .map at mapPath into the image file tmpPath (device paths),
// using the process's shared 131072-byte decryption buffer (one thread only).
// The image is written under a temporary name and renamed into place, so
// tmpPath either holds the whole image or does not exist (unless it existed
// before).
bool DecryptTileFile(const QString& mapPath, const QString& tmpPath);

// The .map file of an image file (the writer of what ReadAndDecrypt reads):
// the 4 plain bytes, 52 filler bytes and the image, bytes 4 onward encrypted.
QByteArray EncryptTileImage(const QByteArray& image);

// Reads a decrypted tile image (.tmp) at path (a device path), up to 32 MiB;
// false when it cannot be opened. Reentrant.
bool ReadTileImageFile(const QString& path, QByteArray& image);
