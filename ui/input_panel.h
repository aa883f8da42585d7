#pragma once

#include <functional>

// The on-screen input panel (the soft keyboard of a touch device). Text boxes
// raise it when they gain the focus and force it down when they lose it. On a
// desktop without such a panel both calls change nothing visible.

// Raises the input panel (up = true) or forces it down (up = false).
void ShowInputPanel(bool up);

// A scripted panel for tests: receives each call instead of the platform's
// input method. An empty function restores the platform's.
using InputPanelHandler = std::function<void(bool up)>;
void SetInputPanelHandler(InputPanelHandler handler);
