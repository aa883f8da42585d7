#include "store/geo_reference.h"
#include "test_support.h"

#include <QtTest>
#include <cmath>

namespace {

// A picture of 2000 x 1000 pixels from 122.32 W to 122.28 W and 37.80 N to 37.82 N.
CGeoReference Oakland(CProjection projection = CProjection::WebMercator) {
    return *CGeoReference::FromEdges(projection, QSize(2000, 1000), -122.32, 37.80, -122.28, 37.82);
}

const QByteArray kValid = "VeldraGeoReference 1\r\n# made by hand\nprojection lat-lon\n"
                          "picture 2000 1000\nmetres-per-pixel 1.759\nwest -122.32\neast -122.28\n"
                          "north 37.82\nsouth 37.80\n";

} // namespace

class TestGeoReference : public QObject {
    Q_OBJECT

private slots:
    // Web Mercator metres of known points (EPSG:3857), and back.
    void mercator_data() {
        QTest::addColumn<double>("lat");
        QTest::addColumn<double>("lon");
        QTest::addColumn<double>("x");
        QTest::addColumn<double>("y");
        QTest::newRow("date line") << 0.0 << 180.0 << 20037508.3428 << 0.0;
        QTest::newRow("north edge") << 85.0511287798 << 0.0 << 0.0 << 20037508.3428;
        QTest::newRow("West Oakland") << 37.8108 << -122.3011 << -13614496.1755 << 4552732.5685;
        QTest::newRow("Sydney") << -33.8568 << 151.2153 << 16833210.1962 << -4009589.9342;
    }
    void mercator() {
        QFETCH(double, lat);
        QFETCH(double, lon);
        QFETCH(double, x);
        QFETCH(double, y);
        QVERIFY(std::abs(MercatorX(lon) - x) < 1e-3 && std::abs(MercatorY(lat) - y) < 1e-3);
        QVERIFY(std::abs(MercatorLatitude(y) - lat) < 1e-9 &&
                std::abs(MercatorLongitude(x) - lon) < 1e-9);
    }

    // Both projections: corners, round trips within a millimetre, whole pixels.
    void conversions() {
        for (const CProjection projection : {CProjection::WebMercator, CProjection::LatLon}) {
            const CGeoReference geo = Oakland(projection);
            const QPointF corner = geo.ToMap({37.80, -122.28});
            QVERIFY(std::abs(corner.x() - 2000) < 1e-6 && std::abs(corner.y() - 1000) < 1e-6);
            for (const QPointF p :
                 {QPointF(0.3, 0.7), QPointF(1234.5, 678.9), QPointF(1999, 999)}) {
                const QPointF back = geo.ToMap(geo.ToGeo(p));
                const double metres = QLineF(p, back).length() * geo.NominalMetresPerPixel();
                QVERIFY2(metres < 1e-3, qPrintable(QString::number(metres)));
            }
            QCOMPARE(geo.MapPositionOf(geo.GeoOfMapPosition(QPoint(1717, 1))), QPoint(1717, 1));
            QVERIFY(!geo.IsUsablePosition(geo.MapPositionOf({37.81, -122.33})));
        }
        // 0.04 degrees of longitude at 37.81 N over 2000 pixels.
        QVERIFY(std::abs(Oakland().NominalMetresPerPixel() - 1.759) < 1e-3);
        QVERIFY(Oakland().FitsTileGrid(4, 2, 500) && !Oakland().FitsTileGrid(4, 3, 500));
    }

    // The file: what is written reads back; anything malformed is ignored.
    void file_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("written") << GeoReferenceText(Oakland()) << true;
        QTest::newRow("by hand") << kValid << true;
        QTest::newRow("other version") << QByteArray(kValid).replace("ence 1", "ence 2") << false;
        QTest::newRow("key missing") << QByteArray(kValid).replace("west -122.32\n", "") << false;
        QTest::newRow("key twice") << kValid + "east -122.28\n" << false;
        QTest::newRow("unknown key") << kValid + "zone 10\n" << false;
        QTest::newRow("not a number") << QByteArray(kValid).replace("37.82", "37,82") << false;
        QTest::newRow("edges crossed")
            << QByteArray(kValid).replace("north 37.82", "north 37.7") << false;
        QTest::newRow("scale off") << QByteArray(kValid).replace("1.759", "1.79") << false;
        QTest::newRow("too long") << kValid + QByteArray(4096, '#') << false;
    }
    void file() {
        QFETCH(QByteArray, text);
        QFETCH(bool, valid);
        CTestRoot root;
        QVERIFY(root.WriteFile(QStringLiteral("Veldra/Maps/Town/map.GEO"), text));
        const std::optional<CGeoReference> geo =
            ReadGeoReference(QStringLiteral("\\Veldra\\Maps\\Town"));
        QCOMPARE(geo.has_value(), valid);
        if (valid)
            QCOMPARE(GeoReferenceText(*geo), GeoReferenceText(ParseGeoReference(text).value()));
    }

    // World files in degrees and in Web Mercator metres give the same edges.
    void worldFile() {
        QString error;
        const auto degrees = ParseWorldFile("0.00002\n0\n0\n-0.00002\n-122.31999\n37.81999\n",
                                            QSize(2000, 1000), error);
        QVERIFY2(degrees && degrees->Projection() == CProjection::LatLon, qPrintable(error));
        QVERIFY(std::abs(degrees->West() + 122.32) < 1e-9 &&
                std::abs(degrees->South() - 37.80) < 1e-9);
        const double x0 = MercatorX(-122.32), y0 = MercatorY(37.82);
        const double a = (MercatorX(-122.28) - x0) / 2000, e = (MercatorY(37.80) - y0) / 1000;
        const auto metres = ParseWorldFile(QByteArray::number(a, 'g', 17) + "\n0\n0\n" +
                                               QByteArray::number(e, 'g', 17) + '\n' +
                                               QByteArray::number(x0 + a / 2, 'g', 17) + '\n' +
                                               QByteArray::number(y0 + e / 2, 'g', 17),
                                           QSize(2000, 1000), error);
        QVERIFY(metres && std::abs(metres->South() - 37.80) < 1e-9);
        QVERIFY(!ParseWorldFile("1\n0.1\n0\n-1\n5\n5\n", QSize(10, 10), error));
        QCOMPARE(error, QStringLiteral(
                            "the world file describes a rotated picture, which a map cannot be"));
    }
};

QTEST_MAIN(TestGeoReference)
#include "test_geo_reference.moc"
