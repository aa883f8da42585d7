// Pocket Veldra: an offline street-map viewer.
#include "app/command_line.h"
#include "app/veldra_app.h"
#include "view/map_view.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    // The options that answer at once are read before any window system is
    // needed, so they work without a display.
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    const CCommandLine options = ParseCommandLine(args);
    if (!options.strError.isEmpty()) {
        std::fprintf(stderr, "VeldraViewer: %s\n", qPrintable(options.strError));
        return 2;
    }
    if (options.bHelp || options.bVersion) {
        std::fputs(qPrintable(options.bHelp ? UsageText() : VersionText()), stdout);
        return 0;
    }
    CVeldraViewerView::SetPixelMode(options.bNativePixels ? CVeldraViewerView::PixelMode::Native
                                                          : CVeldraViewerView::PixelMode::Scaled);
    CVeldraViewerView::SetPositionSource(options.strPositionSource);
    CVeldraViewerApp app(argc, argv);
    if (!app.InitInstance(QCoreApplication::arguments()))
        return 1;
    return app.Run();
}
