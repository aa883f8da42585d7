#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <nettle/arcfour.h>

// MD5 and RC4 with the tile key derivation: the RC4 key is the first five
// bytes of the MD5 of the key material followed by eleven zero bytes (a
// 40-bit key with its zero salt, 16 bytes in all).

using Md5Digest = std::array<uint8_t, 16>;
using Rc4Key = std::array<uint8_t, 16>;

Md5Digest Md5(const uint8_t* data, size_t length);

// The 16-byte RC4 key made from an MD5 value: its first five bytes and eleven
// zero bytes.
Rc4Key Rc4KeyFromDigest(const Md5Digest& digest);

// The 16-byte RC4 key derived from key material.
Rc4Key DeriveRc4Key(const uint8_t* keyMaterial, size_t length);

// An RC4 stream started at key-stream position 0.
class CRc4 {
public:
    explicit CRc4(const Rc4Key& key);
    // Encrypts or decrypts in place, continuing the key stream.
    void Crypt(uint8_t* data, size_t length);

private:
    arcfour_ctx m_ctx;
};
