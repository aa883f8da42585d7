// Opening a map at start-up and through "Open...".

#include "places/place_files.h"
#include "res/resource.h"
#include "store/convert_map_dlg.h"
#include "ui_test_support.h"

#include <QPointer>
#include <QPushButton>
#include <QTest>

namespace {

// A library run that selects a title, then opens it or deletes it and cancels.
std::function<int(CMapLibraryDlg&)> Choose(const QString& title, bool remove = false) {
    return [title, remove](CMapLibraryDlg& library) {
        RowOf(library, title)->setSelected(true);
        library.OnListClick();
        if (remove) {
            library.OnDeleteMap();
            library.OnCancel();
        } else {
            library.OnOK();
        }
        return library.result();
    };
}

// A shown frame (so the view has its 240 x 268 client area).
CMainFrame* ShownFrame() {
    CMainFrame* frame = MakeFrame();
    frame->show();
    if (!QTest::qWaitForWindowExposed(frame))
        qWarning("the frame was not shown");
    QCoreApplication::removePostedEvents(frame->GetActiveView());
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

    void startUpWithOneMapOpensItWithoutTheLibrary_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QPoint>("home"); // (0, 0): none
        QTest::addColumn<CPoint>("centre");
        QTest::newRow("no Home: the middle") << "Northcombe" << QPoint() << CPoint{500, 500};
        QTest::newRow("opens on its Home") << "Northcombe" << QPoint(600, 700) << CPoint{600, 700};
        QTest::newRow("two-letter title: the prefix is the title")
            << "Ab" << QPoint() << CPoint{500, 500};
        QTest::newRow("title over 99 characters is cut")
            << QStringLiteral("Greater ") + QString(112, u'x') << QPoint() << CPoint{500, 500};
    }
    void startUpWithOneMapOpensItWithoutTheLibrary() {
        QFETCH(QString, title);
        QFETCH(QPoint, home);
        QFETCH(CPoint, centre);
        CTestRoot root;
        WriteTemplate(root);
        const QString folder = MakeConvertedMap(root, title, "m");
        if (!home.isNull())
            QVERIFY(SavePlace(title, kHomePlace, home));
        CScriptedUi ui;
        QPointer<CMainFrame> frame = ShownFrame();
        CVeldraViewerView* view = frame->GetActiveView();
        view->OnOpenMapAtStartup();
        QVERIFY(ui.m_events.isEmpty());
        QVERIFY(frame->isVisible());
        QVERIFY(view->Canvas().IsMapOpen());
        QCOMPARE(view->Canvas().MapTitle(), title.left(99));
        QCOMPARE(view->Canvas().MapFolder(), folder);
        QCOMPARE(view->Canvas().TilePrefix().toLower(), title.left(3).toLower());
        // A 2 x 2 map of 500-pixel tiles.
        QCOMPARE(view->Viewport().TileColumns(), 2);
        QCOMPARE(view->Viewport().Centre(), centre);
    }

    // Without a map ready to open the program closes after start-up; a
    // declined conversion leads to the library, which stays current.
    void startUpWithoutAMapReadyToOpen_data() {
        QTest::addColumn<QString>("maps"); // "none", "empty", "unreadable" or "encrypted"
        QTest::addColumn<QStringList>("events");
        QTest::newRow("no installed-map key") << "none" << QStringList{};
        QTest::newRow("no map with files") << "empty" << QStringList{"CMapLibraryDlg"};
        QTest::newRow("unreadable registry: a warning") << "unreadable" << QStringList{"message"};
        QTest::newRow("conversion declined: the library, not the conversion again")
            << "encrypted" << QStringList{"CConvertMapDlg", "CMapLibraryDlg"};
    }
    void startUpWithoutAMapReadyToOpen() {
        QFETCH(QString, maps);
        QFETCH(QStringList, events);
        CTestRoot root;
        WriteTemplate(root);
        // A stray encrypted tile in the device root is no map to convert.
        root.WriteFile("stray.map", EncryptTile(TilePng(8, qRgb(1, 2, 3))));
        if (maps == "empty")
            RegisterMap("Empty", "\\Veldra\\Maps\\empty");
        if (maps == "unreadable")
            QVERIFY(root.MakeDir("registry.ini"));
        if (maps == "encrypted") {
            for (const char* tile : {"sou1_1", "sou1_2"})
                root.WriteFile(QStringLiteral("Veldra/Maps/south/%1.map").arg(tile),
                               EncryptTile(TilePng(500, qRgb(200, 100, 50))));
            RegisterMap("Southmere", "\\Veldra\\Maps\\south");
        }
        CScriptedUi ui;
        int tilesCounted = 0;
        ui.OnDialog<CConvertMapDlg>([&](CConvertMapDlg& dialog) {
            tilesCounted = dialog.m_nTileCount;
            dialog.CancelButton()->click();
            return dialog.result();
        });
        QPointer<CMainFrame> frame = ShownFrame();
        frame->GetActiveView()->OnOpenMapAtStartup();
        QCOMPARE(ui.m_events, events);
        QVERIFY(!frame->isVisible() && !frame->GetActiveView()->Canvas().IsMapOpen());
        QVERIFY(root.Exists("stray.map"));
        if (maps == "unreadable") {
            QCOMPARE(ui.m_messages.front().icon, QMessageBox::Warning);
            QVERIFY(ui.m_messages.front().text.contains(root.Host("registry.ini")));
            QVERIFY(QFileInfo(root.Host("registry.ini")).isDir());
        }
        QCOMPARE(tilesCounted, maps == "encrypted" ? 2 : 0);
        QCOMPARE(CurrentValue("Southmere"), maps == "encrypted" ? 1 : -1);
        FlushDeletes();
        QVERIFY(frame.isNull());
    }

    void openCancelledKeepsTheViewAsItWas() {
        CTestRoot root;
        WriteTemplate(root);
        MakeConvertedMap(root, "Northcombe", "north", 3, 3);
        QVERIFY(RegSetDword("Software\\Veldra\\VeldraViewer", "TileCacheMB", 5));
        CScriptedUi ui;
        QPointer<CMainFrame> frame = ShownFrame();
        CVeldraViewerView* view = frame->GetActiveView();
        view->OnOpenMapAtStartup();
        CMapCanvas& canvas = view->Canvas();
        canvas.OnZoomOut();
        canvas.OnMarkFlag();
        canvas.OnLButtonDown(10, 20);
        canvas.OnLButtonUp(10, 20);
        const CPoint centre = view->Viewport().Centre();
        const CPoint flag = view->Overlays().MarkerPosition(COverlays::MARKER_FLAG);

        frame->CommandAction(ID_MAP_OPEN)->trigger();
        QCOMPARE(ui.m_events, QStringList{"CMapLibraryDlg"});
        QVERIFY(frame->isVisible() && canvas.IsMapOpen());
        QCOMPARE(view->Viewport().Centre(), centre);
        QCOMPARE(view->Viewport().Zoom(), 0.5);
        QCOMPARE(view->Overlays().MarkerPosition(COverlays::MARKER_FLAG), flag);

        // The same map again opens afresh: a replaced tile, the registry's cache size.
        QImage replaced(500, 500, kDisplayFormat);
        replaced.fill(QColor(200, 10, 10));
        QVERIFY(WriteCompressedTile("\\Veldra\\Maps\\north", "nor2_2", replaced));
        ui.OnDialog<CMapLibraryDlg>(Choose("Northcombe"));
        view->OnOpenMap();
        QCOMPARE(view->Viewport().Zoom(), 1.0);
        QCOMPARE(view->Viewport().Centre(), (CPoint{750, 750}));
        QVERIFY(!view->Overlays().IsPlaced(COverlays::MARKER_FLAG));
        QCOMPARE(canvas.Tiles().CacheLimit(), 5 << 20);
        QCOMPARE(canvas.BackBuffer().pixel(0, 0), replaced.pixel(0, 0));
    }

    void deletingTheOpenMapThenCancelling_data() {
        QTest::addColumn<bool>("yes"); // the answer to "no longer exists"
        QTest::newRow("No closes") << false;
        QTest::newRow("Yes shows the library") << true;
    }
    void deletingTheOpenMapThenCancelling() {
        QFETCH(bool, yes);
        CTestRoot root;
        WriteTemplate(root);
        MakeConvertedMap(root, "Northcombe", "north");
        MakeConvertedMap(root, "Other", "other");
        RegSetDword(MapKey("Northcombe"), "Current", 1);
        CScriptedUi ui;
        QPointer<CMainFrame> frame = ShownFrame();
        CVeldraViewerView* view = frame->GetActiveView();
        view->OnOpenMapAtStartup(); // the current map, without a question
        QCOMPARE(view->Canvas().MapTitle(), QStringLiteral("Northcombe"));
        ui.OnDialog<CMapLibraryDlg>(Choose("Northcombe", /*remove=*/true));
        ui.OnDialog<CMapLibraryDlg>(Choose("Other"));
        ui.Answer(QMessageBox::Yes); // the delete question
        ui.Answer(yes ? QMessageBox::Yes : QMessageBox::No);
        view->OnOpenMap();

        QStringList events = {"CMapLibraryDlg", "message", "message"};
        if (yes)
            events.append("CMapLibraryDlg");
        QCOMPARE(ui.m_events, events);
        QCOMPARE(ui.m_messages[1].text,
                 QStringLiteral("The current map no longer exists.\r\n\r\nSelect Yes to choose "
                                "another map, or No to close Pocket Veldra"));
        QCOMPARE(ui.m_messages[1].buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(frame->isVisible(), yes);
        if (yes) {
            QCOMPARE(view->Canvas().MapTitle(), QStringLiteral("Other"));
            QVERIFY(view->Canvas().IsMapOpen());
        }
    }
};

QTEST_MAIN(TestOpenMap)
#include "test_open_map.moc"
