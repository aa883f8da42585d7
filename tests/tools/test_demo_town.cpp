// The demo towns: their size and calibration, gazetteers that the index
// writer accepts, every named street found where a road is drawn, and the
// same town drawn every time.

#include "demo_town.h"
#include "test_support.h"

#include <QtTest>

#include <set>

namespace {

// A pixel of a road fill (minor street, main road, ring road, lane) within
// radius pixels of (x, y).
bool NearRoad(const QImage& picture, int x, int y, int radius) {
    const QRgb fills[] = {qRgb(0xff, 0xff, 0xff), qRgb(0xf7, 0xb5, 0x9a), qRgb(0xfb, 0xd8, 0x8f),
                          qRgb(0xff, 0xfd, 0xe8)};
    for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx)
            if (picture.rect().contains(x + dx, y + dy) &&
                std::ranges::count(fills, picture.pixel(x + dx, y + dy)))
                return true;
    return false;
}

} // namespace

class TestDemoTown : public QObject {
    Q_OBJECT

private slots:
    void towns_data() {
        QTest::addColumn<bool>("north"); // Northcombe, else Eastmoor
        QTest::addColumn<QString>("title");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("streets");            // at least this many distinct street names
        QTest::addColumn<QList<int>>("calibration"); // north, south, east, west, scale
        QTest::newRow("Northcombe") << true << "Northcombe" << QSize(5000, 4000) << 300
                                    << QList<int>{290670, 283280, 411720, 402220, 21115};
        QTest::newRow("Eastmoor") << false << "Eastmoor" << QSize(3000, 2500) << 80
                                  << QList<int>{677502, 669003, 328999, 316998, 23844};
    }

    void towns() {
        QFETCH(bool, north);
        QFETCH(QString, title);
        QFETCH(QSize, size);
        QFETCH(int, streets);
        QFETCH(QList<int>, calibration);
        const DemoTown town = north ? MakeNorthcombe() : MakeEastmoor();
        QCOMPARE(town.title, title);
        QCOMPARE(town.picture.size(), size);
        const MapCalibration& c = town.calibration;
        QCOMPARE((QList<int>{c.nNorth, c.nSouth, c.nEast, c.nWest, c.nScale}), calibration);

        // Every place is one the index writer takes.
        std::vector<std::pair<QString, QByteArray>> files;
        QString error;
        QVERIFY2(BuildIndexFiles(town.places, town.picture.size(), files, error),
                 qPrintable(error));
        QCOMPARE(files.size(), size_t(5));

        std::set<QString> names;
        int offRoad = 0;
        for (const PlaceRecord& place : town.places) {
            if (place.category != QLatin1String("Streets"))
                continue;
            names.insert(place.name);
            if (!NearRoad(town.picture, place.x, place.y, 4) && offRoad++ < 5)
                qWarning("%s at %d,%d is not on a road", qPrintable(place.name), place.x, place.y);
        }
        QVERIFY2(int(names.size()) >= streets, qPrintable(QString::number(names.size())));
        QCOMPARE(offRoad, 0);

        // At a quarter of the size the overview level names districts, water
        // and main roads in text at least 11 pixels high, inked where the
        // shrunk picture shows next to no ink.
        const QRect quarter(QPoint(0, 0), size / 4);
        const QImage level = RenderMapScenePart(town.scene, quarter, 1);
        const QImage shrunk = town.picture.scaled(quarter.size());
        int readable = 0;
        for (const LabelRun& run : town.scene.levelRuns[1]) {
            QVERIFY(run.font.pixelSize() >= 11);
            const QRect box = run.bounds.toAlignedRect() & quarter;
            const int ink = Ink(level, box), shrunkInk = Ink(shrunk, box);
            readable += ink >= 12 && ink > 2 * shrunkInk;
        }
        QVERIFY2(readable >= 8, qPrintable(QString::number(readable)));

        // The same town every time (shown on the smaller town, to save drawing
        // the larger one twice).
        if (north)
            return;
        const DemoTown again = north ? MakeNorthcombe() : MakeEastmoor();
        QVERIFY(again.picture == town.picture);
        QCOMPARE(again.places.size(), town.places.size());
        for (size_t i = 0; i < again.places.size(); ++i)
            QVERIFY(again.places[i].name == town.places[i].name &&
                    again.places[i].x == town.places[i].x && again.places[i].y == town.places[i].y);
    }
};

QTEST_MAIN(TestDemoTown)
#include "test_demo_town.moc"
