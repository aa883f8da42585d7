// End to end: a picture packaged by the tool and converted by the viewer's
// tile pipeline gives back the picture's pixels; and the veldra-pack command
// itself, as a user runs it.

#include "map_packager.h"
#include "test_support.h"

#include "platform/image_codec.h"
#include "platform/registry.h"
#include "store/tile_cache.h"

#include <QPainter>
#include <QProcess>
#include <QtTest>

namespace {

// Soft colours and a few sharp shapes: many colours, yet small as PNG.
QImage Picture(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = qRgb((x / 3) % 256, (y / 2) % 256, ((x + y) / 4) % 256);
    }
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(20, 120, 40));
    painter.drawEllipse(QPointF(480, 260), 90, 60); // across a tile edge
    painter.setPen(QPen(Qt::black, 3));
    painter.drawLine(0, height - 1, width - 1, 0);
    return image;
}

QString PackTool() {
    return QStringLiteral(VELDRA_PACK_PATH);
}

} // namespace

class TestPackRoundTrip : public QObject {
    Q_OBJECT

private slots:
    void pictureComesBackPixelForPixel();
    void commandHelp();
    void commandMakesAMap();
    void commandRefusesBadInput_data();
    void commandRefusesBadInput();
};

void TestPackRoundTrip::pictureComesBackPixelForPixel() {
    CTestRoot root;
    // 1234 x 567: three columns and two rows, the last ones padded white.
    const QImage picture = Picture(1234, 567);
    PackageRequest request;
    request.title = QStringLiteral("Round Trip");
    request.picture = picture;
    QString error;
    QVERIFY2(PackageMap(request, error), qPrintable(error));

    const QString folder = QStringLiteral("\\Veldra\\Maps\\Round Trip");
    const QImage expected = picture.convertToFormat(kDisplayFormat);
    TileCache cache;
    for (int row = 1; row <= 2; ++row) {
        for (int col = 1; col <= 3; ++col) {
            const QString name = TileName(QStringLiteral("rou"), row, col);
            QImage decoded;
            QVERIFY2(cache.DecodeTile(folder, name, decoded), qPrintable(name));
            QVERIFY(cache.SaveCompressedTile(folder, name, decoded));
            QVERIFY(cache.DeleteTileSources(folder, name));
            QVERIFY(root.Exists(QStringLiteral("Veldra/Maps/Round Trip/") + name + ".cbm"));
            QVERIFY(!root.Exists(QStringLiteral("Veldra/Maps/Round Trip/") + name + ".map"));

            const QImage* bitmap = nullptr;
            QVERIFY(cache.GetTileBitmap(folder, name, bitmap));
            QVERIFY(bitmap);
            QCOMPARE(bitmap->format(), kDisplayFormat);
            QCOMPARE(bitmap->size(), QSize(TILE_SIZE, TILE_SIZE));
            int mismatches = 0;
            for (int y = 0; y < TILE_SIZE; ++y) {
                const auto* got = reinterpret_cast<const quint16*>(bitmap->constScanLine(y));
                const int py = (row - 1) * TILE_SIZE + y;
                for (int x = 0; x < TILE_SIZE; ++x) {
                    const int px = (col - 1) * TILE_SIZE + x;
                    const quint16 want =
                        px < picture.width() && py < picture.height()
                            ? reinterpret_cast<const quint16*>(expected.constScanLine(py))[px]
                            : quint16(0xffff); // white padding
                    if (got[x] != want && mismatches++ < 3)
                        qWarning("tile %d_%d pixel %d,%d: %04x, expected %04x", row, col, x, y,
                                 got[x], want);
                }
            }
            QCOMPARE(mismatches, 0);
        }
    }
}

void TestPackRoundTrip::commandHelp() {
    QProcess tool;
    tool.start(PackTool(), {QStringLiteral("--help")});
    QVERIFY(tool.waitForFinished(60000));
    QCOMPARE(tool.exitCode(), 0);
    const QString help = QString::fromUtf8(tool.readAllStandardOutput());
    for (const char* word : {"make", "demo", "--root", "--title", "--picture", "--places",
                             "--calibration", "--folder", "--replace", "InstallDir"})
        QVERIFY2(help.contains(QLatin1String(word)), word);
}

void TestPackRoundTrip::commandMakesAMap() {
    QTemporaryDir dir;
    const QString picture = dir.filePath(QStringLiteral("town.png"));
    QVERIFY(Picture(900, 400).save(picture));
    const QString places = dir.filePath(QStringLiteral("places.tsv"));
    QFile file(places);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("Streets\tMill Lane\tTT1 1\tTest Town\t100\t200\n"
               "Hospitals\tTest Town NHS Clinic\t\t\t300\t50\n");
    file.close();
    const QString root = dir.filePath(QStringLiteral("root"));

    QProcess tool;
    tool.start(PackTool(), {QStringLiteral("make"), QStringLiteral("--root"), root,
                            QStringLiteral("--title"), QStringLiteral("Test Town"),
                            QStringLiteral("--picture"), picture, QStringLiteral("--places"),
                            places, QStringLiteral("--calibration"), QStringLiteral("1,2,3,4,5")});
    QVERIFY(tool.waitForFinished(60000));
    QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());
    QVERIFY(QString::fromUtf8(tool.readAllStandardOutput()).contains(QStringLiteral("tile 2/2")));
    const QDir folder(root + QStringLiteral("/Veldra/Maps/Test Town"));
    QStringList files = folder.entryList(QDir::Files);
    files.sort();
    QCOMPARE(files,
             QStringList({"Hospitals.idx", "Map.dat", "Streets.idx", "tes1_1.map", "tes1_2.map"}));
    QFile hospitals(folder.filePath(QStringLiteral("Hospitals.idx")));
    QVERIFY(hospitals.open(QIODevice::ReadOnly));
    QCOMPARE(hospitals.readAll(), QByteArray("|test town!nhs clinic|||300|50|#"));
    QVERIFY(QFileInfo::exists(root + QStringLiteral("/Veldra/Maps/tpl.map")));

    const QString previous = DeviceRoot();
    SetDeviceRoot(root);
    const auto installDir =
        RegQueryString(QStringLiteral("Software\\Apps\\Veldra Pocket map of Test Town"),
                       QStringLiteral("InstallDir"));
    SetDeviceRoot(previous);
    QCOMPARE(installDir, std::optional<QString>(QStringLiteral("\\Veldra\\Maps\\Test Town")));
}

void TestPackRoundTrip::commandRefusesBadInput_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("unreadable picture")
        << QStringList{"make", "--title", "Town", "--picture", "@dir/garbage.png"} << 1
        << "cannot read the picture";
    QTest::newRow("missing picture")
        << QStringList{"make", "--title", "Town", "--picture", "@dir/none.png"} << 1
        << "cannot read the picture";
    QTest::newRow("bad title") << QStringList{"make", "--title", "../Town", "--picture",
                                              "@dir/good.png"}
                               << 1 << "map title";
    QTest::newRow("no title") << QStringList{"make", "--picture", "@dir/good.png"} << 2
                              << "--title";
    QTest::newRow("unknown command") << QStringList{"bake"} << 2 << "unknown command";
    QTest::newRow("bad calibration")
        << QStringList{"make",          "--title",       "Town", "--picture",
                       "@dir/good.png", "--calibration", "1,2"}
        << 1 << "calibration";
}

void TestPackRoundTrip::commandRefusesBadInput() {
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QFile garbage(dir.filePath(QStringLiteral("garbage.png")));
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    garbage.write("\x89PNG but not really a picture");
    garbage.close();
    QVERIFY(Picture(100, 100).save(dir.filePath(QStringLiteral("good.png"))));
    const QString root = dir.filePath(QStringLiteral("root"));
    arguments.replaceInStrings(QStringLiteral("@dir"), dir.path());
    arguments << QStringLiteral("--root") << root;

    QProcess tool;
    tool.start(PackTool(), arguments);
    QVERIFY(tool.waitForFinished(60000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), status);
    const QString error = QString::fromUtf8(tool.readAllStandardError());
    QVERIFY2(error.startsWith(QStringLiteral("veldra-pack: ")) &&
                 error.count(QLatin1Char('\n')) == 1,
             qPrintable(error));
    QVERIFY2(error.contains(message), qPrintable(error));
    // Nothing was made: no map folder and no registry.
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/Veldra/Maps/Town")));
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/registry.ini")));
}

QTEST_GUILESS_MAIN(TestPackRoundTrip)
#include "test_pack_round_trip.moc"
