#pragma once
// Searched before Qt's own headers when the core library compiles: every Qt
// Widgets header includes this one, so a widget include in the core stops the
// build here. Widgets belong in the veldra_ui library.
#error "veldra_core must not include Qt Widgets headers; move this code to veldra_ui"
