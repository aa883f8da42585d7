#include "platform/crypto.h"

#include <nettle/md5.h>

Md5Digest Md5(const uint8_t* data, size_t length) {
    md5_ctx ctx;
    md5_init(&ctx);
    if (length > 0)
        md5_update(&ctx, length, data);
    Md5Digest digest{};
    md5_digest(&ctx, digest.size(), digest.data());
    return digest;
}

Rc4Key Rc4KeyFromDigest(const Md5Digest& digest) {
    // A 40-bit key: the first five bytes of the hash, then eleven zero bytes of salt.
    Rc4Key key{};
    for (size_t i = 0; i < 5; ++i)
        key[i] = digest[i];
    return key;
}

Rc4Key DeriveRc4Key(const uint8_t* keyMaterial, size_t length) {
    return Rc4KeyFromDigest(Md5(keyMaterial, length));
}

CRc4::CRc4(const Rc4Key& key) {
    arcfour_set_key(&m_ctx, key.size(), key.data());
}

void CRc4::Crypt(uint8_t* data, size_t length) {
    if (length > 0)
        arcfour_crypt(&m_ctx, length, data, data);
}
