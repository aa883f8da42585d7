// veldra-pack: makes and installs maps for the viewer (see --help).

#include "demo_town.h"
#include "map_packager.h"
#include "osm_map.h"
#include "picture_bands.h"

#include "platform/device_root.h"

#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <initializer_list>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <future>
#include <malloc.h>
#include <unistd.h>

namespace {

const char kHelp[] = R"(Usage:
  veldra-pack make --root DIR --title TITLE --picture FILE [--places FILE.tsv]
                   [--calibration NORTH,SOUTH,EAST,WEST,SCALE] [--folder DEVICEPATH]
                   [--edges WEST,SOUTH,EAST,NORTH [--projection mercator|latlon]]
                   [--replace] [--large]
  veldra-pack demo --root DIR [--replace] [--keep-pictures DIR]
  veldra-pack osm --root DIR --title TITLE --input FILE [--metres-per-pixel M]
                  [--bbox W,S,E,N] [--folder DEVICEPATH] [--replace] [--large]
  veldra-pack --help

Makes maps for Pocket Veldra and installs them under a device root (the folder
that stands for the device; the viewer takes the same --root).

make   Installs the picture FILE (PNG, JPEG, BMP, GIF; any size) as the map TITLE.
       The picture is cut into 500 x 500 tiles, counted from 1 and named
       {prefix}{row}_{col}.map, where the prefix is the first three characters
       of TITLE in lower case; the last row and column are padded white. Each
       tile is stored as a PNG (an 8-bit palette PNG where a straight one is too
       big) encrypted with the tile key, at most 131072 bytes; a tile that still
       does not fit is an error. The overview levels for zoom 0.5 and 0.25 are
       the picture shrunk by averaging each 2 x 2 and 4 x 4 pixels (see
       "Overview levels" below). A PNG is read a band of 500 rows at a time
       as the tiles are made, so memory holds a few bands, not the picture;
       an interlaced PNG and other formats are read whole. The map
       folder is DEVICEPATH, by default
       \Veldra\Maps\TITLE; it may be at most 49 characters long. The shared
       template tile \Veldra\Maps\tpl.map is written when it is missing. When
       the folder is complete the map is registered as the registry key
       "Software\Apps\Veldra Pocket map of TITLE" with the value InstallDir.

       --calibration writes Map.dat with the grid edges (metres) and the scale.

       The map's place on Earth, when known, is written as Map.geo, so that
       the viewer shows latitudes and longitudes, goes to coordinates, trades
       places as GPX and follows a position receiver. It comes from --edges,
       the longitudes and latitudes in degrees of the picture's outer edges,
       with the picture drawn in Web Mercator (--projection mercator, as web
       maps are) or with latitude and longitude straight (--projection
       latlon); else from a world file beside the picture (FILE's name with
       the extension .pgw, .jgw, .gfw, .bpw, .tfw, its own extension plus
       "w", or .wld), in degrees when its numbers lie within them, else in
       Web Mercator metres; a rotated picture is refused. Without
       --calibration, Map.dat is then written from it too: the edges in Web
       Mercator metres and the scale of the middle latitude.

       --places reads named places for the gazetteer from a UTF-8 text file, one
       place a line, six fields separated by tabs:
           category  name  extra1  extra2  x  y
       (lines starting with # are skipped). Each category becomes an index file
       {category}.idx ("Streets", "Towns", "Stations", ...), with its side
       index {category}.search for quick searches. Write names as they
       are to be shown: they are stored in lower case, and a word written in
       capitals of two or more letters ("NHS") is marked to be shown so. A name
       that holds '!' is taken as already stored that way. x and y are pixels of
       the picture, from 1. Fields may not hold '|', begin with '#' or be longer
       than 99 bytes in Windows-1252.

demo   Draws the two demo towns, Northcombe (5000 x 4000 pixels, 80 tiles) and
       Eastmoor (3000 x 2500 pixels, 30 tiles), with their gazetteers, and
       installs them. --keep-pictures also saves the whole pictures as PNG.

osm    Makes the map TITLE of a real place from an OpenStreetMap extract FILE:
       XML (.osm, .osm.bz2, .osm.gz) or PBF (.osm.pbf). The picture covers the
       extract's bounds (from its header, else from its nodes), or the box
       --bbox WEST,SOUTH,EAST,NORTH in degrees, with a margin of 32 pixels.
       A pixel is M metres on the ground (--metres-per-pixel, default 1.0,
       from 0.25 to 20) along both axes at the middle latitude of the map. The
       picture is Web Mercator, so away from that latitude the scale drifts by
       tan(latitude) x (distance north or south) / 6371 km: about 0.1 % for
       every 5 km at 48 degrees. A map may be at most 100000 pixels a side
       (200 tiles); a larger one is refused. Before the tiles are drawn the
       tool says how many there are and about how much disk they take, and
       warns when the extract holds nothing the map style draws.
       Drawn are roads by class, with their names repeated along long
       streets, footpaths and cycleways apart, bridges cased, tunnels dashed,
       one-way arrows and road numbers in shields; railways, stations,
       water, parks, woods, buildings, hospitals; points of interest (shops,
       food and drink, health, money, fuel, parking, toilets, post, bus and
       tram stops, schools, places of worship, hotels) as small symbols with
       their names where there is room; house numbers; administrative
       boundaries with their names; place names. Features that leave the
       picture are cut at its edge.
       Map.geo holds the picture's projection and edges in degrees (see make),
       Map.dat the picture's edges in Web Mercator metres and the scale
       S = M / (0.0001 x 1.094) rounded to the nearest integer (9141 for 1.0),
       so that the viewer's distance read-out shows metres; the rounding
       changes distances by at most 0.5 / S (0.022 % at M = 0.25).
       Gazetteers: Streets (each named road once per connected stretch, at
       the middle of its longest part; extra1 the postcode where the data
       has one), Towns (cities to hamlets; extra1 the kind), Stations (extra1
       the kind), Hospitals (hospitals and clinics; extra1 the phone) and
       Places (named amenities, shops, bus stops, leisure and tourism; extra1
       the kind) and Addresses ("street number" of every house number with a
       street or place; extra1 the postcode).
       Names are stored in Windows-1252: a letter it lacks is replaced by its
       base letter where it has one (a Polish or Romanian accented letter by
       the plain one) and dropped otherwise (Greek, Cyrillic, Chinese); '|'
       and '!' are dropped. The real spelling of each name the index file
       cannot show as written (capitals inside a word, letters it lacks) is
       kept in {category}.names, from which the viewer lists it.

Overview levels: every map also gets the sub-folders "Zoom 0.5" and
"Zoom 0.25": the map at half and a quarter of its pixels, cut into 500 x 500
tiles named like the map's own and stored ready to draw ({prefix}{row}_{col}.cbm,
zlib-compressed RGB565), from which the viewer draws those zooms. demo and osm
draw them for their scale: minor streets and paths thinner or left out, minor
names thinned out, place names, water and main roads kept readable, no two
labels overlapping. A map without them is shown by shrinking its tiles.

--root DIR   the device root (else $VELDRA_ROOT, else ~/.local/share/veldra)
--replace    replace a map that is installed already under the same title or folder
--large      make a map of more than 10000 tiles (refused otherwise)

The tiles are drawn, encoded and written on every core. Nothing is left half
made: on any error the new folder is removed, no registry key is written, and
a map being replaced stays as it was. Errors are reported on one line and the
exit status is 1, or 2 for a bad command line: an unknown command or option, a
missing option, or a value that is not of its form (--metres-per-pixel abc).
)";

// Qt's own notes go to stderr like the tool's errors, marked as warnings;
// the note that the offscreen platform makes up its own runtime folder
// (XDG_RUNTIME_DIR unset) is noise for a command-line tool and is dropped.
void ReportQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtDebugMsg || type == QtInfoMsg ||
        message.contains(QLatin1String("XDG_RUNTIME_DIR")))
        return;
    std::fprintf(stderr, "veldra-pack: warning: %s\n", qPrintable(message));
}

int Fail(const QString& message, int status = 1) {
    std::fprintf(stderr, "veldra-pack: %s\n", qPrintable(message));
    return status;
}

// Progress of the long steps (reading, drawing and encoding the tiles): one
// line rewritten in place on a terminal, otherwise a line at the start, at
// each tenth and at the end; with an estimate of the time left once a step
// has run for a second.
class CProgress {
public:
    CProgress() : m_terminal(isatty(fileno(stdout)) != 0) {}
    ~CProgress() { EndLine(); }

    // done of total units of step ("reading", with a percentage; "tile").
    void Update(const QString& title, const QString& step, int done, int total) {
        if (title + step != m_step) {
            EndLine();
            m_step = title + step;
            m_timer.start();
            m_shownTenth = -1;
        }
        const bool percent = step != QLatin1String("tile");
        QString text = percent ? QStringLiteral("%1: %2 %3%").arg(title, step).arg(done)
                               : QStringLiteral("%1: tile %2/%3").arg(title).arg(done).arg(total);
        const qint64 ms = m_timer.elapsed();
        if (done > 0 && done < total && ms >= 1000)
            text += QStringLiteral(" (%1 left)").arg(Duration(ms * (total - done) / done));
        const int tenth = total > 0 ? done * 10 / total : 0;
        if (m_terminal) {
            std::printf("\r%s\x1b[K", qPrintable(text));
            m_open = true;
            if (done >= total)
                EndLine();
        } else if (tenth != m_shownTenth || done >= total) {
            std::printf("%s\n", qPrintable(text));
            m_shownTenth = tenth;
        }
        std::fflush(stdout);
    }
    void Tile(const QString& title, int done, int total) {
        Update(title, QStringLiteral("tile"), done, total);
    }
    void Step(const QString& text) {
        EndLine();
        m_step.clear();
        std::printf("%s\n", qPrintable(text));
        std::fflush(stdout);
    }

private:
    void EndLine() {
        if (m_open)
            std::printf("\n");
        m_open = false;
    }
    static QString Duration(qint64 ms) {
        const qint64 s = (ms + 999) / 1000;
        return s < 60 ? QStringLiteral("about %1 s").arg(s)
                      : QStringLiteral("about %1 min %2 s").arg(s / 60).arg(s % 60);
    }

    bool m_terminal;
    bool m_open = false;
    QString m_step;
    QElapsedTimer m_timer;
    int m_shownTenth = -1;
};

// A size on disk for people: "12 kB", "340 MB", "4.2 GB".
QString DiskSize(int64_t bytes) {
    if (bytes < 1000000)
        return QStringLiteral("%1 kB").arg(std::max<int64_t>(1, (bytes + 999) / 1000));
    if (bytes < 10000000000)
        return QStringLiteral("%1 MB").arg((bytes + 500000) / 1000000);
    return QStringLiteral("%1 GB").arg(double(bytes) / 1e9, 0, 'f', 1);
}

// The start that make and osm share: the options the command requires, then
// the title, folder and --replace, with the title and folder checked before
// any long work. False, after the message, with the exit status in status.
bool ReadRequest(const QCommandLineParser& parser, const char* command,
                 std::initializer_list<const char*> required, PackageRequest& request,
                 QString& folder, int& status) {
    for (const char* option : required) {
        if (!parser.isSet(QLatin1String(option))) {
            status = Fail(QStringLiteral("%1 needs --%2 (see --help)")
                              .arg(QLatin1String(command), QLatin1String(option)),
                          2);
            return false;
        }
    }
    request.title = parser.value(QStringLiteral("title"));
    request.folder = parser.value(QStringLiteral("folder"));
    request.replace = parser.isSet(QStringLiteral("replace"));
    QString error;
    if (!CheckMapTitle(request.title, error) ||
        !ResolveMapFolder(request.title, request.folder, folder, error)) {
        status = Fail(error);
        return false;
    }
    return true;
}

// The world file of a picture: FILE's name with the extension's first and
// last letters and "w" (town.png: town.pgw), the extension and "w"
// (town.pngw), or ".wld"; empty when there is none.
QString WorldFileOf(const QString& picture) {
    const QFileInfo info(picture);
    const QString ext = info.suffix();
    const QString base = info.path() + u'/' + info.completeBaseName() + u'.';
    QStringList names;
    if (ext.size() >= 2)
        names << base + ext.front() + ext.back() + u'w' << base + ext + u'w';
    names << base + QStringLiteral("wld");
    for (const QString& name : names)
        for (const QString& cased :
             {name, name.left(base.size()) + name.mid(base.size()).toUpper()})
            if (QFileInfo(cased).isFile())
                return cased;
    return QString();
}

// The geo-reference of make's picture of size pixels: --edges, else a world
// file beside the picture. False, with error, when either is unusable; status
// is then 2 for an option value that is not of its form, else 1.
bool ReadPictureGeoReference(const QCommandLineParser& parser, const QString& picture, QSize size,
                             std::optional<CGeoReference>& geo, QString& error, int& status) {
    status = 2;
    const QString projection = parser.value(QStringLiteral("projection"));
    if (!projection.isEmpty() && projection != u"mercator" && projection != u"latlon") {
        error =
            QStringLiteral("--projection takes mercator or latlon (got \"%1\")").arg(projection);
        return false;
    }
    if (parser.isSet(QStringLiteral("edges"))) {
        GeoBox box;
        if (!ParseGeoBox(parser.value(QStringLiteral("edges")), box, error)) {
            error.replace(QStringLiteral("--bbox"), QStringLiteral("--edges"));
            return false;
        }
        status = 1;
        geo = CGeoReference::FromEdges(projection == u"latlon" ? CProjection::LatLon
                                                               : CProjection::WebMercator,
                                       size, box.west, box.south, box.east, box.north);
        if (!geo)
            error = QStringLiteral("the picture is too large to place on Earth");
        return geo.has_value();
    }
    status = 1;
    const QString world = WorldFileOf(picture);
    if (world.isEmpty())
        return true;
    QFile file(world);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the world file %1").arg(world);
        return false;
    }
    geo = ParseWorldFile(file.read(4096), size, error);
    if (!geo)
        error = world + QStringLiteral(": ") + error;
    return geo.has_value();
}

// Map.dat for a picture whose place on Earth is known: its edges in Web
// Mercator metres and the scale S that makes the distance read-out show
// metres at the middle latitude.
MapCalibration CalibrationOf(const CGeoReference& geo) {
    MapCalibration c;
    c.nWest = int(std::lround(MercatorX(geo.West())));
    c.nEast = int(std::lround(MercatorX(geo.East())));
    c.nNorth = int(std::lround(MercatorY(geo.North())));
    c.nSouth = int(std::lround(MercatorY(geo.South())));
    c.nScale = int(std::lround(geo.NominalMetresPerPixel() / READOUT_METRES_PER_SCALE_UNIT));
    return c;
}

int RunMake(const QCommandLineParser& parser) {
    PackageRequest request;
    QString folder;
    int status = 0;
    if (!ReadRequest(parser, "make", {"title", "picture"}, request, folder, status))
        return status;
    QString error;
    request.large = parser.isSet(QStringLiteral("large"));
    if (parser.isSet(QStringLiteral("calibration"))) {
        MapCalibration calibration;
        if (!ParseCalibration(parser.value(QStringLiteral("calibration")), calibration, error))
            return Fail(error, 2);
        request.calibration = calibration;
    }
    if (parser.isSet(QStringLiteral("places")) &&
        !ReadPlacesFile(parser.value(QStringLiteral("places")), request.places, error))
        return Fail(error);
    // A band of a large picture (tens of megabytes) goes back to the system
    // when it is freed, rather than staying in a worker's heap: a fixed
    // threshold stops the allocator from raising it after such a free.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    if (!OpenPicture(parser.value(QStringLiteral("picture")), request, error))
        return Fail(error);
    const QSize size = request.picture.isNull() ? request.pictureSize : request.picture.size();
    if (!ReadPictureGeoReference(parser, parser.value(QStringLiteral("picture")), size,
                                 request.geoReference, error, status))
        return Fail(error, status);
    if (request.geoReference && !request.calibration)
        request.calibration = CalibrationOf(*request.geoReference);
    CProgress progress;
    progress.Step(QStringLiteral("%1: %2 x %3 pixels, %4 tiles")
                      .arg(request.title)
                      .arg(size.width())
                      .arg(size.height())
                      .arg(TileCount(size)));
    if (!PackageMap(request, error,
                    [&](int done, int total) { progress.Tile(request.title, done, total); }))
        return Fail(error);
    progress.Step(QStringLiteral("Installed \"%1\" in %2 (device root %3)")
                      .arg(request.title, folder, DeviceRoot()));
    return 0;
}

int RunOsm(const QCommandLineParser& parser) {
    QElapsedTimer timer;
    timer.start();
    PackageRequest request;
    QString folder;
    int status = 0;
    if (!ReadRequest(parser, "osm", {"title", "input"}, request, folder, status))
        return status;
    QString error;
    OsmMapRequest osm;
    osm.levelLabels = false; // placed below, beside the drawing
    osm.input = parser.value(QStringLiteral("input"));
    if (parser.isSet(QStringLiteral("metres-per-pixel"))) {
        bool ok = false;
        osm.metresPerPixel = parser.value(QStringLiteral("metres-per-pixel")).toDouble(&ok);
        if (!ok)
            return Fail(QStringLiteral("--metres-per-pixel wants a number (got \"%1\")")
                            .arg(parser.value(QStringLiteral("metres-per-pixel"))),
                        2);
    }
    if (parser.isSet(QStringLiteral("bbox"))) {
        GeoBox box;
        if (!ParseGeoBox(parser.value(QStringLiteral("bbox")), box, error))
            return Fail(error, 2);
        osm.bbox = box;
    }
    osm.large = request.large = parser.isSet(QStringLiteral("large"));
    CProgress progress;
    OsmMap map;
    if (!ReadOsmMap(osm, map, error, [&](const QString& step, int percent) {
            if (percent >= 0)
                progress.Update(request.title, step, percent, 100);
            else
                progress.Step(QStringLiteral("%1: %2").arg(request.title, step));
        }))
        return Fail(error);
    // Reading leaves much freed memory between what it keeps; give it back
    // before the tiles take theirs.
    malloc_trim(0);
    if (map.Features() == 0)
        std::fprintf(stderr,
                     "veldra-pack: warning: %s holds nothing the map style draws (read: "
                     "nodes %zu, ways %zu, relations %zu; drawn roads, railways, waterways, "
                     "areas and symbols 0; names %zu): the map will be blank but for labels\n",
                     qPrintable(QFileInfo(osm.input).fileName()), map.nodes, map.ways,
                     map.relations, map.places.size());
    const QSize size(map.scene.width, map.scene.height);
    progress.Step(QStringLiteral("%1: %2 x %3 pixels, %4 tiles, about %5 on disk; %6 "
                                 "features, %7 labels, %8 names")
                      .arg(request.title)
                      .arg(size.width())
                      .arg(size.height())
                      .arg(TileCount(size))
                      .arg(DiskSize(EstimateTileBytes(map.scene)))
                      .arg(map.Features())
                      .arg(map.scene.labels.size())
                      .arg(map.places.size()));
    request.pictureSize = QSize(map.scene.width, map.scene.height);
    request.drawPart = [&](const QRect& part) { return RenderMapScenePart(map.scene, part); };
    // The levels' labels are placed while the map's own tiles are drawn (which
    // do not read them); the levels are drawn once they are in place.
    const std::shared_future<void> levelLabels =
        std::async(std::launch::async, [&] { PlaceLevelLabels(map.scene); }).share();
    request.drawLevelPart = [&](int level, const QRect& part) {
        std::shared_future<void>(levelLabels).wait();
        return RenderMapScenePart(map.scene, part, level);
    };
    request.calibration = map.calibration;
    request.geoReference = map.geo;
    request.places = std::move(map.places);
    if (!PackageMap(request, error,
                    [&](int done, int total) { progress.Tile(request.title, done, total); }))
        return Fail(error);
    progress.Step(QStringLiteral("Installed \"%1\" in %2 (device root %3) in %4 s")
                      .arg(request.title, folder, DeviceRoot())
                      .arg(timer.elapsed() / 1000.0, 0, 'f', 1));
    return 0;
}

int RunDemo(const QCommandLineParser& parser) {
    CProgress progress;
    QElapsedTimer timer;
    timer.start();
    QString error;
    const bool ok = InstallDemoMaps(
        parser.isSet(QStringLiteral("replace")), parser.value(QStringLiteral("keep-pictures")),
        error, [&](const QString& title, const QString& step, int done, int total) {
            if (step == QLatin1String("tile"))
                progress.Tile(title, done, total);
            else
                progress.Step(QStringLiteral("%1: %2").arg(title, step));
        });
    if (!ok)
        return Fail(error);
    progress.Step(QStringLiteral("Installed the demo maps Northcombe and Eastmoor in %1 "
                                 "(device root %2) in %3 s")
                      .arg(QString::fromLatin1(MAPS_FOLDER), DeviceRoot())
                      .arg(timer.elapsed() / 1000.0, 0, 'f', 1));
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    // Drawing needs fonts, not a window.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(ReportQtMessage);
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("veldra-pack"));

    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("make, demo or osm"));
    parser.addOption(
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show the help.")});
    parser.addOption(
        {QStringLiteral("root"), QStringLiteral("Device root."), QStringLiteral("DIR")});
    parser.addOption(
        {QStringLiteral("title"), QStringLiteral("Map title."), QStringLiteral("TITLE")});
    parser.addOption(
        {QStringLiteral("picture"), QStringLiteral("Map picture."), QStringLiteral("FILE")});
    parser.addOption(
        {QStringLiteral("places"), QStringLiteral("Places list."), QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("calibration"), QStringLiteral("Calibration."),
                      QStringLiteral("N,S,E,W,SCALE")});
    parser.addOption(
        {QStringLiteral("folder"), QStringLiteral("Map folder."), QStringLiteral("DEVICEPATH")});
    parser.addOption({QStringLiteral("keep-pictures"), QStringLiteral("Save the demo pictures."),
                      QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("replace"), QStringLiteral("Replace an installed map.")});
    parser.addOption({QStringLiteral("large"), QStringLiteral("Allow more than 10000 tiles.")});
    parser.addOption({QStringLiteral("input"), QStringLiteral("OpenStreetMap extract."),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("metres-per-pixel"), QStringLiteral("Ground size of a pixel."),
                      QStringLiteral("M")});
    parser.addOption(
        {QStringLiteral("bbox"), QStringLiteral("Area to draw."), QStringLiteral("W,S,E,N")});
    parser.addOption({QStringLiteral("edges"), QStringLiteral("The picture's edges in degrees."),
                      QStringLiteral("W,S,E,N")});
    parser.addOption({QStringLiteral("projection"), QStringLiteral("How the picture is drawn."),
                      QStringLiteral("mercator|latlon")});
    if (!parser.parse(QCoreApplication::arguments()))
        return Fail(parser.errorText() + QStringLiteral(" (see --help)"), 2);
    const QStringList args = parser.positionalArguments();
    if (parser.isSet(QStringLiteral("help")) ||
        (args.size() == 1 && args[0] == QLatin1String("help"))) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (args.size() != 1)
        return Fail(QStringLiteral("give one command, make, demo or osm (see --help)"), 2);

    // The device root: --root, else $VELDRA_ROOT, else the per-user folder.
    SetDeviceRoot(ChooseDeviceRoot(QCoreApplication::arguments()));
    if (args[0] == QLatin1String("make"))
        return RunMake(parser);
    if (args[0] == QLatin1String("demo"))
        return RunDemo(parser);
    if (args[0] == QLatin1String("osm"))
        return RunOsm(parser);
    return Fail(QStringLiteral("unknown command \"%1\" (see --help)").arg(args[0]), 2);
}
