#include "ui/input_panel.h"

#include <QGuiApplication>
#include <QInputMethod>

namespace {
InputPanelHandler& PanelHandler() {
    static InputPanelHandler handler;
    return handler;
}
} // namespace

void ShowInputPanel(bool up) {
    if (PanelHandler()) {
        PanelHandler()(up);
        return;
    }
    QInputMethod* panel = QGuiApplication::inputMethod();
    if (!panel)
        return;
    if (up)
        panel->show();
    else
        panel->hide();
}

void SetInputPanelHandler(InputPanelHandler handler) {
    PanelHandler() = std::move(handler);
}
