#include "map_packager.h"

#include "map_levels.h"
#include "picture_bands.h"
#include "png_writer.h"
#include "tile_folder.h"

#include "gazetteer/index_search.h"
#include "gazetteer/index_writer.h"
#include "platform/device_root.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "store/tile_crypto.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QStringDecoder>
#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Characters that cannot stand in a file or folder name on the device (besides
// control characters).
const QString kForbiddenNameChars = QStringLiteral("/\\:*?\"<>|");

bool IsControl(QChar c) {
    const ushort u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u <= 0x9f);
}

// Why name cannot be one component of a path, or an empty string when it can.
QString NameProblem(const QString& name) {
    if (name.isEmpty())
        return QStringLiteral("is empty");
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("cannot be a folder name");
    if (name.front().isSpace() || name.back().isSpace())
        return QStringLiteral("begins or ends with a blank");
    if (name.back() == QLatin1Char('.'))
        return QStringLiteral("ends with '.'");
    for (QChar c : name) {
        if (IsControl(c))
            return QStringLiteral("contains a control character");
        if (kForbiddenNameChars.contains(c))
            return QStringLiteral("contains '%1', which cannot be in a folder name").arg(c);
    }
    return {};
}

// True when the entry under devicePath is a symbolic link.
bool IsLink(const QString& devicePath) {
    return QFileInfo(HostPath(devicePath)).isSymLink();
}

QByteArray WritePng(const QImage& image, int quality) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    writer.setQuality(quality); // 0: strongest compression, -1: the default
    if (!writer.write(image))
        return {};
    return bytes;
}

int ChannelOf(QRgb c, int channel) {
    return channel == 0 ? qRed(c) : channel == 1 ? qGreen(c) : qBlue(c);
}

// The parent device path of a device path ("\a\b" -> "\a").
QString DeviceParent(const QString& devicePath) {
    const int cut = devicePath.lastIndexOf(QLatin1Char('\\'));
    return cut <= 0 ? QString() : devicePath.left(cut);
}

QString DeviceLeaf(const QString& devicePath) {
    return devicePath.mid(devicePath.lastIndexOf(QLatin1Char('\\')) + 1);
}

} // namespace

// Writes a new file in a folder the tool made (never through a link); the
// staging folder is flushed to disk as a whole before it is moved into place.
bool WriteNewFile(const QString& devicePath, const QByteArray& bytes, QString& error) {
    CFileHandle file = CreateFileAlways(devicePath);
    if (!file.IsValid() || !file.Write(bytes.constData(), bytes.size())) {
        error = QStringLiteral("cannot write %1").arg(HostPath(devicePath));
        return false;
    }
    return true;
}

bool CheckMapTitle(const QString& title, QString& error) {
    const QString problem = NameProblem(title);
    if (!problem.isEmpty()) {
        error = QStringLiteral("the map title \"%1\" %2").arg(title, problem);
        return false;
    }
    if (title.size() > MAX_TITLE_CHARS) {
        error = QStringLiteral("the map title is longer than %1 characters").arg(MAX_TITLE_CHARS);
        return false;
    }
    // Tile file names are cut at their first '.' to find the tile name, so the
    // prefix must not hold one.
    if (TilePrefix(title).contains(QLatin1Char('.'))) {
        error = QStringLiteral("the map title \"%1\" has '.' among its first three characters, "
                               "which name the tile files")
                    .arg(title);
        return false;
    }
    return true;
}

bool ResolveMapFolder(const QString& title, const QString& folder, QString& devicePath,
                      QString& error) {
    QString path =
        folder.isEmpty() ? QString::fromLatin1(MAPS_FOLDER) + QLatin1Char('\\') + title : folder;
    path.replace(QLatin1Char('/'), QLatin1Char('\\'));
    const QStringList parts = path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    if (parts.isEmpty()) {
        error = QStringLiteral("the map folder \"%1\" names no folder").arg(folder);
        return false;
    }
    for (const QString& part : parts) {
        const QString problem = NameProblem(part);
        if (!problem.isEmpty()) {
            error = QStringLiteral("the map folder \"%1\": \"%2\" %3").arg(path, part, problem);
            return false;
        }
    }
    devicePath = QLatin1Char('\\') + parts.join(QLatin1Char('\\'));
    // The folders the viewer itself keeps cannot hold a map, nor can their parents.
    for (const char* reserved : {MAPS_FOLDER, "\\Veldra\\My Places", "\\Veldra\\HTML"}) {
        const QString r = QString::fromLatin1(reserved);
        if (r.compare(devicePath, Qt::CaseInsensitive) == 0 ||
            r.startsWith(devicePath + QLatin1Char('\\'), Qt::CaseInsensitive) ||
            (r != QLatin1String(MAPS_FOLDER) &&
             devicePath.startsWith(r + QLatin1Char('\\'), Qt::CaseInsensitive))) {
            error = QStringLiteral("the map folder %1 is one the viewer keeps for itself")
                        .arg(devicePath);
            return false;
        }
    }
    if (devicePath.size() > MAX_INSTALL_DIR_CHARS) {
        error = QStringLiteral("the map folder %1 is %2 characters long; the viewer reads at "
                               "most %3 (choose a shorter title or --folder)")
                    .arg(devicePath)
                    .arg(devicePath.size())
                    .arg(MAX_INSTALL_DIR_CHARS);
        return false;
    }
    return true;
}

bool BuildIndexFiles(const std::vector<PlaceRecord>& places, const QSize& mapSize,
                     std::vector<std::pair<QString, QByteArray>>& files, QString& error) {
    files.clear();
    for (const PlaceRecord& place : places) {
        const QString where =
            place.line > 0 ? QStringLiteral("line %1: ").arg(place.line) : QString();
        const QString problem = NameProblem(place.category);
        if (!problem.isEmpty()) {
            error = QStringLiteral("%1the category \"%2\" %3").arg(where, place.category, problem);
            return false;
        }
        auto it = std::find_if(files.begin(), files.end(), [&](const auto& file) {
            return file.first.compare(place.category, Qt::CaseInsensitive) == 0;
        });
        if (it != files.end() && it->first != place.category) {
            error = QStringLiteral("%1the categories \"%2\" and \"%3\" differ only in letter case "
                                   "and would share one file")
                        .arg(where, it->first, place.category);
            return false;
        }
        QByteArray record;
        QString recordError;
        if (!EncodeIndexRecord({place.name, place.extra1, place.extra2, place.x, place.y}, mapSize,
                               record, recordError)) {
            error = where + recordError;
            return false;
        }
        if (it == files.end()) {
            files.emplace_back(place.category, QByteArray());
            it = files.end() - 1;
        }
        it->second += record;
    }
    return true;
}

bool ReadPlacesFile(const QString& hostPath, std::vector<PlaceRecord>& places, QString& error) {
    places.clear();
    QFile file(hostPath);
    if (!file.open(QIODevice::ReadOnly)) {
        error =
            QStringLiteral("cannot read the places file %1: %2").arg(hostPath, file.errorString());
        return false;
    }
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder(file.readAll());
    if (decoder.hasError()) {
        error = QStringLiteral("the places file %1 is not UTF-8 text").arg(hostPath);
        return false;
    }
    if (text.startsWith(QChar(0xfeff)))
        text.remove(0, 1);
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() != 6) {
            error = QStringLiteral("%1 line %2: expected 6 tab-separated fields (category, name, "
                                   "extra1, extra2, x, y), found %3")
                        .arg(hostPath)
                        .arg(i + 1)
                        .arg(fields.size());
            return false;
        }
        PlaceRecord place;
        place.category = fields[0].trimmed();
        place.name = fields[1].trimmed();
        place.extra1 = fields[2].trimmed();
        place.extra2 = fields[3].trimmed();
        bool okX = false, okY = false;
        place.x = fields[4].trimmed().toInt(&okX);
        place.y = fields[5].trimmed().toInt(&okY);
        if (!okX || !okY) {
            error = QStringLiteral("%1 line %2: x and y must be whole numbers")
                        .arg(hostPath)
                        .arg(i + 1);
            return false;
        }
        place.line = i + 1;
        places.push_back(place);
    }
    return true;
}

bool ParseCalibration(const QString& text, MapCalibration& calibration, QString& error) {
    const QStringList parts = text.split(QLatin1Char(','));
    int32_t values[5] = {};
    bool ok = parts.size() == 5;
    for (int i = 0; ok && i < 5; ++i)
        values[i] = parts[i].trimmed().toInt(&ok);
    if (!ok) {
        error = QStringLiteral("the calibration \"%1\" is not five whole numbers "
                               "NORTH,SOUTH,EAST,WEST,SCALE")
                    .arg(text);
        return false;
    }
    calibration = MapCalibration{values[0], values[1], values[2], values[3], values[4]};
    return true;
}

int64_t TileCount(const QSize& size) {
    return int64_t((size.width() + TILE_SIZE - 1) / TILE_SIZE) *
           ((size.height() + TILE_SIZE - 1) / TILE_SIZE);
}

bool CheckTileCount(const QSize& size, bool large, QString& error) {
    const int64_t tiles = TileCount(size);
    if (tiles <= MAX_MAP_TILES || large)
        return true;
    error = QStringLiteral("the map would be %1 x %2 pixels, %3 tiles, more than the %4 a map "
                           "may have without --large")
                .arg(size.width())
                .arg(size.height())
                .arg(tiles)
                .arg(MAX_MAP_TILES);
    return false;
}

bool CheckInputFile(const QString& hostPath, const QString& what, QString& error) {
    struct stat st {};
    const QByteArray path = QFile::encodeName(hostPath);
    QString problem;
    if (::stat(path.constData(), &st) != 0)
        problem = errno == ENOENT || errno == ENOTDIR ? QStringLiteral("no such file")
                                                      : QString::fromLocal8Bit(strerror(errno));
    else if (S_ISDIR(st.st_mode))
        problem = QStringLiteral("it is a folder, not a file");
    else if (!S_ISREG(st.st_mode))
        problem = QStringLiteral("it is not a regular file (a device, pipe or socket)");
    else if (::access(path.constData(), R_OK) != 0)
        problem = QStringLiteral("permission denied");
    if (problem.isEmpty())
        return true;
    error = QStringLiteral("cannot read %1 %2: %3").arg(what, hostPath, problem);
    return false;
}

bool LoadPicture(const QString& hostPath, QImage& picture, QString& error) {
    if (!CheckInputFile(hostPath, QStringLiteral("the picture"), error))
        return false;
    // A map picture may be far larger than an ordinary image; lift the
    // reader's default memory limit for it.
    const int limit = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(0);
    QImageReader reader(hostPath);
    reader.setAutoTransform(true); // a photo's orientation mark is honoured
    const bool ok = reader.read(&picture);
    QImageReader::setAllocationLimit(limit);
    if (!ok || picture.isNull()) {
        error =
            QStringLiteral("cannot read the picture %1: %2").arg(hostPath, reader.errorString());
        return false;
    }
    return true;
}

QImage OpaqueOnWhite(const QImage& picture) {
    if (picture.format() == QImage::Format_RGB32 || picture.isNull())
        return picture;
    if (!picture.hasAlphaChannel())
        return picture.convertToFormat(QImage::Format_RGB32);
    QImage opaque(picture.size(), QImage::Format_RGB32);
    opaque.fill(Qt::white);
    QPainter painter(&opaque);
    painter.drawImage(QPoint(0, 0), picture.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    return opaque;
}

QImage CutTile(const QImage& picture, int row, int col) {
    QImage tile(TILE_SIZE, TILE_SIZE, QImage::Format_RGB32);
    tile.fill(Qt::white);
    const QRect source =
        QRect(TILE_SIZE * (col - 1), TILE_SIZE * (row - 1), TILE_SIZE, TILE_SIZE) & picture.rect();
    if (source.isEmpty())
        return tile;
    const QImage part =
        OpaqueOnWhite(picture.format() == QImage::Format_RGB32 ? picture : picture.copy(source));
    const QPoint from = picture.format() == QImage::Format_RGB32 ? source.topLeft() : QPoint();
    for (int y = 0; y < source.height(); ++y)
        std::memcpy(tile.scanLine(y), part.constScanLine(from.y() + y) + 4 * from.x(),
                    static_cast<size_t>(4 * source.width()));
    return tile;
}

namespace {

// Colours are counted at the display's precision (5, 6 and 5 bits): finer
// differences do not survive on the display anyway, and far fewer colours
// make the palette search quick. Each colour stands for the middle of its cell.
uint16_t CellOf(QRgb c) {
    return static_cast<uint16_t>(((qRed(c) >> 3) << 11) | ((qGreen(c) >> 2) << 5) |
                                 (qBlue(c) >> 3));
}
QRgb ColourOfCell(uint16_t cell) {
    return qRgb(((cell >> 11) << 3) | 4, (((cell >> 5) & 63) << 2) | 2, ((cell & 31) << 3) | 4);
}

// A colour cell in use and its number of pixels.
struct Entry {
    QRgb colour;
    int count;
};

// The colour cells of a picture in use, in cell order.
std::vector<Entry> CountColourCells(const QImage& rgb) {
    std::vector<int> histogram(65536, 0);
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x)
            ++histogram[CellOf(line[x])];
    }
    std::vector<Entry> entries;
    for (int cell = 0; cell < 65536; ++cell)
        if (histogram[static_cast<size_t>(cell)] > 0)
            entries.push_back(
                {ColourOfCell(static_cast<uint16_t>(cell)), histogram[static_cast<size_t>(cell)]});
    return entries;
}

// The exact colours of a picture, sorted, when it has at most 256.
bool ExactColours(const QImage& rgb, std::vector<QRgb>& exact) {
    bool fewColours = true;
    for (int y = 0; y < rgb.height() && fewColours; ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width() && fewColours; ++x) {
            const QRgb c = line[x] | 0xff000000u;
            if (std::find(exact.begin(), exact.end(), c) == exact.end()) {
                exact.push_back(c);
                fewColours = exact.size() <= 256;
            }
        }
    }
    std::sort(exact.begin(), exact.end());
    return fewColours;
}

// A palette of at most 256 colours for the colour cells in use (reordered).
std::vector<QRgb> MedianCutPalette(std::vector<Entry>& entries) {
    std::vector<QRgb> palette;
    // Median cut: split the box whose widest channel spans most (weighted
    // by its pixel count) at its weighted median, until there are 256.
    struct Box {
        size_t begin, end;
        long long pixels;
        int channel, range;
    };
    auto describe = [&](size_t begin, size_t end) {
        Box box{begin, end, 0, 0, 0};
        int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
        for (size_t i = begin; i < end; ++i) {
            box.pixels += entries[i].count;
            for (int c = 0; c < 3; ++c) {
                lo[c] = std::min(lo[c], ChannelOf(entries[i].colour, c));
                hi[c] = std::max(hi[c], ChannelOf(entries[i].colour, c));
            }
        }
        for (int c = 0; c < 3; ++c) {
            if (hi[c] - lo[c] > box.range) {
                box.range = hi[c] - lo[c];
                box.channel = c;
            }
        }
        return box;
    };
    std::vector<Box> boxes{describe(0, entries.size())};
    while (boxes.size() < 256) {
        size_t pick = boxes.size();
        double best = 0;
        for (size_t i = 0; i < boxes.size(); ++i) {
            const double score = boxes[i].end - boxes[i].begin < 2
                                     ? 0
                                     : double(boxes[i].range) * std::sqrt(double(boxes[i].pixels));
            if (score > best) {
                best = score;
                pick = i;
            }
        }
        if (pick == boxes.size())
            break;
        const Box box = boxes[pick];
        const int channel = box.channel;
        std::sort(entries.begin() + static_cast<long>(box.begin),
                  entries.begin() + static_cast<long>(box.end),
                  [channel](const Entry& a, const Entry& b) {
                      const int ca = ChannelOf(a.colour, channel),
                                cb = ChannelOf(b.colour, channel);
                      return ca != cb ? ca < cb : a.colour < b.colour;
                  });
        long long seen = 0;
        size_t split = box.begin + 1;
        for (size_t i = box.begin; i + 1 < box.end; ++i) {
            seen += entries[i].count;
            split = i + 1;
            if (2 * seen >= box.pixels)
                break;
        }
        boxes[pick] = describe(box.begin, split);
        boxes.push_back(describe(split, box.end));
    }
    for (const Box& box : boxes) {
        double sum[3] = {0, 0, 0};
        for (size_t i = box.begin; i < box.end; ++i)
            for (int c = 0; c < 3; ++c)
                sum[c] += double(ChannelOf(entries[i].colour, c)) * entries[i].count;
        const double n = double(box.pixels);
        palette.push_back(
            qRgb(int(sum[0] / n + 0.5), int(sum[1] / n + 0.5), int(sum[2] / n + 0.5)));
    }
    return palette;
}

// The picture with each pixel replaced by its palette index: the exact
// colour's where the palette holds every colour, else its cell's nearest.
QImage IndexedImage(const QImage& rgb, const std::vector<QRgb>& palette, bool fewColours,
                    const std::vector<Entry>& entries) {
    QImage indexed(rgb.size(), QImage::Format_Indexed8);
    indexed.setColorTable(QList<QRgb>(palette.begin(), palette.end()));
    if (fewColours) {
        for (int y = 0; y < rgb.height(); ++y) {
            const QRgb* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
            uchar* out = indexed.scanLine(y);
            for (int x = 0; x < rgb.width(); ++x)
                out[x] = static_cast<uchar>(
                    std::lower_bound(palette.begin(), palette.end(), line[x] | 0xff000000u) -
                    palette.begin());
        }
        return indexed;
    }
    // The nearest palette entry of every colour cell in use.
    std::vector<uint8_t> nearest(65536, 0);
    for (const Entry& e : entries) {
        int best = 0;
        int bestDistance = -1;
        for (size_t i = 0; i < palette.size(); ++i) {
            const int dr = qRed(e.colour) - qRed(palette[i]);
            const int dg = qGreen(e.colour) - qGreen(palette[i]);
            const int db = qBlue(e.colour) - qBlue(palette[i]);
            const int distance = dr * dr + dg * dg + db * db;
            if (bestDistance < 0 || distance < bestDistance) {
                bestDistance = distance;
                best = static_cast<int>(i);
            }
        }
        nearest[CellOf(e.colour)] = static_cast<uint8_t>(best);
    }
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        uchar* out = indexed.scanLine(y);
        for (int x = 0; x < rgb.width(); ++x)
            out[x] = nearest[CellOf(line[x])];
    }
    return indexed;
}

} // namespace

QImage ToPaletteImage(const QImage& image) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    std::vector<Entry> entries = CountColourCells(rgb);
    std::vector<QRgb> exact; // the exact colours while there are at most 256
    const bool fewColours = ExactColours(rgb, exact);
    const std::vector<QRgb> palette = fewColours ? exact : MedianCutPalette(entries);
    return IndexedImage(rgb, palette, fewColours, entries);
}

bool EncodeTileImage(const QImage& tile, QByteArray& image, QString& error) {
    // Unfiltered rows at a middle level suit drawn maps, and take a fraction
    // of the time of the adaptive filter; a tile that does not fit that way
    // (a photograph, say) gets the adaptive filter and a stronger level,
    // whose compressor (about a megabyte) is made when first needed.
    thread_local CPngWriter fast(6);
    thread_local std::unique_ptr<CPngWriter> strong;
    const QImage rgb = tile.convertToFormat(QImage::Format_RGB32);
    QByteArray png = fast.Write(rgb, CPngWriter::Filter::None);
    if (png.isEmpty()) {
        error = QStringLiteral("the tile could not be encoded as PNG");
        return false;
    }
    if (png.size() > MAX_TILE_IMAGE_BYTES) {
        if (!strong)
            strong = std::make_unique<CPngWriter>(9);
        png = strong->Write(rgb, CPngWriter::Filter::Adaptive);
    }
    const qsizetype straight = png.size();
    if (png.size() > MAX_TILE_IMAGE_BYTES)
        png = WritePng(ToPaletteImage(rgb), 0);
    if (png.isEmpty() || png.size() > MAX_TILE_IMAGE_BYTES) {
        error = QStringLiteral("the tile does not fit in %1 bytes, neither as PNG (%2 bytes) nor "
                               "as 8-bit palette PNG (%3 bytes)")
                    .arg(MAX_TILE_IMAGE_BYTES)
                    .arg(straight)
                    .arg(png.size());
        return false;
    }
    image = png;
    return true;
}

bool EnsureTemplateTile(QString& error) {
    const QString maps = QString::fromLatin1(MAPS_FOLDER);
    const QString devicePath = JoinDevicePath(maps, QStringLiteral("tpl.map"));
    if (FileExists(devicePath))
        return true;
    if (!CreateFolderPath(maps)) {
        error = QStringLiteral("cannot create the folder %1 (or a folder on its way is a "
                               "symbolic link)")
                    .arg(HostPath(maps));
        return false;
    }
    QImage white(TILE_SIZE, TILE_SIZE, QImage::Format_RGB32);
    white.fill(Qt::white);
    QByteArray image;
    if (!EncodeTileImage(white, image, error))
        return false;
    // Written whole under another name and renamed, so that a template is
    // either complete or absent.
    if (!ReplaceFileAtomically(devicePath, {EncryptTileImage(image)})) {
        error = QStringLiteral("cannot write the template tile %1").arg(HostPath(devicePath));
        return false;
    }
    return true;
}

namespace {

// Where PackageMap puts a map: its folder, the staging folder it is built in
// beside it, the name an old map is moved to while it is replaced, and its key.
struct CInstallPlace {
    QString folder, staging, previous, key;
};

// Everything about a request that can be checked without touching the disk:
// the title, the folder, the picture's size and the index files.
bool CheckRequest(const PackageRequest& request, CInstallPlace& place, QSize& size,
                  std::vector<std::pair<QString, QByteArray>>& indexFiles, QString& error) {
    if (!CheckMapTitle(request.title, error) ||
        !ResolveMapFolder(request.title, request.folder, place.folder, error))
        return false;
    const bool drawn = request.picture.isNull() && (request.drawPart || request.readRows);
    size = drawn ? request.pictureSize : request.picture.size();
    if (size.width() < 1 || size.height() < 1) {
        error = QStringLiteral("the picture is empty");
        return false;
    }
    if (!CheckTileCount(size, request.large, error))
        return false;
    if (request.geoReference && request.geoReference->PictureSize() != size) {
        error = QStringLiteral("the geo-reference is for a picture of another size");
        return false;
    }
    const QString parent = DeviceParent(place.folder), leaf = DeviceLeaf(place.folder);
    place.staging = parent + QStringLiteral("\\.") + leaf + QStringLiteral(".partial");
    place.previous = parent + QStringLiteral("\\.") + leaf + QStringLiteral(".previous");
    place.key = MapKey(request.title);
    return BuildIndexFiles(request.places, size, indexFiles, error);
}

// Makes the folders on the way without following a link, refuses links and
// files under the names the tool needs and a map in the way that is not to be
// replaced, removes what an interrupted run left and makes the empty staging
// folder.
bool PrepareStaging(const PackageRequest& request, const CInstallPlace& place, QString& error) {
    const QString root = DeviceRoot();
    if (!QDir().mkpath(root) || !QFileInfo(root).isDir()) {
        error = QStringLiteral("cannot create the device root %1").arg(root);
        return false;
    }
    // Every name the tool writes or removes is checked: a link there was
    // planted by someone else and is never followed, replaced or removed.
    const QString parent = DeviceParent(place.folder);
    if (!CreateFolderPath(parent)) {
        error = QStringLiteral("cannot create the folder %1 (or a folder on its way is a "
                               "symbolic link)")
                    .arg(HostPath(parent));
        return false;
    }
    for (const QString& name : {place.folder, place.staging, place.previous}) {
        if (IsLink(name)) {
            error = QStringLiteral("%1 is a symbolic link; refusing to follow or remove it")
                        .arg(HostPath(name));
            return false;
        }
    }
    const QString hostTarget = HostPath(place.folder);
    if (QFileInfo::exists(hostTarget) && !QFileInfo(hostTarget).isDir()) {
        error = QStringLiteral("%1 is a file, not a map folder").arg(hostTarget);
        return false;
    }
    if (QFileInfo::exists(hostTarget) && !request.replace) {
        error = QStringLiteral("%1 exists already; give --replace to replace it").arg(hostTarget);
        return false;
    }
    if (const auto installed = RegQueryString(place.key, QString::fromLatin1(INSTALL_DIR_VALUE));
        installed && !request.replace &&
        installed->compare(place.folder, Qt::CaseInsensitive) != 0 && DirectoryExists(*installed)) {
        error = QStringLiteral("a map titled \"%1\" is installed in %2 already; give --replace "
                               "to register this one instead")
                    .arg(request.title, *installed);
        return false;
    }
    // What an interrupted run left: a half-made folder, or an old map that
    // was swapped out but not yet removed.
    for (const QString& leftover : {place.staging, place.previous}) {
        if (QFileInfo::exists(HostPath(leftover)) && !DeleteTree(leftover)) {
            error = QStringLiteral("cannot remove %1, left by an interrupted run")
                        .arg(HostPath(leftover));
            return false;
        }
    }
    if (!CreateDirectoryAt(place.staging)) {
        error = QStringLiteral("cannot create the folder %1").arg(HostPath(place.staging));
        return false;
    }
    return true;
}

// The tiles of a picture drawn part by part, into the staging folder, on
// request.workers threads (one per core by default). A worker takes the next
// part of a row of tiles (at most 8 tiles), draws it (so memory holds one
// such part per worker), and cuts, encodes, encrypts and writes its tiles. Each file depends only on its
// own tile, so the map is the same byte for byte whatever the number of
// workers; progress is reported on the calling thread. On failure the error
// of the first failing tile in row order among those tried is given.
bool WriteDrawnTiles(const PackageRequest& request, const QSize& size, const QString& staging,
                     const PackageProgress& progress, QString& error) {
    const int cols = (size.width() + TILE_SIZE - 1) / TILE_SIZE;
    const int rows = (size.height() + TILE_SIZE - 1) / TILE_SIZE;
    const int total = rows * cols;
    const QString prefix = TilePrefix(request.title);
    CTileFolder folder;
    if (!folder.Open(staging)) {
        error = QStringLiteral("cannot open the folder %1").arg(HostPath(staging));
        return false;
    }
    // A job draws part of a row of tiles, at most kChunkTiles wide: a worker
    // holds that part's pixels only, and the parts share out evenly.
    constexpr int kChunkTiles = 8;
    const int chunks = (cols + kChunkTiles - 1) / kChunkTiles;
    const int jobs = rows * chunks;
    const int workers = std::clamp(
        request.workers > 0 ? request.workers : QThread::idealThreadCount(), 1, std::max(1, jobs));

    std::mutex mutex;
    std::condition_variable changed;
    int nextJob = 0, tilesDone = 0, running = workers;
    int failedTile = total; // the first failing tile in row order, total for none
    QString failure;

    // Encodes, encrypts and writes tile (row, col), both from 1, cut from image
    // whose top-left is that of tile (row, firstCol).
    auto makeTile = [&](const QImage& image, int firstCol, int row, int col, QString& tileError) {
        QByteArray png;
        if (!EncodeTileImage(CutTile(image, 1, col - firstCol + 1), png, tileError))
            return false;
        const QString name = TileName(prefix, row, col) + QStringLiteral(".map");
        if (!folder.Write(QFile::encodeName(name), EncryptTileImage(png))) {
            tileError =
                QStringLiteral("cannot write %1").arg(HostPath(JoinDevicePath(staging, name)));
            return false;
        }
        return true;
    };
    auto work = [&]() {
        for (;;) {
            int job;
            {
                std::lock_guard lock(mutex);
                if (nextJob >= jobs || failedTile < total)
                    break;
                job = nextJob++;
            }
            const int row = job / chunks + 1, firstCol = job % chunks * kChunkTiles + 1;
            const int lastCol = std::min(cols, firstCol + kChunkTiles - 1);
            QString tileError;
            int failedAt = -1;
            const int left = (firstCol - 1) * TILE_SIZE, top = (row - 1) * TILE_SIZE;
            const QRect part(left, top, std::min(lastCol * TILE_SIZE, size.width()) - left,
                             std::min(TILE_SIZE, size.height() - top));
            const QImage strip = OpaqueOnWhite(request.drawPart(part));
            if (strip.size() != part.size()) {
                tileError = QStringLiteral("cannot draw row %1 of the picture").arg(row);
                failedAt = firstCol;
            }
            for (int col = firstCol; col <= lastCol && failedAt < 0; ++col) {
                if (!makeTile(strip, firstCol, row, col, tileError)) {
                    failedAt = col;
                    tileError = QStringLiteral("tile %1_%2: %3").arg(row).arg(col).arg(tileError);
                    break;
                }
                std::lock_guard lock(mutex);
                ++tilesDone;
                changed.notify_all();
            }
            if (failedAt >= 0) {
                std::lock_guard lock(mutex);
                const int tile = (row - 1) * cols + failedAt - 1;
                if (tile < failedTile) {
                    failedTile = tile;
                    failure = tileError;
                }
                changed.notify_all();
            }
        }
        std::lock_guard lock(mutex);
        --running;
        changed.notify_all();
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < workers; ++i)
        threads.emplace_back(work);
    int reported = 0;
    for (;;) {
        int done, left;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return tilesDone > reported || running == 0; });
            done = tilesDone;
            left = running;
        }
        while (progress && reported < done)
            progress(++reported, total);
        reported = done;
        if (left == 0)
            break;
    }
    for (std::thread& thread : threads)
        thread.join();
    if (failedTile < total) {
        error = failure;
        return false;
    }
    return true;
}

// Flushes what was written into the staging folder to disk, so that a map
// moved into place is complete on disk whatever happens next.
bool FlushStaging(const QString& staging, QString& error) {
    CTileFolder folder;
    if (!folder.Open(staging) || !folder.FlushFileSystem()) {
        error = QStringLiteral("cannot flush the folder %1 to disk").arg(HostPath(staging));
        return false;
    }
    return true;
}

// Map.dat and the index files into the staging folder, and the shared template.
bool WriteMapFiles(const PackageRequest& request,
                   const std::vector<std::pair<QString, QByteArray>>& indexFiles,
                   const QString& staging, QString& error) {
    if (request.calibration && !WriteNewFile(JoinDevicePath(staging, QStringLiteral("Map.dat")),
                                             MakeMapDat(*request.calibration), error))
        return false;
    if (request.geoReference &&
        !WriteNewFile(JoinDevicePath(staging, QString::fromLatin1(GEO_REFERENCE_FILE)),
                      GeoReferenceText(*request.geoReference), error))
        return false;
    for (const auto& [category, bytes] : indexFiles) {
        if (!WriteNewFile(JoinDevicePath(staging, category + QStringLiteral(".idx")), bytes, error))
            return false;
        std::vector<QString> spellings;
        for (const PlaceRecord& place : request.places)
            if (place.category == category)
                spellings.push_back(place.spelling);
        if (!WriteIndexSideFiles(staging, category, spellings, error))
            return false;
    }
    return EnsureTemplateTile(error);
}

// Into place. A new map is renamed into place and then registered. An
// installed one is swapped with the new folder in one step, so that its
// folder always holds a complete map, old or new; the key, which names the
// folder, is then written, and the old map (now under the staging name)
// removed. A kill at any point leaves the old map or the new one installed
// and registered; the next run removes what is left over.
bool MoveIntoPlace(const PackageRequest& request, const CInstallPlace& place, QString& error) {
    auto stepDone = [&](const char* step) {
        if (request.afterStep)
            request.afterStep(step);
    };
    const QString hostTarget = HostPath(place.folder);
    const QString installDir = QString::fromLatin1(INSTALL_DIR_VALUE);
    const QString registryError =
        QStringLiteral("cannot write the registry key %1 in %2").arg(place.key, DeviceRoot());
    if (DirectoryExists(place.folder)) {
        if (!ExchangeEntries(place.staging, place.folder)) {
            error = QStringLiteral("cannot swap the new map folder into %1").arg(hostTarget);
            DeleteTree(place.staging);
            return false;
        }
        stepDone("swapped");
        if (!RegSetString(place.key, installDir, place.folder)) {
            error = registryError;
            ExchangeEntries(place.staging, place.folder); // the old map back in place
            DeleteTree(place.staging);
            return false;
        }
        stepDone("registered");
        DeleteTree(place.staging);
        return true;
    }
    if (!RenameFileAt(place.staging, place.folder)) {
        error = QStringLiteral("cannot move the new map folder into %1").arg(hostTarget);
        DeleteTree(place.staging);
        return false;
    }
    stepDone("moved");
    if (!RegSetString(place.key, installDir, place.folder)) {
        error = registryError;
        DeleteTree(place.folder);
        return false;
    }
    stepDone("registered");
    return true;
}

} // namespace

bool PackageMap(const PackageRequest& request, QString& error, const PackageProgress& progress) {
    CInstallPlace place;
    QSize size;
    std::vector<std::pair<QString, QByteArray>> indexFiles;
    if (!CheckRequest(request, place, size, indexFiles, error) ||
        !PrepareStaging(request, place, error))
        return false;
    // One count runs over the map's tiles and then its levels' tiles.
    const int levelTiles = CountLevelTiles(request, size);
    const PackageProgress tileProgress = [&](int done, int total) {
        if (progress)
            progress(done, total + levelTiles);
    };
    const bool drawn = request.picture.isNull() && request.drawPart;
    if (!(drawn ? WriteDrawnTiles(request, size, place.staging, tileProgress, error)
                : WritePictureBands(request, size, place.staging, progress, error)) ||
        !WriteLevels(request, size, place.staging, progress, error) ||
        !WriteMapFiles(request, indexFiles, place.staging, error) ||
        !FlushStaging(place.staging, error)) {
        DeleteTree(place.staging);
        return false;
    }
    return MoveIntoPlace(request, place, error);
}
