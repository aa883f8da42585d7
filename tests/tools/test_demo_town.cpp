// The demo towns: their size and calibration, gazetteers that the index
// writer accepts, every named street found where a road is drawn, and the
// same town drawn every time.

#include "demo_town.h"

#include <QRegularExpression>
#include <QtTest>

#include <map>
#include <set>

namespace {

// Fill colours of drawn roads: minor streets, main roads, ring roads, lanes.
bool IsRoadFill(QRgb c) {
    const QRgb fills[] = {qRgb(0xff, 0xff, 0xff), qRgb(0xf7, 0xb5, 0x9a), qRgb(0xfb, 0xd8, 0x8f),
                          qRgb(0xff, 0xfd, 0xe8)};
    return std::find(std::begin(fills), std::end(fills), c | 0xff000000u) != std::end(fills);
}

// A pixel of a road fill within radius pixels of (x, y).
bool NearRoad(const QImage& picture, int x, int y, int radius) {
    for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx)
            if (picture.rect().contains(x + dx, y + dy) &&
                IsRoadFill(picture.pixel(x + dx, y + dy)))
                return true;
    return false;
}

} // namespace

class TestDemoTown : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void towns_data();
    void towns();
    void sameTownEveryTime();

private:
    std::map<QString, DemoTown> m_towns;
};

void TestDemoTown::initTestCase() {
    m_towns[QStringLiteral("Northcombe")] = MakeNorthcombe();
    m_towns[QStringLiteral("Eastmoor")] = MakeEastmoor();
}

void TestDemoTown::towns_data() {
    QTest::addColumn<QString>("title");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("streets"); // at least this many distinct street names
    QTest::addColumn<QString>("postcode");
    QTest::addColumn<QList<int>>("calibration"); // north, south, east, west, scale
    QTest::newRow("Northcombe") << "Northcombe" << QSize(5000, 4000) << 300 << "NC"
                                << QList<int>{290670, 283280, 411720, 402220, 21115};
    QTest::newRow("Eastmoor") << "Eastmoor" << QSize(3000, 2500) << 80 << "EM"
                              << QList<int>{677502, 669003, 328999, 316998, 23844};
}

void TestDemoTown::towns() {
    QFETCH(QString, title);
    QFETCH(QSize, size);
    QFETCH(int, streets);
    QFETCH(QString, postcode);
    QFETCH(QList<int>, calibration);
    const DemoTown& town = m_towns.at(title);
    QCOMPARE(town.title, title);
    QCOMPARE(town.picture.size(), size);
    QCOMPARE((QList<int>{town.calibration.nNorth, town.calibration.nSouth, town.calibration.nEast,
                         town.calibration.nWest, town.calibration.nScale}),
             calibration);

    // Every place is one the index writer takes.
    std::vector<std::pair<QString, QByteArray>> files;
    QString error;
    QVERIFY2(BuildIndexFiles(town.places, town.picture.size(), files, error), qPrintable(error));
    QStringList categories;
    for (const auto& file : files)
        categories << file.first;
    categories.sort();
    QCOMPARE(categories, QStringList({"Hospitals", "Places", "Stations", "Streets", "Towns"}));

    const QRegularExpression code(QStringLiteral("^%1\\d{1,2} \\d$").arg(postcode));
    std::set<QString> names;
    int capitals = 0, offRoad = 0;
    std::map<QString, int> perCategory;
    for (const PlaceRecord& place : town.places) {
        ++perCategory[place.category];
        if (StoredPlaceName(place.name).contains(QLatin1Char('!')))
            ++capitals;
        if (place.category != QLatin1String("Streets"))
            continue;
        names.insert(place.name);
        QVERIFY2(code.match(place.extra1).hasMatch(), qPrintable(place.extra1));
        QVERIFY(!place.extra2.isEmpty());
        if (!NearRoad(town.picture, place.x, place.y, 4)) {
            ++offRoad;
            qWarning("%s at %d,%d is not on a road", qPrintable(place.name), place.x, place.y);
        }
    }
    QVERIFY2(int(names.size()) >= streets, qPrintable(QString::number(names.size())));
    QCOMPARE(offRoad, 0);
    QVERIFY(capitals >= 2);
    QVERIFY(perCategory[QStringLiteral("Towns")] >= 5);
    QVERIFY(perCategory[QStringLiteral("Stations")] >= 3);
    QVERIFY(perCategory[QStringLiteral("Hospitals")] >= 2);
    QVERIFY(perCategory[QStringLiteral("Places")] >= 8);

    // Stations are where their red symbol is drawn.
    for (const PlaceRecord& place : town.places) {
        if (place.category != QLatin1String("Stations"))
            continue;
        bool symbol = false;
        for (int dy = -6; dy <= 6 && !symbol; ++dy)
            for (int dx = -6; dx <= 6 && !symbol; ++dx)
                symbol = town.picture.pixel(place.x + dx, place.y + dy) == qRgb(0xd0, 0x2f, 0x2f);
        QVERIFY2(symbol, qPrintable(place.name));
    }
}

void TestDemoTown::sameTownEveryTime() {
    const DemoTown again = MakeEastmoor();
    const DemoTown& first = m_towns.at(QStringLiteral("Eastmoor"));
    QVERIFY(again.picture == first.picture);
    QCOMPARE(again.places.size(), first.places.size());
    for (size_t i = 0; i < again.places.size(); ++i) {
        QCOMPARE(again.places[i].name, first.places[i].name);
        QCOMPARE(again.places[i].x, first.places[i].x);
        QCOMPARE(again.places[i].y, first.places[i].y);
    }
}

QTEST_MAIN(TestDemoTown)
#include "test_demo_town.moc"
