#include "store/map_calibration.h"
#include "test_support.h"

#include <QSet>
#include <QtTest>
#include <set>
#include <tuple>

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\Testmap");
const MapCalibration kNorthcombe{290670, 283280, 411720, 402220, 21115};

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

} // namespace

Q_DECLARE_METATYPE(MapCalibration)

class TestMapCalibration : public QObject {
    Q_OBJECT

private slots:
    // Map.dat (scale, north, east, south, west) wins over the table; else the
    // title is looked up exactly, a miss giving zeros and false.
    void readCalibration_data() {
        QTest::addColumn<bool>("withMapDat");
        QTest::addColumn<QByteArray>("mapDat");
        QTest::addColumn<QString>("title");
        QTest::addColumn<MapCalibration>("expected");
        const QByteArray example = LittleEndian({21115, 290670, 411720, 283280, 402220});
        QTest::newRow("Map.dat, 20 bytes") << true << example << "Eastmoor" << kNorthcombe;
        // 10 bytes: scale, north, and the two low-order bytes of east.
        QTest::newRow("Map.dat, short") << true << example.left(10) << "Northcombe"
                                        << MapCalibration{290670, 0, 411720 & 0xFFFF, 0, 21115};
        QTest::newRow("Map.dat, empty") << true << QByteArray() << "Northcombe" << MapCalibration{};
        QTest::newRow("Map.dat, written by MakeMapDat")
            << true << MakeMapDat({-1, 2, 3, 4, 5}) << "Northcombe"
            << MapCalibration{-1, 2, 3, 4, 5};
        // Titles in the table are each read back in tableForm.
        QTest::newRow("Northcombe") << false << QByteArray() << "Northcombe" << kNorthcombe;
        QTest::newRow("letter case") << false << QByteArray() << "northcombe" << MapCalibration{};
        QTest::newRow("trailing blank") << false << QByteArray() << "Eastmoor " << MapCalibration{};
        QTest::newRow("prefix only")
            << false << QByteArray() << "Vellmouth Cent" << MapCalibration{};
    }
    void readCalibration() {
        QFETCH(bool, withMapDat);
        QFETCH(QByteArray, mapDat);
        QFETCH(QString, title);
        QFETCH(MapCalibration, expected);
        CTestRoot root;
        QVERIFY(withMapDat ? root.WriteFile("Veldra/Maps/Testmap/Map.dat", mapDat)
                           : root.MakeDir("Veldra/Maps/Testmap"));
        MapCalibration cal{7, 7, 7, 7, 7};
        QCOMPARE(ReadMapCalibration(title, kFolder, cal), withMapDat || expected.nScale != 0);
        QCOMPARE(Fields(cal), Fields(expected));
        if (mapDat.size() == 20) // the writer makes exactly what was read
            QCOMPARE(MakeMapDat(expected), mapDat);
    }

    // 19 distinct titles in 18 distinct rows: the city and the centre of
    // Vellmouth share one.
    void tableForm() {
        QSet<QString> titles;
        std::set<decltype(Fields({}))> rows;
        for (int i = 0; i < CALIBRATION_TABLE_SIZE; ++i) {
            titles.insert(CALIBRATION_TABLE[i].szTitle);
            rows.insert(Fields(CALIBRATION_TABLE[i].calibration));
        }
        QCOMPARE(QList<qsizetype>({CALIBRATION_TABLE_SIZE, titles.size(), qsizetype(rows.size())}),
                 QList<qsizetype>({19, 19, 18}));
        CTestRoot root;
        MapCalibration city, centre;
        QVERIFY(ReadMapCalibration("Vellmouth", kFolder, city));
        QVERIFY(ReadMapCalibration("Vellmouth Centre", kFolder, centre));
        QCOMPARE(Fields(city), Fields(centre));
    }
};

QTEST_GUILESS_MAIN(TestMapCalibration)
#include "test_map_calibration.moc"
