#include "places/place_files.h"
#include "test_support.h"

#include <QTest>
#include <QtEndian>

namespace {

const QString kMap = QStringLiteral("Northcombe");

QString PlaceHost(const QString& map, const QString& name) {
    return "Veldra/My Places/" + map + "/" + name + ".plc";
}

QByteArray Utf16(const QString& text) {
    QByteArray bytes(text.size() * 2, '\0');
    qToLittleEndian<char16_t>(text.utf16(), text.size(), bytes.data());
    return bytes;
}

} // namespace

class TestPlaceFiles : public QObject {
    Q_OBJECT

private slots:
    // The file is "%ld %ld" in UTF-16LE without byte-order mark.
    void roundTrip_data() {
        QTest::addColumn<QPoint>("position");
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << QPoint(250, 731) << "250 731";
        QTest::newRow("negative") << QPoint(-5, -12345) << "-5 -12345";
        QTest::newRow("extremes") << QPoint(INT_MIN, INT_MAX) << "-2147483648 2147483647";
    }
    void roundTrip() {
        QFETCH(QPoint, position);
        QFETCH(QString, text);
        CTestRoot root; // holds no Veldra folder yet
        QVERIFY(SavePlace(kMap, "Harbour", position));
        QCOMPARE(root.ReadFile(PlaceHost(kMap, "Harbour")), Utf16(text));
        QCOMPARE(LoadPlace(kMap, "Harbour"), std::optional<QPoint>(position));
    }

    // "Home" is an ordinary place; a dot in a name stays; maps are kept apart.
    void replaceListAndDelete() {
        CTestRoot root;
        QVERIFY(SavePlace(kMap, "Home", QPoint(10, 20)));
        QVERIFY(SavePlace(kMap, "St. Mary's.old", QPoint(3, 4)));
        QVERIFY(SavePlace(kMap, "Home", QPoint(-30, 40))); // replaced without a question
        QCOMPARE(LoadPlace(kMap, "Home"), std::optional<QPoint>(QPoint(-30, 40)));
        QStringList names = ListPlaces(kMap);
        names.sort();
        QCOMPARE(names, (QStringList{"Home", "St. Mary's.old"}));
        QCOMPARE(LoadPlace(kMap, "St. Mary's.old"), std::optional<QPoint>(QPoint(3, 4)));

        QVERIFY(ListPlaces("Map B").isEmpty());
        QVERIFY(root.Exists("Veldra/My Places/Map B")); // made by the listing
        QVERIFY(!LoadPlace("Map B", "Home").has_value() && !DeletePlace("Map B", "Home"));

        QVERIFY(DeletePlace(kMap, "Home"));
        QVERIFY(!LoadPlace(kMap, "Home").has_value());
        QVERIFY(!DeletePlace(kMap, "Home"));
        QCOMPARE(ListPlaces(kMap), QStringList{"St. Mary's.old"});
    }

    void refused_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("name");
        QTest::newRow("slash") << kMap << "../Other";
        QTest::newRow("backslash") << kMap << "..\\Other";
        QTest::newRow("dot dot") << kMap << "..";
        QTest::newRow("dot") << kMap << ".";
        QTest::newRow("empty") << kMap << "";
        QTest::newRow("zero") << kMap << QString::fromUtf8("ab\0c", 4);
        QTest::newRow("title slash") << QString("Map/Sub") << "Pier";
        QTest::newRow("title up") << QString("..") << "Pier";
        QTest::newRow("title empty") << QString() << "Pier";
    }
    void refused() {
        QFETCH(QString, title);
        QFETCH(QString, name);
        CTestRoot root;
        QVERIFY(!SavePlace(title, name, QPoint(5, 6)));
        if (title != kMap) // a refused title is not listed either
            QVERIFY(ListPlaces(title).isEmpty());
        QVERIFY(QDir(root.Path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
        // A file that the refused address would reach is neither read nor deleted.
        root.WriteFile("Veldra/My Places/Other.plc", Utf16("7 8"));
        root.WriteFile("Veldra/My Places/Pier.plc", Utf16("7 8"));
        QVERIFY(!LoadPlace(title, name).has_value());
        QVERIFY(!DeletePlace(title, name));
        QVERIFY(root.Exists("Veldra/My Places/Other.plc") &&
                root.Exists("Veldra/My Places/Pier.plc"));
    }

    // Two words (C rules, 0 when missing) in the first 50 bytes' UTF-16LE.
    void malformed_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QPoint>("position");
        QTest::newRow("empty") << QByteArray() << QPoint(0, 0);
        QTest::newRow("one number") << Utf16("12") << QPoint(12, 0);
        QTest::newRow("trailing letters") << Utf16("12x 34y") << QPoint(12, 34);
        QTest::newRow("white space") << Utf16("\t 7 \r\n 9 ") << QPoint(7, 9);
        QTest::newRow("odd byte") << Utf16("1 2") + '5' << QPoint(1, 2);
        QTest::newRow("zero char") << Utf16(QString::fromUtf8("5\0 6", 4)) << QPoint(5, 0);
        QTest::newRow("too large") << Utf16("99999999999 -99999999999") << QPoint(INT_MAX, INT_MIN);
        QTest::newRow("only 50 bytes") << Utf16(QString(24, u' ') + "4 5") << QPoint(4, 0);
        QTest::newRow("8-bit text") << QByteArray("250 731") << QPoint(0, 0);
        QTest::newRow("large") << Utf16("3 4") + QByteArray(1 << 20, 'x') << QPoint(3, 4);
    }
    void malformed() {
        QFETCH(QByteArray, bytes);
        QFETCH(QPoint, position);
        CTestRoot root;
        root.WriteFile(PlaceHost(kMap, "Odd"), bytes);
        QCOMPARE(LoadPlace(kMap, "Odd"), std::optional<QPoint>(position));
    }

    // A failed write keeps the old place; a crash's leftover does not matter.
    void replacementIsWhole() {
        CTestRoot root;
        const QString tmp = PlaceHost(kMap, "Home") + ".part";
        QVERIFY(SavePlace(kMap, "Home", QPoint(11, 22)));
        root.MakeDir(tmp); // the new file cannot be made
        QVERIFY(!SavePlace(kMap, "Home", QPoint(33, 44)));
        QCOMPARE(LoadPlace(kMap, "Home"), std::optional<QPoint>(QPoint(11, 22)));
        QDir(root.Host(tmp)).removeRecursively();

        root.WriteFile(tmp, Utf16("9"));
        QCOMPARE(ListPlaces(kMap), QStringList{"Home"});
        QVERIFY(!root.Exists(tmp)); // what the crash left is cleared
        QVERIFY(SavePlace(kMap, "Home", QPoint(55, 66)));
        QCOMPARE(root.ReadFile(PlaceHost(kMap, "Home")), Utf16("55 66"));
        QVERIFY(!root.Exists(tmp));
    }
};

QTEST_GUILESS_MAIN(TestPlaceFiles)
#include "test_place_files.moc"
