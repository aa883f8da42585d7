// The frame's menus and command bar, the splash, Help, About and the application.

#include "app/command_line.h"
#include "app/veldra_app.h"
#include "res/resource.h"
#include "ui_test_support.h"
#include "view/about_dlg.h"
#include "view/splash_dlg.h"

#include <QElapsedTimer>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolBar>

class TestAppShell : public QObject {
    Q_OBJECT
private slots:
    void cleanup() {
        CSplashDlg::s_nDelayMs = 3000;
        FlushDeletes();
        delete g_pMainFrame;
    }

    void menusCommandBarAndWindowSize() {
        CTestRoot root;
        QPointer<CMainFrame> frame = MakeFrame();
        frame->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame));
        QCOMPARE(frame->GetActiveView()->size(), QSize(240, 268));
        frame->resize(900, 900);
        QTest::qWait(20);
        QVERIFY(frame->GetActiveView()->width() > 500 && frame->GetActiveView()->height() > 500);
        frame->ToggleFullScreen();
        QVERIFY(frame->isFullScreen());
        frame->ToggleFullScreen();
        QVERIFY(!frame->isFullScreen());
        // Menus and entries; only those that need a geo-referenced map are off.
        QStringList menus;
        for (const QAction* menu : frame->menuBar()->actions()) {
            menus.append(menu->text() + u':');
            for (const QAction* action : menu->menu()->actions()) {
                menus.append(action->isSeparator() ? QStringLiteral("-") : action->text());
                QCOMPARE(action->isEnabled(),
                         menus.indexOf(QStringLiteral("Go to Coordinates...")) < 0);
            }
        }
        QCOMPARE(menus.join(u'|'),
                 "Map:|Open...|Exit|-|Help...|-|About...|Tools:|Search...|-|Add to Favourite "
                 "Places...|Show Favourite Places...|Set as Home|Go to Home|-|Show Direction to "
                 "Flag|Show Distance to Flag|-|Go to Coordinates...|Export Places to GPX...|Import "
                 "Places from GPX...|Follow My Position");

        // The toolbar: the blank button and Follow My Position are off.
        const QList<QAction*> buttons = frame->CommandBar()->actions();
        const int ids[] = {ID_ZOOM_IN,   ID_ZOOM_OUT,  ID_MARK_ME, ID_GOTO_ME,
                           ID_MARK_FLAG, ID_GOTO_FLAG, ID_BLANK,   ID_TOOLS_FOLLOW_POSITION};
        const QStringList tooltips =
            QStringLiteral("Zoom in|Zoom out|Mark me|Goto me|Mark flag|Goto flag||Not available: "
                           "this map does not say where on Earth it lies (it has no geo-reference)")
                .split(u'|');
        QCOMPARE(buttons.size(), 8);
        for (int i = 0; i < 8; ++i) {
            const QWidget* button = frame->CommandBar()->widgetForAction(buttons[i]);
            QCOMPARE(buttons[i], frame->CommandAction(ids[i]));
            QCOMPARE(button->toolTip(), tooltips[i]);
            QCOMPARE(buttons[i]->isEnabled(), i < 6);
        }
        QVERIFY(frame->CommandAction(ID_FILE_OPEN)->isEnabled() &&
                frame->CommandAction(ID_FILE_SAVE_AS)->isEnabled());
    }

    // The marking buttons show the markers' state, whatever a click would make.
    void markingButtonsFollowTheMarkers() {
        CTestRoot root;
        CMainFrame bare; // before the command bar exists the calls are ignored
        bare.CheckMarkMeButton(true);
        QVERIFY(!bare.CommandAction(ID_MARK_ME));

        QPointer<CMainFrame> frame = MakeFrame();
        CMapCanvas& canvas = frame->GetActiveView()->Canvas();
        QAction* me = frame->CommandAction(ID_MARK_ME);
        const QAction* flag = frame->CommandAction(ID_MARK_FLAG);
        QVERIFY(!me->isChecked() && !flag->isChecked());
        me->trigger(); // armed
        me->trigger(); // still armed
        QVERIFY(me->isChecked() && !flag->isChecked());
        canvas.OnMarkFlag();
        QVERIFY(me->isChecked() && flag->isChecked());
        canvas.ResetViewState(); // as when a map opens
        QVERIFY(!me->isChecked() && !flag->isChecked());
    }

    void menuCommands_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<bool>("closes");
        QTest::newRow("Ctrl+O shows nothing") << ID_FILE_OPEN << QStringList{} << false;
        QTest::newRow("Save As does nothing") << ID_FILE_SAVE_AS << QStringList{} << false;
        QTest::newRow("Exit closes without a question") << ID_MAP_EXIT << QStringList{} << true;
        QTest::newRow("Help: its message, then the browser")
            << ID_MAP_HELP << QStringList{"message", "browser"} << false;
        QTest::newRow("About: OK closes it") << ID_APP_ABOUT << QStringList{"CAboutDlg"} << false;
        QTest::newRow("Search...") << ID_TOOLS_SEARCH << QStringList{"CSearchDlg"} << false;
        QTest::newRow("Add to Favourite Places...")
            << ID_TOOLS_ADD_FAVOURITE << QStringList{"CAddFavouriteDlg"} << false;
        QTest::newRow("Show Favourite Places...")
            << ID_TOOLS_SHOW_FAVOURITES << QStringList{"CFavouritesDlg"} << false;
    }
    void menuCommands() {
        QFETCH(int, id);
        QFETCH(QStringList, events);
        QFETCH(bool, closes);
        CTestRoot root;
        root.WriteFile(QStringLiteral("Veldra/HTML/help.htm"), "<html></html>");
        CScriptedUi ui;
        int aboutResult = -1;
        ui.OnDialog<CAboutDlg>([&](CAboutDlg& about) {
            about.OkButton()->click();
            return aboutResult = about.result();
        });
        QPointer<CMainFrame> frame = MakeFrame();
        frame->show();
        QVERIFY(QTest::qWaitForWindowActive(frame));
        QSignalSpy triggered(frame->CommandAction(id), &QAction::triggered);
        if (id == ID_FILE_OPEN)
            QTest::keyClick(frame, Qt::Key_O, Qt::ControlModifier);
        else
            frame->CommandAction(id)->trigger();
        QCOMPARE(triggered.count(), 1);
        QCOMPARE(ui.m_events, events);
        QCOMPARE(frame->isVisible(), !closes);
        FlushDeletes();
        QCOMPARE(frame.isNull(), closes);
        QCOMPARE(g_pMainFrame == nullptr, closes);
        if (id == ID_APP_ABOUT)
            QCOMPARE(aboutResult, int(QDialog::Accepted));
    }

    // Help shows the root's page, else the installed one, else warns.
    void helpFindsThePageOrWarns_data() {
        QTest::addColumn<QString>("page"); // under the root, installed beside the program, none
        QTest::addColumn<bool>("browser");
        QTest::addColumn<QString>("warning"); // empty: none
        QTest::newRow("shown") << "root" << true << QString();
        QTest::newRow("installed") << "installed" << true << QString();
        QTest::newRow("no browser")
            << "root" << false << "No web browser could show the help page.";
        QTest::newRow("no page") << "none" << true << "The help page is not installed.";
    }
    void helpFindsThePageOrWarns() {
        QFETCH(QString, page);
        QFETCH(bool, browser);
        QFETCH(QString, warning);
        CTestRoot root;
        const QString share = QCoreApplication::applicationDirPath() + "/../share";
        QDir(share).removeRecursively();
        const QString path =
            page == "root" ? root.Host("Veldra/HTML/help.htm") : share + "/veldra/html/help.htm";
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(page == "none" || file.open(QIODevice::WriteOnly));
        file.close();
        const QString shown = page == "root" ? path : QFileInfo(path).canonicalFilePath();
        CScriptedUi ui;
        SetBrowserHandler([&](const QUrl& url) { return ui.m_urls.append(url), browser; });
        MakeFrame()->GetActiveView()->OnHelp();
        QDir(share).removeRecursively();
        QCOMPARE(ui.m_urls,
                 page == "none" ? QList<QUrl>() : QList<QUrl>{QUrl::fromLocalFile(shown)});
        QCOMPARE(ui.m_messages.size(), warning.isEmpty() ? 1 : 2);
        QCOMPARE(ui.m_messages[0].text,
                 QStringLiteral("Help is displayed within your web browser.\r\n\r\nTo return "
                                "to Veldra mapping, close the web browser window."));
        QCOMPARE(ui.m_messages[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        if (!warning.isEmpty())
            QVERIFY(ui.m_messages[1].text == warning &&
                    ui.m_messages[1].icon == QMessageBox::Warning);
    }

    // What each command line asks for: help, version, native, scaled or error.
    void commandLine() {
        const auto answer = [](const QStringList& args) {
            const CCommandLine o = ParseCommandLine(QStringList{"VeldraViewer"} + args);
            return !o.strError.isEmpty() ? "error"
                   : o.bHelp             ? "help"
                   : o.bVersion          ? "version"
                                         : (o.bNativePixels ? "native" : "scaled");
        };
        QCOMPARE(answer({}), "scaled");
        QCOMPARE(answer({"--root", "x", "-h"}), "help");
        QCOMPARE(answer({"--version"}), "version");
        QCOMPARE(answer({"--pixels=native"}), "native");
        QCOMPARE(answer({"--pixels", "native", "--pixels", "scaled"}), "scaled");
        QCOMPARE(answer({"--pixels=blurry"}), "error");
        QCOMPARE(answer({"--pixels"}), "error");
        QCOMPARE(VersionText(), QStringLiteral("Pocket Veldra version 2.0.4\n"));
    }

    void splashClosesByItselfAndOnlyThenTheOpenRuns() {
        CTestRoot root;
        // Two maps and none current: the start-up open shows the library.
        MakeConvertedMap(root, "Alpha", "alpha");
        MakeConvertedMap(root, "Beta", "beta");
        CScriptedUi ui;
        CSplashDlg::s_nDelayMs = 60;
        qint64 splashShownFor = -1;
        Qt::TimerType closing = Qt::CoarseTimer;
        ui.OnDialog<CSplashDlg>([&](CSplashDlg& splash) {
            // The default timer may fire 5 % early: the splash must not.
            closing = splash.CloseTimer().timerType();
            QElapsedTimer clock;
            clock.start();
            const int result = splash.exec(); // the real modal loop: only the timer ends it
            splashShownFor = clock.elapsed();
            return result;
        });
        ui.OnDialog<CMapLibraryDlg>([&](CMapLibraryDlg& library) {
            ui.m_events.append(splashShownFor >= 0 ? "after splash" : "during splash");
            library.OnCancel();
            return int(QDialog::Rejected);
        });
        QPointer<CMainFrame> frame = MakeFrame(/*keepStartup=*/true);
        frame->show();
        QTRY_VERIFY_WITH_TIMEOUT(frame.isNull() || !frame->isVisible(), 5000);
        QCOMPARE(ui.m_events, QStringList({"CSplashDlg", "CMapLibraryDlg", "after splash"}));
        QVERIFY(splashShownFor >= 60); // never early
        QCOMPARE(closing, Qt::PreciseTimer);
    }

    void applicationStartsOnTheRootGivenAndShowsTheFrame() {
        CTestRoot root; // puts the test's root back afterwards
        QTemporaryDir other;
        int argc = 0;
        {
            CVeldraViewerApp app(argc, nullptr);
            QVERIFY(app.InitInstance({"VeldraViewer", "--root", other.path()}));
            QCOMPARE(QFileInfo(DeviceRoot()).canonicalFilePath(),
                     QFileInfo(other.path()).canonicalFilePath());
            QVERIFY(app.MainFrame() && app.MainFrame()->isVisible());
            QVERIFY(app.MainFrame()->centralWidget() == app.MainFrame()->GetActiveView());
        }
        QVERIFY(g_pMainFrame == nullptr);
    }
};

QTEST_MAIN(TestAppShell)
#include "test_app_shell.moc"
