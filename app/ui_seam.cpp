#include "app/ui_seam.h"

#include <QDialog>

namespace {
MessageBoxHandler& MessageHandler() {
    static MessageBoxHandler handler;
    return handler;
}
ModalHandler& DialogHandler() {
    static ModalHandler handler;
    return handler;
}
} // namespace

int VeldraMessageBox(QWidget* owner, const QString& text, QMessageBox::StandardButtons buttons,
                     QMessageBox::Icon icon) {
    if (MessageHandler())
        return MessageHandler()(text, buttons, icon);
    QMessageBox box(icon, kMessageCaption, text, buttons, owner);
    return box.exec();
}

int RunModal(QDialog& dialog) {
    if (DialogHandler()) {
        dialog.setModal(true);
        return DialogHandler()(dialog);
    }
    return dialog.exec();
}

void SetMessageBoxHandler(MessageBoxHandler handler) { MessageHandler() = std::move(handler); }
void SetModalHandler(ModalHandler handler) { DialogHandler() = std::move(handler); }
