// A person's first run on a demo map: the packaging tool installs Eastmoor
// with encrypted tiles, the start-up open preselects it, the conversion dialog
// converts it, and the view then shows the town's pixels where they belong.

#include "app/main_frame.h"
#include "platform/file_system.h"
#include "platform/image_codec.h"
#include "platform/registry.h"
#include "store/convert_map_dlg.h"
#include "test_support.h"
#include "tools/demo_town.h"
#include "ui/ui_seam.h"
#include "view/map_view.h"

#include <QPointer>
#include <QTest>

class TestDemoMapView : public QObject {
    Q_OBJECT
private slots:
    void firstOpenConvertsAndShowsTheTown() {
        CTestRoot root;
        const DemoTown town = MakeEastmoor();
        PackageRequest request;
        request.title = town.title;
        request.picture = town.picture;
        request.calibration = town.calibration;
        request.places = town.places;
        QString error;
        QVERIFY2(PackageMap(request, error), qPrintable(error));
        QVERIFY2(EnsureTemplateTile(error), qPrintable(error));
        const QString folder = QStringLiteral("\\Veldra\\Maps\\Eastmoor");
        QCOMPARE(FindFiles(folder + QStringLiteral("\\*.map")).size(), size_t(30));

        QStringList messages, dialogs;
        SetMessageBoxHandler(
            [&](const QString& text, QMessageBox::StandardButtons, QMessageBox::Icon) {
                messages.append(text);
                return int(QMessageBox::Ok);
            });
        SetModalHandler([&](QDialog& dialog) {
            dialogs.append(QString::fromLatin1(dialog.metaObject()->className()));
            if (auto* convert = qobject_cast<CConvertMapDlg*>(&dialog))
                convert->OnConvert(); // the user presses "Convert"
            return dialog.result();
        });

        QPointer<CMainFrame> frame = new CMainFrame();
        QCOMPARE(frame->OnCreate(), 0);
        frame->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame));
        CVeldraViewerView* view = frame->GetActiveView();
        // Start-up goes on by itself: the splash, then the open.
        QTRY_VERIFY(view->m_bMapOpen);
        SetMessageBoxHandler({});
        SetModalHandler({});

        // The only installed map opens without the library, after the
        // splash and the conversion.
        QCOMPARE(dialogs.join(QLatin1Char(',')), QStringLiteral("CSplashDlg,CConvertMapDlg"));
        QCOMPARE(messages, QStringList{QStringLiteral("Conversion process complete")});
        QCOMPARE(view->m_szMapTitle, QStringLiteral("Eastmoor"));
        QCOMPARE(RegQueryDword(QStringLiteral("Software\\Apps\\Veldra Pocket map of Eastmoor"),
                               QStringLiteral("Current")),
                 std::optional<uint32_t>(1));
        QCOMPARE(FindFiles(folder + QStringLiteral("\\*.cbm")).size(), size_t(30));
        QCOMPARE(view->m_calibration.nScale, 23844);

        // Centred on the middle of the 3000 x 2500 town: the client image is
        // the town's picture around (1500, 1250), pixel for pixel in RGB565.
        QCOMPARE(view->m_nClientWidth, 240);
        QCOMPARE(view->m_nClientHeight, 268);
        QCOMPARE(view->m_ptCentre, (CPoint{1500, 1250}));
        const QImage expected =
            town.picture.convertToFormat(kDisplayFormat).copy(1500 - 120, 1250 - 134, 240, 268);
        QCOMPARE(view->RenderClientImage(), expected);

        // A step right and down: the picture follows.
        view->OnKeyUp(VK_RIGHT);
        view->OnKeyUp(VK_DOWN);
        QCOMPARE(view->RenderClientImage(),
                 town.picture.convertToFormat(kDisplayFormat).copy(1480, 1216, 240, 268));
        delete frame;
    }
};

QTEST_MAIN(TestDemoMapView)
#include "test_demo_map_view.moc"
