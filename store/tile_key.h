#pragma once

#include <array>
#include <cstdint>

// The 16 bytes of tile key material, shared by the viewer (decryption) and the
// packaging tool (encryption). Built on the caller's stack from constants on
// every call rather than kept as one readable block.
inline std::array<uint8_t, 16> MakeTileKeyMaterial() {
    std::array<uint8_t, 16> key{};
    uint8_t value = 0x5b;
    for (int i = 0; i < 16; ++i) {
        value = static_cast<uint8_t>(value * 29 + 0x3d + i);
        key[static_cast<size_t>(i)] = value;
    }
    return key;
}
