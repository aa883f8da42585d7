#include "store/map_calibration.h"
#include "test_support.h"

#include <QSet>
#include <QtTest>
#include <tuple>

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\Testmap");

QByteArray LittleEndian(std::initializer_list<int32_t> values) {
    QByteArray bytes;
    for (int32_t v : values)
        for (int shift = 0; shift < 32; shift += 8)
            bytes.append(char((uint32_t(v) >> shift) & 0xFF));
    return bytes;
}

auto Fields(const MapCalibration& c) {
    return std::make_tuple(c.nNorth, c.nSouth, c.nEast, c.nWest, c.nScale);
}

MapCalibration Garbage() {
    return MapCalibration{7, 7, 7, 7, 7};
}

} // namespace

Q_DECLARE_METATYPE(MapCalibration)

class TestMapCalibration : public QObject {
    Q_OBJECT

private slots:
    // Map.dat: bytes in file order scale, north, east, south, west.
    void fromMapDat_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<MapCalibration>("expected");
        const QByteArray example = LittleEndian({21115, 290670, 411720, 283280, 402220});
        const MapCalibration exampleCal{290670, 283280, 411720, 402220, 21115};
        QTest::newRow("20-byte example") << example << exampleCal;
        QTest::newRow("bytes after the 20th ignored")
            << example + QByteArray(9, '\x55') << exampleCal;
        QTest::newRow("empty file") << QByteArray() << MapCalibration{};
        // 10 bytes: scale, north, and the two low-order bytes of east.
        QTest::newRow("short file")
            << example.left(10) << MapCalibration{290670, 0, 411720 & 0xFFFF, 0, 21115};
        QTest::newRow("negative values")
            << LittleEndian({-1, -290670, 5, -6, 7}) << MapCalibration{-290670, -6, 5, 7, -1};
    }
    void fromMapDat() {
        QFETCH(QByteArray, bytes);
        QFETCH(MapCalibration, expected);
        CTestRoot root;
        QVERIFY(root.WriteFile("Veldra/Maps/Testmap/Map.dat", bytes));
        MapCalibration cal = Garbage();
        // The title is in the table, but the file wins.
        QVERIFY(ReadMapCalibration("Northcombe", kFolder, cal));
        QCOMPARE(Fields(cal), Fields(expected));
    }

    void fromTable_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("found");
        QTest::addColumn<MapCalibration>("expected");
        QTest::newRow("Northcombe")
            << "Northcombe" << true << MapCalibration{290670, 283280, 411720, 402220, 21115};
        QTest::newRow("Eastmoor") << "Eastmoor" << true
                                  << MapCalibration{677502, 669003, 328999, 316998, 23844};
        QTest::newRow("letter case") << "northcombe" << false << MapCalibration{};
        QTest::newRow("trailing blank") << "Eastmoor " << false << MapCalibration{};
        QTest::newRow("prefix only") << "Vellmouth Cent" << false << MapCalibration{};
        QTest::newRow("empty title") << "" << false << MapCalibration{};
        QTest::newRow("unknown") << "Nowhere" << false << MapCalibration{};
    }
    void fromTable() {
        QFETCH(QString, title);
        QFETCH(bool, found);
        QFETCH(MapCalibration, expected);
        CTestRoot root;
        QVERIFY(root.MakeDir("Veldra/Maps/Testmap"));
        MapCalibration cal = Garbage();
        QCOMPARE(ReadMapCalibration(title, kFolder, cal), found);
        QCOMPARE(Fields(cal), Fields(expected));
    }

    void cityAndCentreShareARow() {
        CTestRoot root;
        MapCalibration city, centre;
        QVERIFY(ReadMapCalibration("Vellmouth", kFolder, city));
        QVERIFY(ReadMapCalibration("Vellmouth Centre", kFolder, centre));
        QCOMPARE(Fields(city), Fields(centre));
        QVERIFY(city.nScale != 0);
    }

    // The table's form: 19 distinct titles, 18 distinct rows, every title
    // found as itself, edges ordered and scales from the known set.
    void tableForm() {
        CTestRoot root;
        QCOMPARE(CALIBRATION_TABLE_SIZE, 19);
        QSet<QString> titles;
        QSet<QString> rows;
        for (int i = 0; i < CALIBRATION_TABLE_SIZE; ++i) {
            const CalibrationEntry& entry = CALIBRATION_TABLE[i];
            const MapCalibration& c = entry.calibration;
            titles.insert(entry.szTitle);
            rows.insert(QString("%1 %2 %3 %4 %5")
                            .arg(c.nNorth)
                            .arg(c.nSouth)
                            .arg(c.nEast)
                            .arg(c.nWest)
                            .arg(c.nScale));
            QVERIFY2(c.nNorth > c.nSouth && c.nEast > c.nWest, entry.szTitle);
            QVERIFY2(c.nScale == 21115 || c.nScale == 23843 || c.nScale == 23844, entry.szTitle);
            MapCalibration found;
            QVERIFY(ReadMapCalibration(entry.szTitle, kFolder, found));
            QCOMPARE(Fields(found), Fields(c));
        }
        QCOMPARE(titles.size(), 19);
        QCOMPARE(rows.size(), 18);
    }
};

QTEST_GUILESS_MAIN(TestMapCalibration)
#include "test_map_calibration.moc"
