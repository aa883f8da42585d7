#include "platform/crypto.h"

#include <QtTest>
#include <numeric>

namespace {

template <size_t N> QByteArray Bytes(const std::array<uint8_t, N>& array) {
    return QByteArray(reinterpret_cast<const char*>(array.data()), qsizetype(N));
}

} // namespace

class TestCrypto : public QObject {
    Q_OBJECT

private slots:
    // Key material 00 01 ... 0F: its MD5, the key (five bytes of it and the zero
    // salt) and the key stream, as an independent RC4 and MD5 give them.
    void keyFromKeyMaterial() {
        std::array<uint8_t, 16> material;
        std::iota(material.begin(), material.end(), uint8_t(0));
        QCOMPARE(Bytes(Md5(material.data(), 16)),
                 QByteArray::fromHex("1ac1ef01e96caf1be0d329331a4fc2a8"));
        const Rc4Key key = DeriveRc4Key(material.data(), 16);
        QCOMPARE(Bytes(key), QByteArray::fromHex("1ac1ef01e90000000000000000000000"));
        std::array<uint8_t, 16> stream{}; // encrypting zeros gives the key stream
        CRc4(key).Crypt(stream.data(), stream.size());
        QCOMPARE(Bytes(stream), QByteArray::fromHex("1cc28fca197766ad6bf99151cbc6fe3e"));
    }
};

QTEST_GUILESS_MAIN(TestCrypto)
#include "test_crypto.moc"
