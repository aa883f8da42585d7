// Opening a map: at start-up and through "Open...", with the library, the
// conversion, cancelling, and the open map deleted under the view.

#include "app_test_support.h"
#include "places/place_files.h"
#include "res/resource.h"
#include "store/convert_map_dlg.h"
#include "store/map_library_dlg.h"

#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

Q_DECLARE_METATYPE(CPoint)

namespace {

const QString kGoneText = QStringLiteral("The current map no longer exists.\r\n\r\nSelect Yes to "
                                         "choose another map, or No to close Pocket Veldra");

// A library run that opens the map of this title.
std::function<int(CMapLibraryDlg&)> Choose(const QString& title) {
    return [title](CMapLibraryDlg& library) {
        QTreeWidget* list = library.MapList();
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            list->topLevelItem(i)->setSelected(list->topLevelItem(i)->text(0) == title);
        library.OnListClick();
        library.OnOK();
        return library.result();
    };
}

// A library run that deletes the map of this title and then cancels.
std::function<int(CMapLibraryDlg&)> DeleteAndCancel(const QString& title) {
    return [title](CMapLibraryDlg& library) {
        QTreeWidget* list = library.MapList();
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            list->topLevelItem(i)->setSelected(list->topLevelItem(i)->text(0) == title);
        library.OnDeleteMap();
        library.OnCancel();
        return library.result();
    };
}

// A map whose tiles are still encrypted, registered as <title>.
void MakeEncryptedMap(const CTestRoot& root, const QString& title, const QString& name) {
    for (const char* tile : {"1_1", "1_2"})
        root.WriteFile(QStringLiteral("Veldra/Maps/%1/%2%3.map")
                           .arg(name, title.left(3).toLower(), QLatin1String(tile)),
                       EncryptTile(TilePng(500, qRgb(200, 100, 50))));
    RegisterMap(title, QStringLiteral("\\Veldra\\Maps\\") + name);
}

// A shown frame (so the view has its 240 x 268 client area).
CMainFrame* ShownFrame() {
    CMainFrame* frame = MakeFrame();
    if (frame) {
        frame->show();
        QTest::qWaitForWindowExposed(frame);
        QCoreApplication::removePostedEvents(frame->GetActiveView());
    }
    return frame;
}

} // namespace

class TestOpenMap : public QObject {
    Q_OBJECT
private slots:
    void cleanup() {
        FlushDeletes();
        delete g_pMainFrame;
    }

    void startUpWithOneMapOpensItWithoutTheLibrary() {
        CTestRoot root;
        WriteTemplate(root);
        const QString folder = MakeConvertedMap(root, "Northcombe", "north");
        CScriptedUi ui;
        QPointer<CMainFrame> frame = ShownFrame();
        frame->CheckMarkFlagButton(true);
        CVeldraViewerView* view = frame->GetActiveView();
        view->OnOpenMapAtStartup();
        QVERIFY(ui.m_events.isEmpty());
        QVERIFY(frame->isVisible());
        QVERIFY(view->m_bMapOpen);
        QCOMPARE(view->m_szMapTitle, QStringLiteral("Northcombe"));
        QCOMPARE(view->m_szMapFolder, folder);
        QCOMPARE(view->m_szTilePrefix.toLower(), QStringLiteral("nor"));
        QCOMPARE(CurrentValue("Northcombe"), std::optional<uint32_t>(1));
        // A 2 x 2 map without Home opens on its middle at zoom 1, buttons released.
        QCOMPARE(view->m_nTileColumns, 2);
        QCOMPARE(view->m_ptCentre, (CPoint{500, 500}));
        QCOMPARE(view->m_dZoom, 1.0);
        QVERIFY(!frame->CommandAction(ID_MARK_FLAG)->isChecked());
    }

    void startUpWithSeveralMapsShowsTheLibrary_data() {
        QTest::addColumn<QString>("choice"); // empty: Cancel
        QTest::newRow("cancel closes the program") << QString();
        QTest::newRow("a chosen map opens") << QStringLiteral("Beta");
    }
    void startUpWithSeveralMapsShowsTheLibrary() {
        QFETCH(QString, choice);
        CTestRoot root;
        WriteTemplate(root);
        MakeConvertedMap(root, "Alpha", "alpha");
        MakeConvertedMap(root, "Beta", "beta");
        CScriptedUi ui;
        if (!choice.isEmpty())
            ui.OnDialog<CMapLibraryDlg>(Choose(choice));
        QPointer<CMainFrame> frame = ShownFrame();
        frame->GetActiveView()->OnOpenMapAtStartup();
        QCOMPARE(ui.m_events, QStringList{"CMapLibraryDlg"});
        if (choice.isEmpty()) {
            QVERIFY(!frame->isVisible());
            FlushDeletes();
            QVERIFY(frame.isNull());
            return;
        }
        QCOMPARE(frame->GetActiveView()->m_szMapTitle, choice);
        // The next start opens the chosen map without asking.
        delete frame.data();
        CScriptedUi next;
        QPointer<CMainFrame> again = ShownFrame();
        again->GetActiveView()->OnOpenMapAtStartup();
        QVERIFY(next.m_events.isEmpty());
        QCOMPARE(again->GetActiveView()->m_szMapTitle, choice);
        QCOMPARE(CurrentValue("Alpha"), std::optional<uint32_t>(0));
    }

    void startUpWithUnconvertedTilesAsksToConvert_data() {
        QTest::addColumn<bool>("convert");
        QTest::addColumn<QStringList>("events");
        QTest::newRow("declined: the library, not the conversion again")
            << false << QStringList{"CConvertMapDlg", "CMapLibraryDlg"};
        QTest::newRow("converted: the map opens")
            << true << QStringList{"CConvertMapDlg", "message"};
    }
    void startUpWithUnconvertedTilesAsksToConvert() {
        QFETCH(bool, convert);
        QFETCH(QStringList, events);
        CTestRoot root;
        WriteTemplate(root);
        MakeEncryptedMap(root, "Southmere", "south");
        CScriptedUi ui;
        int tilesCounted = 0;
        ui.OnDialog<CConvertMapDlg>([&](CConvertMapDlg& dialog) {
            tilesCounted = dialog.m_nTileCount;
            (convert ? dialog.ConvertButton() : dialog.CancelButton())->click();
            return dialog.result();
        });
        QPointer<CMainFrame> frame = ShownFrame();
        frame->GetActiveView()->OnOpenMapAtStartup();
        QCOMPARE(ui.m_events, events);
        QCOMPARE(tilesCounted, 2);
        QCOMPARE(frame && frame->isVisible(), convert);
        QCOMPARE(root.Exists("Veldra/Maps/south/sou1_1.cbm"), convert);
        QCOMPARE(root.Exists("Veldra/Maps/south/sou1_1.map"), !convert);
        if (convert) {
            QVERIFY(frame->GetActiveView()->m_bMapOpen);
            QCOMPARE(frame->GetActiveView()->m_nTileColumns, 2);
        }
        // Declining leaves the map current for the next start.
        QCOMPARE(CurrentValue("Southmere"), std::optional<uint32_t>(1));
    }

    void nothingChosenAtStartUpCloses_data() {
        QTest::addColumn<bool>("appsKey");
        QTest::addColumn<QStringList>("events");
        QTest::newRow("no installed-map key at all") << false << QStringList{};
        QTest::newRow("no map with files") << true << QStringList{"CMapLibraryDlg"};
    }
    void nothingChosenAtStartUpCloses() {
        QFETCH(bool, appsKey);
        QFETCH(QStringList, events);
        CTestRoot root;
        // A stray encrypted tile in the device root is no map to convert.
        root.WriteFile(QStringLiteral("stray.map"), EncryptTile(TilePng(8, qRgb(1, 2, 3))));
        if (appsKey)
            RegisterMap(QStringLiteral("Empty"), QStringLiteral("\\Veldra\\Maps\\empty"));
        CScriptedUi ui;
        QPointer<CMainFrame> frame = ShownFrame();
        frame->GetActiveView()->OnOpenMapAtStartup();
        QCOMPARE(ui.m_events, events);
        QVERIFY(!frame->isVisible());
        QVERIFY(root.Exists(QStringLiteral("stray.map")));
    }

    void openCancelledKeepsTheViewAsItWas() {
        CTestRoot root;
        WriteTemplate(root);
        MakeConvertedMap(root, "Northcombe", "north", 3, 3);
        CScriptedUi ui;
        QPointer<CMainFrame> frame = ShownFrame();
        CVeldraViewerView* view = frame->GetActiveView();
        view->OnOpenMapAtStartup();
        view->OnZoomOut();
        view->SetCentre(300, 320);
        view->m_ptFlag = {310, 330};
        view->m_bFlagPlaced = true;
        const CPoint centre = view->m_ptCentre;
        const double zoom = view->m_dZoom;

        frame->CommandAction(ID_MAP_OPEN)->trigger();
        QCOMPARE(ui.m_events, QStringList{"CMapLibraryDlg"});
        QVERIFY(view->m_bMapOpen);
        QCOMPARE(view->m_ptCentre, centre);
        QCOMPARE(view->m_dZoom, zoom);
        QCOMPARE(view->m_ptFlag, (CPoint{310, 330}));
        QVERIFY(frame->isVisible());

        // Choosing the same map again opens it afresh.
        ui.OnDialog<CMapLibraryDlg>(Choose("Northcombe"));
        view->OnOpenMap();
        QCOMPARE(view->m_dZoom, 1.0);
        QCOMPARE(view->m_ptFlag, (CPoint{-20, -20}));
        QCOMPARE(view->m_ptCentre, (CPoint{750, 750}));
    }

    void deletingTheOpenMapThenCancelling_data() {
        QTest::addColumn<QList<int>>("answers"); // to "no longer exists", in turn
        QTest::addColumn<QString>("thenChoose"); // in the second library; empty: Cancel
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("openAfter"); // empty: the program closed
        const QString library = QStringLiteral("CMapLibraryDlg");
        const QString message = QStringLiteral("message");
        QTest::newRow("No closes") << QList<int>{QMessageBox::No} << QString()
                                   << QStringList{library, message, message} << QString();
        QTest::newRow("Yes shows the library again, then No")
            << QList<int>{QMessageBox::Yes, QMessageBox::No} << QString()
            << QStringList{library, message, message, library, message} << QString();
        QTest::newRow("Yes and another map")
            << QList<int>{QMessageBox::Yes} << QStringLiteral("Other")
            << QStringList{library, message, message, library} << QStringLiteral("Other");
    }
    void deletingTheOpenMapThenCancelling() {
        QFETCH(QList<int>, answers);
        QFETCH(QString, thenChoose);
        QFETCH(QStringList, events);
        QFETCH(QString, openAfter);
        CTestRoot root;
        WriteTemplate(root);
        MakeConvertedMap(root, "Northcombe", "north");
        MakeConvertedMap(root, "Other", "other");
        RegSetDword(MapKey("Northcombe"), QStringLiteral("Current"), 1);
        QPointer<CMainFrame> frame = ShownFrame();
        CVeldraViewerView* view = frame->GetActiveView();
        {
            CScriptedUi startUp;
            view->OnOpenMapAtStartup();
            QCOMPARE(view->m_szMapTitle, QStringLiteral("Northcombe"));
        }
        CScriptedUi ui;
        ui.OnDialog<CMapLibraryDlg>(DeleteAndCancel("Northcombe"));
        if (!thenChoose.isEmpty())
            ui.OnDialog<CMapLibraryDlg>(Choose(thenChoose));
        ui.Answer(QMessageBox::Yes); // the delete question
        for (int answer : answers)
            ui.Answer(answer);
        view->OnOpenMap();

        QCOMPARE(ui.m_events, events);
        QCOMPARE(ui.m_messages[1].text, kGoneText);
        QCOMPARE(ui.m_messages[1].buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(ui.m_messages[1].icon, QMessageBox::Warning);
        QVERIFY(!root.Exists(QStringLiteral("Veldra/Maps/north")));
        if (openAfter.isEmpty()) {
            QVERIFY(!frame->isVisible());
        } else {
            QVERIFY(frame->isVisible());
            QCOMPARE(view->m_szMapTitle, openAfter);
            QVERIFY(view->m_bMapOpen);
        }
    }

    void titlesAndHome_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QPoint>("home"); // (0, 0): none
        QTest::addColumn<QString>("keptTitle");
        QTest::addColumn<CPoint>("centre");
        QTest::newRow("opens on its Home")
            << "Northcombe" << QPoint(600, 700) << "Northcombe" << CPoint{600, 700};
        QTest::newRow("two-letter title: the prefix is the title")
            << "Ab" << QPoint() << "Ab" << CPoint{500, 500};
        const QString longTitle = QStringLiteral("Greater ") + QString(112, u'x');
        QTest::newRow("title over 99 characters is cut")
            << longTitle << QPoint() << longTitle.left(99) << CPoint{500, 500};
    }
    void titlesAndHome() {
        QFETCH(QString, title);
        QFETCH(QPoint, home);
        QFETCH(QString, keptTitle);
        QFETCH(CPoint, centre);
        CTestRoot root;
        WriteTemplate(root);
        MakeConvertedMap(root, title, "m");
        if (!home.isNull())
            QVERIFY(SavePlace(title, kHomePlace, home));
        CScriptedUi ui;
        QPointer<CMainFrame> frame = ShownFrame();
        CVeldraViewerView* view = frame->GetActiveView();
        view->OnOpenMapAtStartup();
        QVERIFY(ui.m_events.isEmpty());
        QVERIFY(view->m_bMapOpen);
        QCOMPARE(view->m_szMapTitle, keptTitle);
        QCOMPARE(view->m_szTilePrefix.toLower(), title.left(3).toLower());
        QCOMPARE(view->m_nTileColumns, 2);
        QCOMPARE(view->m_ptCentre, centre);
    }
};


QTEST_MAIN(TestOpenMap)
#include "test_open_map.moc"

