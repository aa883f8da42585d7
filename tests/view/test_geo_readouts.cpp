#include "view/geo_readouts.h"

#include <QtTest>

class TestGeoReadouts : public QObject {
    Q_OBJECT

private slots:
    // What Go to Coordinates reads, and what it refuses with which message.
    void parse_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("lat"); // NaN: refused
        QTest::addColumn<double>("lon");
        QTest::addColumn<QString>("error");
        const double no = qQNaN();
        const QString unreadable = "Type a latitude and a longitude, for example 48.1361, 10.0695 "
                                   "or 48°8'10\"N 10°4'10\"E.";
        QTest::newRow("decimal") << "48.1361, 10.0695" << 48.1361 << 10.0695 << "";
        QTest::newRow("blank, signs") << " -33.86 +151.21 " << -33.86 << 151.21 << "";
        QTest::newRow("letters") << "48.1361N; 10.0695 e" << 48.1361 << 10.0695 << "";
        QTest::newRow("letters first, swapped") << "W 122.3 N 37.8" << 37.8 << -122.3 << "";
        QTest::newRow("DMS") << "48°8'10\"N 10°4'10\"E" << 48 + 8 / 60.0 + 10 / 3600.0
                             << 10 + 4 / 60.0 + 10 / 3600.0 << "";
        QTest::newRow("DMS, typographic, south west")
            << "33º 51′ 36″ S, 151° 12′ 54″ W" << -(33 + 51 / 60.0 + 36 / 3600.0)
            << -(151 + 12 / 60.0 + 54 / 3600.0) << "";
        QTest::newRow("decimal minutes")
            << "48°8.5'N, 10°4.25'E" << 48 + 8.5 / 60 << 10 + 4.25 / 60 << "";
        QTest::newRow("one number") << "48.1361" << no << no << unreadable;
        QTest::newRow("decimal comma") << "48,1361 10,0695" << no << no << unreadable;
        QTest::newRow("words") << "Oakland" << no << no << unreadable;
        QTest::newRow("fractional degrees with minutes")
            << "48.5°8'N 10E" << no << no << unreadable;
        QTest::newRow("sign and letter") << "-48 N, 10 E" << no << no << unreadable;
        QTest::newRow("60 minutes")
            << "48°60'N 10E" << no << no << "Minutes and seconds must be below 60.";
        QTest::newRow("two latitudes")
            << "48N 10S" << no << no << "Give one latitude (N or S) and one longitude (E or W).";
        QTest::newRow("latitude 91")
            << "91, 10" << no << no << "A latitude lies between 90° S and 90° N.";
        QTest::newRow("longitude 181")
            << "48, 181" << no << no << "A longitude lies between 180° W and 180° E.";
    }
    void parse() {
        QFETCH(QString, text);
        QFETCH(double, lat);
        QFETCH(double, lon);
        QFETCH(QString, error);
        QString message;
        const std::optional<GeoPoint> point = ParseGeoPoint(text, message);
        QCOMPARE(message, error);
        QCOMPARE(point.has_value(), !qIsNaN(lat));
        if (point)
            QVERIFY(std::abs(point->lat - lat) < 1e-12 && std::abs(point->lon - lon) < 1e-12);
    }

    // The bars are the longest round lengths within 100 pixels.
    void scaleBar_data() {
        QTest::addColumn<double>("metresPerPixel");
        QTest::addColumn<QString>("bars");
        QTest::newRow("1 m") << 1.0 << "100 m 100, 100 yd 91";
        QTest::newRow("4 m") << 4.0 << "200 m 50, 200 yd 46";
        QTest::newRow("40 m") << 40.0 << "2 km 50, 2 mi 80";
        QTest::newRow("0.125 m") << 0.125 << "10 m 80, 10 yd 73";
    }
    void scaleBar() {
        QFETCH(double, metresPerPixel);
        QFETCH(QString, bars);
        const CScaleBar bar = ScaleBarFor(metresPerPixel, 100);
        QCOMPARE(QStringLiteral("%1 %2, %3 %4")
                     .arg(bar.strMetric)
                     .arg(bar.nMetricPixels)
                     .arg(bar.strImperial)
                     .arg(bar.nImperialPixels),
                 bars);
    }
};

QTEST_MAIN(TestGeoReadouts)
#include "test_geo_readouts.moc"
