#include "platform/crypto.h"

#include <QtTest>

namespace {

template <size_t N> QByteArray Bytes(const std::array<uint8_t, N>& array) {
    return QByteArray(reinterpret_cast<const char*>(array.data()), qsizetype(N));
}

// The bytes 00, 01, ... count - 1.
QByteArray Counting(int count) {
    QByteArray bytes(count, Qt::Uninitialized);
    for (int i = 0; i < count; ++i)
        bytes[i] = char(i);
    return bytes;
}

} // namespace

class TestCrypto : public QObject {
    Q_OBJECT

private slots:
    void keyFromPublishedDigest();
    void keyFromKeyMaterial();
};

void TestCrypto::keyFromPublishedDigest() {
    Md5Digest digest;
    const QByteArray hash = QByteArray::fromHex("7340e6e274b8ea399395aa29d638b52a");
    std::copy(hash.begin(), hash.end(), digest.begin());
    const Rc4Key key = Rc4KeyFromDigest(digest);
    QCOMPARE(Bytes(key), QByteArray::fromHex("7340e6e2740000000000000000000000"));

    QByteArray data = Counting(32);
    CRc4(key).Crypt(reinterpret_cast<uint8_t*>(data.data()), size_t(data.size()));
    QCOMPARE(data.left(16), QByteArray::fromHex("2659de2444fa369c110cbb9db6a2bd24"));

    // The five bytes alone, without the zero salt, give another stream.
    arcfour_ctx shortKey;
    arcfour_set_key(&shortKey, 5, key.data());
    QByteArray plain = Counting(4);
    arcfour_crypt(&shortKey, 4, reinterpret_cast<uint8_t*>(plain.data()),
                  reinterpret_cast<const uint8_t*>(plain.constData()));
    QCOMPARE(plain, QByteArray::fromHex("e21578e9"));
    QVERIFY(plain != data.left(4));
}

void TestCrypto::keyFromKeyMaterial() {
    const QByteArray material = Counting(16);
    const auto* bytes = reinterpret_cast<const uint8_t*>(material.constData());
    QCOMPARE(Bytes(Md5(bytes, 16)), QByteArray::fromHex("1ac1ef01e96caf1be0d329331a4fc2a8"));
    const Rc4Key key = DeriveRc4Key(bytes, 16);
    QCOMPARE(Bytes(key), QByteArray::fromHex("1ac1ef01e90000000000000000000000"));
    std::array<uint8_t, 16> stream{}; // encrypting zeros gives the key stream
    CRc4(key).Crypt(stream.data(), stream.size());
    QCOMPARE(Bytes(stream), QByteArray::fromHex("1cc28fca197766ad6bf99151cbc6fe3e"));
}

QTEST_GUILESS_MAIN(TestCrypto)
#include "test_crypto.moc"
