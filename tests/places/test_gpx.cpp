#include "places/gpx.h"

#include <QtTest>

namespace {

QByteArray Gpx(const QByteArray& body, const QByteArray& ns = "http://www.topografix.com/GPX/1/1") {
    return "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" xmlns=\"" + ns + "\">" + body + "</gpx>";
}

} // namespace

class TestGpx : public QObject {
    Q_OBJECT

private slots:
    void roundTrip() {
        const std::vector<GpxPoint> points = {
            {"Home & <garden>", CGpxKind::Place, 37.8108, -122.3011},
            {"me", CGpxKind::Me, -33.8568123456, 151.2153},
            {"flag", CGpxKind::Flag, 0.00000001, -0.5}};
        GpxContent content;
        QString error;
        QVERIFY2(ReadGpx(WriteGpx("Oakland", points), content, error), qPrintable(error));
        QCOMPARE(content.points.size(), points.size());
        for (size_t i = 0; i < points.size(); ++i) {
            QCOMPARE(content.points[i].strName, points[i].strName);
            QCOMPARE(content.points[i].kind, points[i].kind);
            QVERIFY(std::abs(content.points[i].lat - points[i].lat) < 1e-10 &&
                    std::abs(content.points[i].lon - points[i].lon) < 1e-10);
        }
    }

    // GPX 1.0 routes and tracks: points named after them; bad points refused.
    void routesAndTracks() {
        const QByteArray body =
            "<wpt lat='1' lon='2'><ele>5</ele><name> Spring\n well </name><type>me</type></wpt>"
            "<wpt lon='2'><name>no latitude</name></wpt><wpt lat='91' lon='2'/>"
            "<rte><rtept lat='3' lon='4'/></rte>"
            "<trk><name>A walk along the river on a long day</name><extensions><x:a "
            "xmlns:x='urn:x'><name>not a point name</name></x:a></extensions>"
            "<trkseg><trkpt lat='5' lon='6'><name>ignored</name></trkpt></trkseg>"
            "<trkseg><trkpt lat='7' lon='8'/></trkseg></trk>";
        GpxContent content;
        QString error;
        QVERIFY2(ReadGpx(Gpx(body, "http://www.topografix.com/GPX/1/0"), content, error),
                 qPrintable(error));
        QStringList names;
        for (const GpxPoint& p : content.points)
            names << QStringLiteral("%1 %2,%3").arg(p.strName).arg(p.lat).arg(p.lon);
        QCOMPARE(names,
                 QStringList({"Spring well 1,2", "Route 1 3,4", "A walk along the river on a 1 5,6",
                              "A walk along the river on a 2 7,8"}));
        QCOMPARE(content.points[0].kind, CGpxKind::Me);
        QCOMPARE(content.nRefused, 2);
    }

    // Files that are refused whole, with one message.
    void refused_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("why");
        QByteArray deep;
        for (int i = 0; i < 40; ++i)
            deep = "<extensions>" + deep + "</extensions>";
        QByteArray many;
        for (int i = 0; i <= MAX_GPX_POINTS; ++i)
            many += "<wpt lat='1' lon='1'/>";
        QTest::newRow("huge") << QByteArray(MAX_GPX_BYTES + 1, ' ') << "larger than 8 MB";
        QTest::newRow("not XML") << QByteArray("<gpx") << "not well-formed XML";
        QTest::newRow("not GPX") << QByteArray("<kml/>") << "not a GPX 1.0 or 1.1 file";
        QTest::newRow("wrong namespace")
            << Gpx("", "http://example.com/gpx") << "not a GPX 1.0 or 1.1 file";
        QTest::newRow("entities") << "<!DOCTYPE gpx [<!ENTITY a 'aaaa'><!ENTITY b '&a;&a;&a;'>]>" +
                                         Gpx("<wpt lat='1' lon='1'><name>&b;</name></wpt>")
                                  << "declares a document type";
        QTest::newRow("undeclared entity")
            << Gpx("<wpt lat='1' lon='1'><name>&x;</name></wpt>") << "not well-formed XML";
        QTest::newRow("deep") << Gpx(deep) << "nest more than 32 deep";
        QTest::newRow("many points") << Gpx(many) << "more than 2000 points";
        QTest::newRow("not a number")
            << Gpx("<wpt lat='1' lon='1'/><wpt lat='north' lon='1'/>") << "is not a number";
    }
    void refused() {
        QFETCH(QByteArray, file);
        QFETCH(QString, why);
        GpxContent content;
        QString error;
        QVERIFY(!ReadGpx(file, content, error));
        QVERIFY2(error.contains(why), qPrintable(error));
        QVERIFY(content.points.empty());
    }
};

QTEST_MAIN(TestGpx)
#include "test_gpx.moc"
