// A person's first run on a demo map: the packaging tool installs Eastmoor
// with encrypted tiles, the start-up open preselects it, the conversion dialog
// converts it, and the view then shows the town's pixels where they belong.

#include "platform/image_codec.h"
#include "store/convert_map_dlg.h"
#include "tools/demo_town.h"
#include "ui_test_support.h"

#include <QPointer>
#include <QTest>

class TestDemoMapView : public QObject {
    Q_OBJECT
private slots:
    void firstOpenConvertsAndShowsTheTown() {
        CTestRoot root;
        const DemoTown town = MakeEastmoor();
        const PackageRequest request{.title = town.title,
                                     .picture = town.picture,
                                     .folder = {},
                                     .calibration = town.calibration,
                                     .places = town.places};
        QString error;
        QVERIFY2(PackageMap(request, error) && EnsureTemplateTile(error), qPrintable(error));

        CScriptedUi ui;
        ui.OnDialog<CConvertMapDlg>([](CConvertMapDlg& convert) {
            convert.OnConvert(); // the user presses "Convert"
            return convert.result();
        });
        QPointer<CMainFrame> frame = MakeFrame(/*keepStartup=*/true);
        frame->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame));
        CVeldraViewerView* view = frame->GetActiveView();
        // Start-up goes on by itself: the splash, then the open. The only
        // installed map opens without the library, after the conversion.
        QTRY_VERIFY(view->m_bMapOpen);
        QCOMPARE(ui.m_events, QStringList({"CSplashDlg", "CConvertMapDlg", "message"}));
        QCOMPARE(ui.MessageTexts(), QStringList{"Conversion process complete"});
        QCOMPARE(view->m_calibration.nScale, 23844);

        // Centred on the middle of the 3000 x 2500 town: the client image is
        // the town's picture around (1500, 1250), pixel for pixel in RGB565;
        // after a step right and down the picture follows.
        const QImage picture = town.picture.convertToFormat(kDisplayFormat);
        QCOMPARE(view->RenderClientImage(), picture.copy(1500 - 120, 1250 - 134, 240, 268));
        view->OnKeyUp(VK_RIGHT);
        view->OnKeyUp(VK_DOWN);
        QCOMPARE(view->RenderClientImage(), picture.copy(1480, 1216, 240, 268));
        delete frame;
    }
};

QTEST_MAIN(TestDemoMapView)
#include "test_demo_map_view.moc"
