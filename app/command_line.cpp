#include "app/command_line.h"

#include "res/resource.h"

CCommandLine ParseCommandLine(const QStringList& args) {
    CCommandLine options;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            options.bHelp = true;
        } else if (arg == QLatin1String("--version")) {
            options.bVersion = true;
        } else if (arg == QLatin1String("--position-source") ||
                   arg.startsWith(QLatin1String("--position-source="))) {
            options.strPositionSource = arg.contains(u'=')    ? arg.section(u'=', 1)
                                        : i + 1 < args.size() ? args[++i]
                                                              : QString();
            if (options.strPositionSource.isEmpty())
                options.strPositionSource = QStringLiteral("default");
        } else if (arg == QLatin1String("--pixels") || arg.startsWith(QLatin1String("--pixels="))) {
            const QString value = arg.contains(u'=')    ? arg.section(u'=', 1)
                                  : i + 1 < args.size() ? args[++i]
                                                        : QString();
            if (value == QLatin1String("native") || value == QLatin1String("scaled"))
                options.bNativePixels = value == QLatin1String("native");
            else
                options.strError =
                    QStringLiteral("--pixels takes scaled or native, not \"%1\"").arg(value);
        }
    }
    return options;
}

QString UsageText() {
    return QStringLiteral(
        "Usage: VeldraViewer [--root DIR] [--pixels scaled|native] [--position-source SOURCE]\n"
        "An offline street-map viewer.\n\n"
        "  --root DIR       the device root holding the maps, the registry and the places\n"
        "                   (default: $VELDRA_ROOT, else $XDG_DATA_HOME/veldra)\n"
        "  --pixels scaled  on a high-density screen, draw each map pixel as a block of\n"
        "                   whole device pixels (the default)\n"
        "  --pixels native  draw map pixels one to one on device pixels: more map, smaller\n"
        "  --position-source SOURCE\n"
        "                   where \"Follow My Position\" reads your position:\n"
        "                   default                   the system's position service\n"
        "                   nmea:serial:/dev/ttyUSB0  a receiver on a serial port\n"
        "                   nmea:socket://HOST:PORT   NMEA text from a TCP server\n"
        "                   nmea:FILE                 replays a recorded NMEA log\n"
        "  --version        print the version and exit\n"
        "  -h, --help       print this help and exit\n\n"
        "Keys: arrows pan, + and - zoom (the mouse wheel too), F11 full screen.\n");
}

QString VersionText() {
    return QString::fromLatin1(kAppTitle) + u' ' + QString::fromLatin1(kVersionLine) + u'\n';
}
