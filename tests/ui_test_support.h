#pragma once

#include "app/main_frame.h"
#include "store/map_library_dlg.h"
#include "test_support.h"
#include "ui/ui_seam.h"
#include "view/map_view.h"
#include "view/view_test_support.h"

#include <QCoreApplication>
#include <QMap>
#include <QMessageBox>
#include <QMouseEvent>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>
#include <functional>

// Scripted dialogs and the main frame for the widget tests.

// The library's row of a title, or null.
inline QTreeWidgetItem* RowOf(const CMapLibraryDlg& library, const QString& title) {
    const QList<QTreeWidgetItem*> rows = library.MapList()->findItems(title, Qt::MatchExactly);
    return rows.isEmpty() ? nullptr : rows.first();
}

// The texts of a list's rows in its first column, in list order.
inline QStringList RowTexts(const QTreeWidget* list) {
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        texts.append(list->topLevelItem(i)->text(0));
    return texts;
}

// A mouse event as the platform delivers it: the button held down from the
// press until the release, a move naming no button.
inline void SendMouse(QWidget& widget, QEvent::Type type, QPoint at,
                      Qt::MouseButton button = Qt::LeftButton) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
    QMouseEvent event(type, QPointF(at), widget.mapToGlobal(QPointF(at)),
                      type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
}

// A double tap as the platform delivers it: press, release, press, double
// click, release. (QTest's own double click sends the double click alone.)
inline void DoubleTap(QWidget* widget, QPoint at) {
    QTest::mouseClick(widget, Qt::LeftButton, {}, at);
    QTest::mousePress(widget, Qt::LeftButton, {}, at);
    QTest::mouseDClick(widget, Qt::LeftButton, {}, at);
    QTest::mouseRelease(widget, Qt::LeftButton, {}, at);
}

// Scripted message boxes (recorded, answered from a queue, else OK / Yes)
// and modal runs (to the handler queued for the class, else rejected).
class CScriptedUi {
public:
    struct Message {
        QString text;
        QMessageBox::StandardButtons buttons;
        QMessageBox::Icon icon;
    };

    CScriptedUi() {
        SetMessageBoxHandler([this](const QString& text, QMessageBox::StandardButtons buttons,
                                    QMessageBox::Icon icon) {
            m_messages.push_back({text, buttons, icon});
            m_events.append(QStringLiteral("message"));
            if (m_answers.isEmpty())
                return int(buttons.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok);
            return m_answers.takeFirst();
        });
        SetModalHandler([this](QDialog& dialog) {
            const QString name = QString::fromLatin1(dialog.metaObject()->className());
            m_events.append(name);
            if (!m_dialogs[name].isEmpty())
                return m_dialogs[name].takeFirst()(dialog);
            dialog.reject();
            return int(QDialog::Rejected);
        });
        SetBrowserHandler([this](const QUrl& url) {
            m_events.append(QStringLiteral("browser"));
            m_urls.append(url);
            return true;
        });
    }
    ~CScriptedUi() {
        SetMessageBoxHandler({});
        SetModalHandler({});
        SetBrowserHandler({});
    }
    // Queues the handling of the next modal run of a dialog class.
    template <class Dialog> void OnDialog(std::function<int(Dialog&)> handler) {
        m_dialogs[QString::fromLatin1(Dialog::staticMetaObject.className())].push_back(
            [handler](QDialog& dialog) { return handler(static_cast<Dialog&>(dialog)); });
    }
    // Queues the answer to the next message box.
    void Answer(int button) { m_answers.push_back(button); }

    QStringList MessageTexts() const {
        QStringList texts;
        for (const Message& message : m_messages)
            texts.append(message.text);
        return texts;
    }

    std::vector<Message> m_messages;
    QStringList m_events; // "message", "browser" and dialog class names, in order
    QList<QUrl> m_urls;

private:
    QMap<QString, QList<std::function<int(QDialog&)>>> m_dialogs;
    QList<int> m_answers;
};

// A main frame, without the start-up splash unless keepStartup is set.
// CloseApplication deletes it later: tests hold it in a QPointer.
inline CMainFrame* MakeFrame(bool keepStartup = false) {
    auto* frame = new CMainFrame();
    if (frame->OnCreate() != 0) {
        delete frame;
        return nullptr;
    }
    if (!keepStartup)
        QCoreApplication::removePostedEvents(frame->GetActiveView());
    return frame;
}

// Runs the deletions that CloseApplication left for the event loop.
inline void FlushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The view over the synthetic map, without the start-up splash; 240 x 268
// until the widget is shown.
struct CSyntheticView {
    CTestRoot root;
    CSyntheticMap map{root};
    CVeldraViewerView view;
    CMapCanvas& canvas = view.Canvas();

    explicit CSyntheticView(int32_t scale = 0) {
        QCoreApplication::removePostedEvents(&view);
        canvas.SetTileSource(map.Source());
        canvas.Resize(240, 268);
        canvas.ShowMap(map.Map(scale));
    }
};
