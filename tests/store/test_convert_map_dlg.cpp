// The one-time conversion of a map's encrypted tiles.

#include "platform/device_root.h"
#include "platform/file_system.h"
#include "store/convert_map_dlg.h"
#include "ui_test_support.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QThread>

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\conv");

// Writes the encrypted tiles conv/<name>.map; names in badTiles get bytes
// that decrypt to no image.
void WriteTiles(const CTestRoot& root, const QStringList& names, const QStringList& badTiles = {}) {
    for (const QString& name : names)
        root.WriteFile(QStringLiteral("Veldra/Maps/conv/%1.map").arg(name),
                       EncryptTile(badTiles.contains(name) ? QByteArray(400, '\x13')
                                                           : TilePng(500, qRgb(10, 200, 30))));
}

// The sorted base names of the folder's files with an extension.
QStringList Files(const CTestRoot& root, const QString& extension) {
    QStringList names = QDir(root.Host("Veldra/Maps/conv"))
                            .entryList({QStringLiteral("*.") + extension}, QDir::Files);
    for (QString& name : names)
        name.chop(extension.size() + 1);
    names.sort();
    return names;
}

// Calls back on every paint of a widget.
class CPaintCounter : public QObject {
public:
    CPaintCounter(QWidget* widget, std::function<void()> onPaint) : m_onPaint(onPaint) {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            m_onPaint();
        return false;
    }

private:
    std::function<void()> m_onPaint;
};

} // namespace

class TestConvertMap : public QObject {
    Q_OBJECT
private slots:
    // Cancel, then Convert failing at a bad tile, then again once it is mended.
    void cancelThenFailureInTheMiddleThenRetry() {
        CTestRoot root;
        const QStringList tiles = {"con1_1", "con1_2", "con2_1", "con2_2", "con3_1"};
        WriteTiles(root, tiles, {"con2_1"});
        root.WriteFile("Veldra/Maps/conv/Map.dat", "calibration");
        // Tiles convert in the order the folder lists them.
        QStringList order;
        for (const FindData& entry : FindFiles(kFolder + "\\*.map"))
            order.append(entry.name.chopped(4));
        const int bad = order.indexOf("con2_1");
        QStringList before = order.mid(0, bad), after = order.mid(bad);
        before.sort();
        after.sort();

        CScriptedUi ui;
        TileCache cache;
        CConvertMapDlg cancelled, dialog;
        for (CConvertMapDlg* each : {&cancelled, &dialog}) {
            each->m_strFolder = kFolder;
            each->m_pTileCache = &cache;
        }
        cancelled.CancelButton()->click();
        QCOMPARE(cancelled.result(), int(QDialog::Rejected));
        QVERIFY(!cancelled.m_bConverted && ui.m_messages.empty());
        QCOMPARE(Files(root, "map"), tiles);
        QVERIFY(Files(root, "cbm").isEmpty() && Files(root, "tmp").isEmpty());

        QCOMPARE(dialog.CountMapTiles(), 5);
        QVERIFY(dialog.Progress()->isHidden() && dialog.ConvertingLabel()->isHidden());
        dialog.ConvertButton()->click();
        QCOMPARE(ui.MessageTexts(),
                 QStringList{"An error occurred during the conversion process.  "
                             "Please check the available memory on your Pocket PC"});
        QCOMPARE(ui.m_messages[0].icon, QMessageBox::Critical);
        QVERIFY(!dialog.m_bConverted);
        QVERIFY(dialog.ConvertButton()->isEnabled() && dialog.CancelButton()->isEnabled());
        QCOMPARE(dialog.Progress()->value(), bad);
        QCOMPARE(Files(root, "cbm"), before);
        QCOMPARE(Files(root, "map"), after);

        // Mended (its kept decrypted image removed too), the rest converts.
        WriteTiles(root, {"con2_1"});
        QFile::remove(root.Host("Veldra/Maps/conv/con2_1.tmp"));
        QCOMPARE(dialog.CountMapTiles(), after.size());
        dialog.ConvertButton()->click();
        QCOMPARE(dialog.Progress()->maximum(), after.size());
        QCOMPARE(dialog.Progress()->value(), after.size());
        QCOMPARE(ui.MessageTexts().mid(1), QStringList{"Conversion process complete"});
        QVERIFY(dialog.m_bConverted);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(Files(root, "cbm"), tiles);
        QVERIFY(Files(root, "map").isEmpty() && Files(root, "tmp").isEmpty());
        QCOMPARE(root.ReadFile(QStringLiteral("Veldra/Maps/conv/Map.dat")),
                 QByteArray("calibration"));
    }

    // Progress painted tile by tile; closing refused until the end.
    void progressPaintedTileByTile() {
        CTestRoot root;
        const QStringList tiles = {"con1_1", "con1_2", "con1_3", "con2_1", "con2_2", "con2_3"};
        WriteTiles(root, tiles);
        CScriptedUi ui;
        TileCache cache;
        CConvertMapDlg dialog;
        dialog.m_strFolder = kFolder;
        dialog.m_pTileCache = &cache;
        QCOMPARE(dialog.m_nWorkers, QThread::idealThreadCount());
        dialog.m_nWorkers = 2;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.CountMapTiles(), 6);
        QList<int> values, paintedAt;
        connect(dialog.Progress(), &QProgressBar::valueChanged, [&](int value) {
            values.append(value);
            dialog.reject();
        });
        CPaintCounter painted(dialog.Progress(),
                              [&] { paintedAt.append(dialog.Progress()->value()); });
        dialog.ConvertButton()->click();
        QCOMPARE(values, (QList<int>{0, 1, 2, 3, 4, 5, 6}));
        for (int value : values.mid(1))
            QVERIFY(paintedAt.contains(value));
        QCOMPARE(ui.MessageTexts(), QStringList{"Conversion process complete"});
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(Files(root, "cbm"), tiles);
    }

    // The folder is not read again per tile: four times the map, no more listings.
    void listingsDoNotGrowWithTheMap() {
        CScriptedUi ui;
        TileCache cache;
        QList<uint64_t> builds;
        for (const int count : {10, 40}) {
            CTestRoot root;
            QStringList tiles;
            for (int i = 1; i <= count; ++i)
                tiles.append(QStringLiteral("con%1_1").arg(i));
            WriteTiles(root, tiles);
            CConvertMapDlg dialog;
            dialog.m_strFolder = kFolder;
            dialog.m_pTileCache = &cache;
            const uint64_t before = FolderIndexBuildCount();
            QCOMPARE(dialog.CountMapTiles(), count);
            QVERIFY(dialog.ConvertAll());
            builds.append(FolderIndexBuildCount() - before);
            QCOMPARE(Files(root, "cbm").size(), count);
        }
        QCOMPARE(builds[1], builds[0]);
    }
};

QTEST_MAIN(TestConvertMap)
#include "test_convert_map_dlg.moc"
