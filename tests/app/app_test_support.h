#pragma once

#include "app/main_frame.h"
#include "ui/ui_seam.h"
#include "platform/image_codec.h"
#include "platform/registry.h"
#include "store/map_library_dlg.h"
#include "store/tile_cache.h"
#include "test_support.h"
#include "view/map_view.h"

#include <QCoreApplication>
#include <QMap>
#include <QMessageBox>
#include <QTreeWidget>
#include <QUrl>
#include <functional>

// Map folders, registry keys and scripted dialogs for the application tests.

inline const QString kAppsKey = QStringLiteral("Software\\Apps");

// The registry key of an installed map.
inline QString MapKey(const QString& title) {
    return kAppsKey + QStringLiteral("\\Veldra Pocket map of ") + title;
}

// Registers a map: its key with InstallDir (and Current when given).
inline void RegisterMap(const QString& title, const QString& installDir, int current = -1) {
    RegSetString(MapKey(title), QStringLiteral("InstallDir"), installDir);
    if (current >= 0)
        RegSetDword(MapKey(title), QStringLiteral("Current"), uint32_t(current));
}

// A map's "Current" value; -1 when it has none.
inline int CurrentValue(const QString& title) {
    return int(RegQueryDword(MapKey(title), QStringLiteral("Current")).value_or(-1));
}

// A map of rows x columns converted 500 x 500 tiles "<tla><row>_<column>.cbm"
// under Veldra/Maps/<name>, registered as <title>. Returns its device path.
inline QString MakeConvertedMap(const CTestRoot& root, const QString& title, const QString& name,
                                int rows = 2, int columns = 2) {
    const QString folder = QStringLiteral("\\Veldra\\Maps\\") + name;
    root.MakeDir(QStringLiteral("Veldra/Maps/") + name);
    TileCache cache;
    for (int r = 1; r <= rows; ++r)
        for (int c = 1; c <= columns; ++c) {
            QImage tile(500, 500, kDisplayFormat);
            tile.fill(QColor(40 * r, 60 * c, 90));
            cache.SaveCompressedTile(
                folder, QStringLiteral("%1%2_%3").arg(title.left(3).toLower()).arg(r).arg(c), tile);
        }
    RegisterMap(title, folder);
    return folder;
}

// The library's row of a title, or null.
inline QTreeWidgetItem* RowOf(const CMapLibraryDlg& library, const QString& title) {
    const QList<QTreeWidgetItem*> rows = library.MapList()->findItems(title, Qt::MatchExactly);
    return rows.isEmpty() ? nullptr : rows.first();
}

// Scripted message boxes and modal runs. Message boxes are recorded and
// answered from a queue (OK / Yes when it is empty); modal runs go to the
// handler queued for the dialog's class, which acts on the dialog and returns
// its result. A dialog without a handler is recorded and rejected.
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

// A main frame with its view and command bar. The splash that the view posts
// at creation is dropped unless keepStartup is set. CloseApplication deletes
// the frame later, so tests hold it in a QPointer.
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
