// Pocket Veldra: an offline street-map viewer.
#include "app/veldra_app.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    CVeldraViewerApp app(argc, argv);
    if (!app.InitInstance(QCoreApplication::arguments()))
        return 1;
    return app.Run();
}
