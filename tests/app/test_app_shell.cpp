// The application shell: the frame's command bar and command routing, closing,
// the start-up splash, Help and About, the application object and pictures.

#include "app/about_dlg.h"
#include "app/main_frame.h"
#include "app/splash_dlg.h"
#include "app/veldra_app.h"
#include "app_test_support.h"
#include "res/bitmaps.h"
#include "res/resource.h"
#include "store/map_library_dlg.h"
#include "view/map_view.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

namespace {

// Texts of a menu's entries, separators as "-".
QStringList MenuTexts(const QMenu* menu) {
    QStringList texts;
    for (const QAction* action : menu->actions())
        texts.append(action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

} // namespace

class TestAppShell : public QObject {
    Q_OBJECT
private slots:
    void cleanup() {
        CSplashDlg::s_nDelayMs = 3000;
        FlushDeletes();
        delete g_pMainFrame;
    }

    void menusListEveryCommandInOrder() {
        CTestRoot root;
        QPointer<CMainFrame> frame = MakeFrame();
        QVERIFY(frame);
        const QList<QAction*> menus = frame->menuBar()->actions();
        QCOMPARE(menus.size(), 2);
        QCOMPARE(menus[0]->text(), QStringLiteral("Map"));
        QCOMPARE(menus[1]->text(), QStringLiteral("Tools"));
        QCOMPARE(MenuTexts(menus[0]->menu()),
                 QStringList({"Open...", "Exit", "-", "Help...", "-", "About..."}));
        QCOMPARE(MenuTexts(menus[1]->menu()),
                 QStringList({"Search...", "-", "Add to Favourite Places...",
                              "Show Favourite Places...", "Set as Home", "Go to Home", "-",
                              "Show Direction to Flag", "Show Distance to Flag"}));
        // The same entries carry the command ids the view's handlers answer to.
        QCOMPARE(menus[0]->menu()->actions()[0], frame->CommandAction(ID_MAP_OPEN));
        QCOMPARE(menus[0]->menu()->actions()[5], frame->CommandAction(ID_APP_ABOUT));
        QCOMPARE(menus[1]->menu()->actions()[8], frame->CommandAction(ID_TOOLS_SHOW_DISTANCE));
    }

    void toolbarHasSevenButtonsWithTheirTooltips() {
        CTestRoot root;
        QPointer<CMainFrame> frame = MakeFrame();
        const QList<QAction*> actions = frame->CommandBar()->actions();
        QCOMPARE(actions.size(), 7);
        const QStringList tooltips = {"Zoom in",   "Zoom out",  "Mark me", "Goto me",
                                      "Mark flag", "Goto flag", ""};
        const int ids[] = {ID_ZOOM_IN,   ID_ZOOM_OUT,  ID_MARK_ME, ID_GOTO_ME,
                           ID_MARK_FLAG, ID_GOTO_FLAG, ID_BLANK};
        for (int i = 0; i < 7; ++i) {
            QCOMPARE(actions[i], frame->CommandAction(ids[i]));
            auto* button =
                qobject_cast<QToolButton*>(frame->CommandBar()->widgetForAction(actions[i]));
            QVERIFY(button);
            QCOMPARE(button->toolTip(), tooltips[i]);
            QCOMPARE(button->iconSize(), QSize(16, 16));
        }
        // The seventh has no handler: disabled, and no tooltip at all.
        QVERIFY(!actions[6]->isEnabled());
        QVERIFY(!frame->CommandBar()->widgetForAction(actions[6])->isEnabled());
        // The commands whose handlers the view has are live.
        for (int id : {ID_MAP_OPEN, ID_MAP_EXIT, ID_MAP_HELP, ID_APP_ABOUT, ID_ZOOM_IN, ID_ZOOM_OUT,
                       ID_TOOLS_GO_HOME})
            QVERIFY2(frame->CommandAction(id)->isEnabled(), qPrintable(QString::number(id)));
    }

    void toolbarImagesAreSixDistinctPicturesAndABlank() {
        const QImage strip = ToolbarStrip();
        QCOMPARE(strip.size(), QSize(112, 16));
        QVERIFY(strip.colorCount() <= 16);
        QSet<QByteArray> seen;
        for (int i = 0; i < 7; ++i) {
            const QImage cell = strip.copy(16 * i, 0, 16, 16);
            bool drawn = false;
            for (int y = 0; y < 16 && !drawn; ++y)
                for (int x = 0; x < 16 && !drawn; ++x)
                    drawn = cell.pixel(x, y) != kToolbarBackground;
            // Six pictures and the blank seventh.
            QCOMPARE(drawn, i < 6);
            const QByteArray bytes(reinterpret_cast<const char*>(cell.constBits()),
                                   cell.sizeInBytes());
            QVERIFY2(!seen.contains(bytes), qPrintable(QString::number(i)));
            seen.insert(bytes);
        }
    }

    void markingButtonsShowOnlyWhatTheViewSets_data() {
        QTest::addColumn<int>("id");
        QTest::newRow("Mark me") << ID_MARK_ME;
        QTest::newRow("Mark flag") << ID_MARK_FLAG;
    }
    void markingButtonsShowOnlyWhatTheViewSets() {
        QFETCH(int, id);
        CTestRoot root;
        auto press = [id](CMainFrame& frame, bool pressed) {
            if (id == ID_MARK_ME)
                frame.CheckMarkMeButton(pressed);
            else
                frame.CheckMarkFlagButton(pressed);
        };
        // Before the command bar exists the call is ignored.
        CMainFrame bare;
        press(bare, true);
        QVERIFY(!bare.CommandAction(id));

        QPointer<CMainFrame> frame = MakeFrame();
        QAction* action = frame->CommandAction(id);
        QVERIFY(action->isCheckable());
        QVERIFY(!action->isChecked());
        press(*frame, true);
        QVERIFY(action->isChecked());
        press(*frame, false);
        QVERIFY(!action->isChecked());
        // A view reset (opening a map) releases both.
        press(*frame, true);
        frame->GetActiveView()->ResetViewState();
        QVERIFY(!action->isChecked());
    }

    void windowGivesTheView240By268AndNeverMoreThan500() {
        CTestRoot root;
        QPointer<CMainFrame> frame = MakeFrame();
        frame->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame));
        QCOMPARE(frame->GetActiveView()->size(), QSize(240, 268));
        QCOMPARE(frame->windowTitle(), QStringLiteral("Pocket Veldra"));
        frame->resize(900, 900);
        QTest::qWait(20);
        QVERIFY(frame->GetActiveView()->width() <= 500);
        QVERIFY(frame->GetActiveView()->height() <= 500);
    }

    void ctrlOShowsNothing() {
        CTestRoot root;
        CScriptedUi ui;
        QPointer<CMainFrame> frame = MakeFrame();
        frame->show();
        QVERIFY(QTest::qWaitForWindowActive(frame));
        QSignalSpy opened(frame->CommandAction(ID_FILE_OPEN), &QAction::triggered);
        QTest::keyClick(frame, Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(opened.count(), 1);    // the key reached the framework's Open ...
        QVERIFY(ui.m_events.isEmpty()); // ... which shows nothing
        QVERIFY(frame->isVisible());
        frame->CommandAction(ID_FILE_SAVE_AS)->trigger();
        QVERIFY(ui.m_events.isEmpty());
    }

    void exitClosesAtOnceWithoutAQuestion() {
        CTestRoot root;
        CScriptedUi ui;
        QPointer<CMainFrame> frame = MakeFrame();
        frame->show();
        frame->CommandAction(ID_MAP_EXIT)->trigger();
        QVERIFY(ui.m_events.isEmpty());
        QVERIFY(!frame->isVisible());
        FlushDeletes();
        QVERIFY(frame.isNull());
        QVERIFY(g_pMainFrame == nullptr);
    }

    void splashClosesByItselfAndOnlyThenTheOpenRuns() {
        CTestRoot root;
        // Two maps and none current: the start-up open shows the library.
        MakeConvertedMap(root, QStringLiteral("Alpha"), QStringLiteral("alpha"));
        MakeConvertedMap(root, QStringLiteral("Beta"), QStringLiteral("beta"));
        CScriptedUi ui;
        CSplashDlg::s_nDelayMs = 60;
        qint64 splashShownFor = -1;
        int splashResult = -1;
        QSize pictureSize;
        ui.OnDialog<CSplashDlg>([&](CSplashDlg& splash) {
            pictureSize = splash.Picture()->pixmap().size();
            QElapsedTimer clock;
            clock.start();
            splashResult = splash.exec(); // the real modal loop: only the timer ends it
            splashShownFor = clock.elapsed();
            return splashResult;
        });
        ui.OnDialog<CMapLibraryDlg>([&](CMapLibraryDlg& library) {
            // The splash is gone before the library comes.
            ui.m_events.append(splashShownFor >= 0 ? "after splash" : "during splash");
            library.OnCancel();
            return int(QDialog::Rejected);
        });
        QPointer<CMainFrame> frame = MakeFrame(/*keepStartup=*/true);
        frame->show();
        QTRY_VERIFY_WITH_TIMEOUT(frame.isNull() || !frame->isVisible(), 5000);
        QCOMPARE(ui.m_events, QStringList({"CSplashDlg", "CMapLibraryDlg", "after splash"}));
        QCOMPARE(splashResult, int(QDialog::Rejected));
        QVERIFY(splashShownFor >= 50);
        QCOMPARE(pictureSize, QSize(144, 184));
    }

    void helpShowsItsMessageFirstThenTheBrowser() {
        CTestRoot root;
        CScriptedUi ui;
        QPointer<CMainFrame> frame = MakeFrame();
        frame->CommandAction(ID_MAP_HELP)->trigger();
        QCOMPARE(ui.m_events, QStringList({"message", "browser"}));
        QCOMPARE(ui.m_messages.size(), size_t(1));
        QCOMPARE(ui.m_messages[0].text,
                 QStringLiteral("Help is displayed within Internet Explorer.\r\n\r\nTo return "
                                "to Veldra mapping, close the Internet Explorer Window."));
        QCOMPARE(ui.m_messages[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(ui.m_messages[0].icon, QMessageBox::NoIcon);
        QVERIFY(ui.m_urls[0].isLocalFile());
        QCOMPARE(ui.m_urls[0].toLocalFile(), root.Host(QStringLiteral("Veldra/HTML/help.htm")));
    }

    void aboutOpensAndItsOkButtonClosesIt() {
        CTestRoot root;
        CScriptedUi ui;
        int result = -1;
        QStringList texts;
        ui.OnDialog<CAboutDlg>([&](CAboutDlg& about) {
            for (const QLabel* label : about.findChildren<QLabel*>())
                texts.append(label->text());
            about.OkButton()->click();
            result = about.result();
            return about.result();
        });
        QPointer<CMainFrame> frame = MakeFrame();
        frame->CommandAction(ID_APP_ABOUT)->trigger();
        QCOMPARE(ui.m_events, QStringList({"CAboutDlg"}));
        QCOMPARE(result, int(QDialog::Accepted));
        QVERIFY(texts.contains(QStringLiteral("version 2.0.4")));
        // Addresses stay on the reserved example domains.
        for (const QString& text : texts)
            if (text.contains(u'@') || text.startsWith(QStringLiteral("www.")))
                QVERIFY2(text.contains(QRegularExpression("example\\.(com|org|net)$")),
                         qPrintable(text));
    }

    void applicationStartsOnTheRootGivenAndShowsTheFrame() {
        CTestRoot root;
        const QString before = DeviceRoot();
        QTemporaryDir other;
        int argc = 0;
        {
            CVeldraViewerApp app(argc, nullptr);
            QVERIFY(app.InitInstance({"VeldraViewer", "--root", other.path()}));
            QCOMPARE(QFileInfo(DeviceRoot()).canonicalFilePath(),
                     QFileInfo(other.path()).canonicalFilePath());
            QVERIFY(app.MainFrame() && app.MainFrame()->isVisible());
            QVERIFY(app.MainFrame()->centralWidget() == app.MainFrame()->GetActiveView());
            QVERIFY(app.Document());
        }
        QVERIFY(g_pMainFrame == nullptr);
        SetDeviceRoot(before);
    }
};

QTEST_MAIN(TestAppShell)
#include "test_app_shell.moc"
