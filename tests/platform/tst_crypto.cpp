#include "platform/crypto.h"

#include <QtTest>

namespace {

QByteArray Bytes(const uint8_t* data, size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

template <size_t N> QByteArray Bytes(const std::array<uint8_t, N>& array) {
    return Bytes(array.data(), N);
}

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
    void md5_data();
    void md5();
    void keyFromPublishedDigest();
    void keyFromKeyMaterial();
    void rc4Reference();
    void streamContinuesAcrossCalls();
};

void TestCrypto::md5_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("digest");
    QTest::newRow("empty") << QByteArray()
                           << QByteArray::fromHex("d41d8cd98f00b204e9800998ecf8427e");
    QTest::newRow("abc") << QByteArray("abc")
                         << QByteArray::fromHex("900150983cd24fb0d6963f7d28e17f72");
    QTest::newRow("key material 00..0f")
        << Counting(16) << QByteArray::fromHex("1ac1ef01e96caf1be0d329331a4fc2a8");
}

void TestCrypto::md5() {
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, digest);
    QCOMPARE(Bytes(Md5(reinterpret_cast<const uint8_t*>(input.constData()), size_t(input.size()))),
             digest);
}

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
    const Rc4Key key = DeriveRc4Key(reinterpret_cast<const uint8_t*>(material.constData()),
                                    size_t(material.size()));
    QCOMPARE(Bytes(key), QByteArray::fromHex("1ac1ef01e9"
                                             "0000000000000000000000"));
    std::array<uint8_t, 16> stream{}; // encrypting zeros gives the key stream
    CRc4(key).Crypt(stream.data(), stream.size());
    QCOMPARE(Bytes(stream), QByteArray::fromHex("1cc28fca197766ad6bf99151cbc6fe3e"));
}

void TestCrypto::rc4Reference() {
    // A published 128-bit RC4 test vector: key 01..10, key stream from offset 0.
    Rc4Key key;
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = uint8_t(i + 1);
    std::array<uint8_t, 16> stream{};
    CRc4(key).Crypt(stream.data(), stream.size());
    QCOMPARE(Bytes(stream), QByteArray::fromHex("9ac7cc9a609d1ef7b2932899cde41b97"));
}

void TestCrypto::streamContinuesAcrossCalls() {
    const Rc4Key key = Rc4KeyFromDigest(Md5(reinterpret_cast<const uint8_t*>("k"), 1));
    QByteArray whole = Counting(1000);
    QByteArray pieces = whole;
    CRc4(key).Crypt(reinterpret_cast<uint8_t*>(whole.data()), size_t(whole.size()));
    CRc4 rc4(key);
    auto* p = reinterpret_cast<uint8_t*>(pieces.data());
    rc4.Crypt(p, 7);
    rc4.Crypt(p + 7, 0);
    rc4.Crypt(p + 7, 500);
    rc4.Crypt(p + 507, 493);
    QCOMPARE(pieces, whole);
}

QTEST_GUILESS_MAIN(TestCrypto)
#include "tst_crypto.moc"
