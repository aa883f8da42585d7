#include "picture_bands.h"

#include "png_band_reader.h"
#include "tile_folder.h"

#include "platform/device_root.h"
#include "platform/file_system.h"
#include "platform/image_codec.h"
#include "store/map_folder.h"
#include "store/tile_cache.h"
#include "store/tile_crypto.h"

#include <QFile>
#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

bool OpenPicture(const QString& hostPath, PackageRequest& request, QString& error) {
    if (!CheckInputFile(hostPath, QStringLiteral("the picture"), error))
        return false;
    auto file = std::make_shared<QFile>(hostPath);
    if (!file->open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the picture %1: %2").arg(hostPath, file->errorString());
        return false;
    }
    auto reader = std::make_shared<CPngBandReader>();
    QString problem;
    switch (reader->Open(file.get(), problem)) {
    case CPngBandReader::Opened::Failed:
        error = QStringLiteral("cannot read the picture %1: %2").arg(hostPath, problem);
        return false;
    case CPngBandReader::Opened::Other:
        file.reset();
        return LoadPicture(hostPath, request.picture, error);
    case CPngBandReader::Opened::Banded:
        break;
    }
    request.picture = QImage();
    request.pictureSize = reader->Size();
    request.readRows = [file, reader, hostPath](int rows, QImage& band, QString& rowError) {
        QString problem;
        if (reader->ReadRows(rows, band, problem))
            return true;
        rowError = QStringLiteral("cannot read the picture %1: %2").arg(hostPath, problem);
        return false;
    };
    return true;
}

namespace {

// ShrinkByAverage for a factor known when compiling. The rows of a cell are
// first added column by column (a loop the compiler turns into vector
// instructions), then the columns of each cell; a whole cell's divisor is a
// constant.
template <int Factor> void ShrinkBy(const QImage& image, uchar* level, qsizetype bytesPerLine) {
    const int width = image.width(), height = image.height(), samples = 3 * width;
    const int whole = width / Factor, levelWidth = (width + Factor - 1) / Factor;
    std::vector<uint16_t> columns(static_cast<size_t>(samples));
    for (int y0 = 0; y0 < height; y0 += Factor, level += bytesPerLine) {
        const int rows = std::min(Factor, height - y0);
        std::fill(columns.begin(), columns.end(), uint16_t(0));
        for (int y = y0; y < y0 + rows; ++y) {
            const uchar* __restrict row = image.constScanLine(y);
            uint16_t* __restrict sum = columns.data();
            int i = 0;
#ifdef __SSE2__
            // Sixteen samples a step, widened to 16 bits and added.
            const __m128i zero = _mm_setzero_si128();
            for (; i + 16 <= samples; i += 16) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
                auto* low = reinterpret_cast<__m128i*>(sum + i);
                auto* high = reinterpret_cast<__m128i*>(sum + i + 8);
                _mm_storeu_si128(
                    low, _mm_add_epi16(_mm_loadu_si128(low), _mm_unpacklo_epi8(bytes, zero)));
                _mm_storeu_si128(
                    high, _mm_add_epi16(_mm_loadu_si128(high), _mm_unpackhi_epi8(bytes, zero)));
            }
#endif
            for (; i < samples; ++i)
                sum[i] = uint16_t(sum[i] + row[i]);
        }
        const uint16_t* column = columns.data();
        uchar* out = level;
        if (rows == Factor) {
            constexpr uint32_t n = Factor * Factor;
            for (int x = 0; x < whole; ++x, column += 3 * Factor, out += 3)
                for (int c = 0; c < 3; ++c) {
                    uint32_t sum = 0;
                    for (int i = 0; i < Factor; ++i)
                        sum += column[3 * i + c];
                    out[c] = uchar((sum + n / 2) / n);
                }
        }
        // The cells the image's edge cuts (and every cell of a short last
        // row of cells): the mean of what they cover.
        for (int x = rows == Factor ? whole : 0; x < levelWidth; ++x) {
            const int cellWidth = std::min(Factor, width - x * Factor);
            const uint32_t n = uint32_t(rows * cellWidth);
            const uint16_t* cell = columns.data() + size_t(3 * Factor) * size_t(x);
            for (int c = 0; c < 3; ++c) {
                uint32_t sum = 0;
                for (int i = 0; i < cellWidth; ++i)
                    sum += cell[3 * i + c];
                level[3 * x + c] = uchar((sum + n / 2) / n);
            }
        }
    }
}

} // namespace

void ShrinkByAverage(const QImage& image, int factor, uchar* level, qsizetype bytesPerLine) {
    switch (factor) {
    case 2:
        return ShrinkBy<2>(image, level, bytesPerLine);
    case 4:
        return ShrinkBy<4>(image, level, bytesPerLine);
    default: // no level uses another factor
        for (int y = 0; y * factor < image.height(); ++y)
            std::memset(level + y * bytesPerLine, 0xff, size_t(3) * size_t(image.width() / factor));
    }
}

namespace {

// Bytes of bands kept in memory at once (at least two bands: one being cut,
// one being decoded).
constexpr qint64 kBandMemory = qint64(128) << 20;

// A band of TILE_SIZE picture rows (fewer at the bottom) in memory.
struct CBand {
    int index = 0;
    std::shared_ptr<const QImage> image;
    int nextColumn = 1; // the next tile to hand out
    int cutsLeft = 0;   // tiles not yet copied out
    bool shrinkTaken = false, shrunk = false;
};

// A row of level tiles being filled by the bands it covers.
struct CLevelRow {
    std::shared_ptr<QImage> image; // white where the picture does not reach
    uchar* bits = nullptr;         // its pixels, written by the bands' workers
    int bandsLeft = 0;             // bands not yet shrunk into it
    int nextColumn = 1;
    int cutsLeft = 0;
};

// One piece of work for a worker.
struct CJob {
    enum Kind { None, MapTile, Shrink, LevelTile } kind = None;
    std::shared_ptr<const QImage> band; // MapTile, Shrink
    std::shared_ptr<QImage> levelImage; // LevelTile
    int row = 0, column = 0, level = 0; // row: band index or level row index, from 0
};

// Copies the TILE_SIZE square at column (from 1) of image (Format_RGB888 or
// Format_RGB32) into tile (Format_RGB32), white where image ends.
void CopyTile(const QImage& image, int column, QImage& tile) {
    const int x = (column - 1) * TILE_SIZE;
    const int width = std::min(TILE_SIZE, image.width() - x);
    const int height = std::min(TILE_SIZE, image.height());
    const bool packed = image.format() == QImage::Format_RGB888;
    tile.fill(Qt::white);
    for (int y = 0; y < height && width > 0; ++y) {
        auto* to = reinterpret_cast<QRgb*>(tile.scanLine(y));
        if (!packed) {
            std::memcpy(to, image.constScanLine(y) + size_t(4) * size_t(x),
                        size_t(4) * size_t(width));
            continue;
        }
        const uchar* from = image.constScanLine(y) + size_t(3) * size_t(x);
        // Four bytes read at a time (R, G, B and the next pixel's R) and
        // turned round; the last pixel on its own, so as not to read past
        // the image.
        for (int i = 0; i < width - 1; ++i, from += 3) {
            quint32 bytes;
            std::memcpy(&bytes, from, 4);
            to[i] = 0xff000000u | (qFromBigEndian(bytes) >> 8);
        }
        to[width - 1] = qRgb(from[0], from[1], from[2]);
    }
}

} // namespace

bool WritePictureBands(const PackageRequest& request, const QSize& size, const QString& staging,
                       const PackageProgress& progress, QString& error) {
    const int columns = (size.width() + TILE_SIZE - 1) / TILE_SIZE;
    const int rows = (size.height() + TILE_SIZE - 1) / TILE_SIZE;
    const int mapTiles = rows * columns;
    const bool levels = !request.drawLevelPart;
    const QString prefix = TilePrefix(request.title);

    CTileFolder folder, levelFolders[LEVEL_COUNT];
    if (!folder.Open(staging)) {
        error = QStringLiteral("cannot open the folder %1").arg(HostPath(staging));
        return false;
    }
    int levelColumns[LEVEL_COUNT] = {}, levelRows[LEVEL_COUNT] = {}, factors[LEVEL_COUNT] = {};
    int total = mapTiles;
    for (int level = 0; levels && level < LEVEL_COUNT; ++level) {
        const QString path = LevelFolder(staging, level);
        if (!CreateDirectoryAt(path) || !levelFolders[level].Open(path)) {
            error = QStringLiteral("cannot create the folder %1").arg(HostPath(path));
            return false;
        }
        factors[level] = int(1 / LEVEL_ZOOMS[level] + 0.5);
        levelColumns[level] = LevelTiles(columns, LEVEL_ZOOMS[level]);
        levelRows[level] = LevelTiles(rows, LEVEL_ZOOMS[level]);
        total += levelColumns[level] * levelRows[level];
    }
    const int workers = std::clamp(
        request.workers > 0 ? request.workers : QThread::idealThreadCount(), 1, std::max(1, total));
    const qint64 bandBytes = qint64(size.width()) * TILE_SIZE * 3;
    const int maxBands = int(std::clamp<qint64>(kBandMemory / bandBytes, 2, workers + 1));

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<CBand> bands;                           // read and not yet finished with
    std::map<int, CLevelRow> levelRowsOf[LEVEL_COUNT]; // by level row index
    int done = 0;
    bool readingDone = false;
    qint64 failedAt = -1; // the first failure in file order (-1: none)
    QString failure;

    // A level row's bands: those of its picture rows, none past the picture.
    auto bandsOfLevelRow = [&](int level, int index) {
        return std::clamp(rows - index * factors[level], 0, factors[level]);
    };
    for (int level = 0; levels && level < LEVEL_COUNT; ++level)
        for (int index = 0; index < levelRows[level]; ++index)
            if (bandsOfLevelRow(level, index) == 0) // wholly beyond the picture: white
                levelRowsOf[level][index] = CLevelRow{nullptr, 0, 1, levelColumns[level]};
    auto fail = [&](qint64 at, const QString& message) { // with mutex held
        if (failedAt < 0 || at < failedAt) {
            failedAt = at;
            failure = message;
        }
        changed.notify_all();
    };
    // Finished band and level row images, each kept for the next one of its
    // kind: their memory is reused rather than given back and asked for again.
    std::shared_ptr<const QImage> spareBand;
    std::shared_ptr<QImage> spareLevel[LEVEL_COUNT];
    auto levelImage = [&](int level) {
        std::shared_ptr<QImage> image = std::move(spareLevel[level]);
        if (!image)
            image = std::make_shared<QImage>(levelColumns[level] * TILE_SIZE, TILE_SIZE,
                                             QImage::Format_RGB888);
        image->fill(Qt::white);
        return image;
    };
    // The next job, with mutex held: level tiles first (they free their row),
    // then a band's shrinking, then the map tiles of the oldest band.
    auto takeJob = [&]() {
        CJob job;
        for (int level = 0; level < LEVEL_COUNT; ++level)
            for (auto& [index, row] : levelRowsOf[level])
                if (row.bandsLeft == 0 && row.nextColumn <= levelColumns[level]) {
                    if (!row.image)
                        row.image = levelImage(level);
                    job = {CJob::LevelTile, nullptr, row.image, index, row.nextColumn++, level};
                    return job;
                }
        for (CBand& band : bands)
            if (levels && !band.shrinkTaken) {
                band.shrinkTaken = true;
                for (int level = 0; level < LEVEL_COUNT; ++level) {
                    CLevelRow& row = levelRowsOf[level][band.index / factors[level]];
                    if (!row.image) {
                        row.image = levelImage(level);
                        row.bits = row.image->bits();
                        row.bandsLeft = bandsOfLevelRow(level, band.index / factors[level]);
                        row.cutsLeft = levelColumns[level];
                    }
                }
                return CJob{CJob::Shrink, band.image, nullptr, band.index, 0, 0};
            }
        for (CBand& band : bands)
            if (band.nextColumn <= columns)
                return CJob{CJob::MapTile, band.image, nullptr, band.index, band.nextColumn++, 0};
        return job;
    };
    // Drops the bands nothing more is to be done with, with mutex held.
    auto dropFinished = [&]() {
        std::erase_if(bands, [&](CBand& band) {
            const bool finished = band.cutsLeft == 0 && (!levels || band.shrunk);
            if (finished && !spareBand)
                spareBand = std::move(band.image);
            return finished;
        });
        changed.notify_all();
    };

    auto work = [&]() {
        QImage tile(TILE_SIZE, TILE_SIZE, QImage::Format_RGB32);
        std::unique_lock lock(mutex);
        for (;;) {
            CJob job;
            changed.wait(lock, [&] {
                job = failedAt >= 0 ? CJob() : takeJob();
                return job.kind != CJob::None || failedAt >= 0 ||
                       (readingDone && bands.empty() &&
                        std::all_of(std::begin(levelRowsOf), std::end(levelRowsOf),
                                    [](const auto& m) { return m.empty(); }));
            });
            if (job.kind == CJob::None)
                return;
            lock.unlock();
            QString jobError;
            qint64 at = 0;
            bool ok = true;
            if (job.kind == CJob::Shrink) {
                for (int level = 0; level < LEVEL_COUNT; ++level) {
                    const int factor = factors[level], index = job.row / factor;
                    uchar* bits;
                    qsizetype stride;
                    {
                        std::lock_guard guard(mutex);
                        const CLevelRow& row = levelRowsOf[level][index];
                        bits = row.bits;
                        stride = row.image->bytesPerLine();
                    }
                    // Bands of one level row fill rows of their own, so
                    // workers may write into its pixels at once.
                    ShrinkByAverage(
                        *job.band, factor,
                        bits + stride * ((job.row - index * factor) * TILE_SIZE / factor), stride);
                }
            } else if (job.kind == CJob::MapTile) {
                CopyTile(*job.band, job.column, tile);
                {
                    std::lock_guard guard(mutex);
                    job.band.reset();
                    const auto band = std::find_if(bands.begin(), bands.end(), [&](const CBand& b) {
                        return b.index == job.row;
                    });
                    if (band != bands.end() && --band->cutsLeft == 0)
                        dropFinished();
                }
                QByteArray png;
                at = qint64(job.row) * columns + job.column - 1;
                const QString name =
                    TileName(prefix, job.row + 1, job.column) + QStringLiteral(".map");
                if (!EncodeTileImage(tile, png, jobError))
                    ok = false;
                else if (!folder.Write(QFile::encodeName(name), EncryptTileImage(png))) {
                    ok = false;
                    jobError = QStringLiteral("cannot write %1")
                                   .arg(HostPath(JoinDevicePath(staging, name)));
                }
                if (!ok)
                    jobError = QStringLiteral("tile %1_%2: %3")
                                   .arg(job.row + 1)
                                   .arg(job.column)
                                   .arg(jobError);
            } else {
                CopyTile(*job.levelImage, job.column, tile);
                {
                    std::lock_guard guard(mutex);
                    job.levelImage.reset();
                    auto& byIndex = levelRowsOf[job.level];
                    if (CLevelRow& row = byIndex[job.row]; --row.cutsLeft == 0) {
                        if (!spareLevel[job.level])
                            spareLevel[job.level] = std::move(row.image);
                        byIndex.erase(job.row);
                    }
                }
                // After every map tile, level by level in row order.
                at = (qint64(1) << 40) + (qint64(job.level) << 32) + qint64(job.row) * 65536 +
                     job.column;
                const QString name =
                    TileName(prefix, job.row + 1, job.column) + QStringLiteral(".cbm");
                if (!levelFolders[job.level].Write(
                        QFile::encodeName(name),
                        EncodeCompressedTile(tile.convertToFormat(kDisplayFormat)))) {
                    ok = false;
                    jobError =
                        QStringLiteral("cannot write %1")
                            .arg(HostPath(JoinDevicePath(LevelFolder(staging, job.level), name)));
                }
            }
            lock.lock();
            if (job.kind == CJob::Shrink) {
                job.band.reset(); // before the band may become the spare
                for (int level = 0; level < LEVEL_COUNT; ++level)
                    --levelRowsOf[level][job.row / factors[level]].bandsLeft;
                for (CBand& band : bands)
                    if (band.index == job.row)
                        band.shrunk = true;
                dropFinished();
            } else if (ok) {
                ++done;
                changed.notify_all();
            } else {
                fail(at, jobError);
            }
        }
    };

    std::vector<std::thread> threads;
    for (int i = 0; i < workers; ++i)
        threads.emplace_back(work);
    int reported = 0;
    auto report = [&](int upTo) {
        while (progress && reported < upTo)
            progress(++reported, total);
        reported = upTo;
    };
    // The bands, read in order here while the workers make tiles of earlier
    // ones; a whole picture is cut into bands as they are needed.
    const QImage whole = request.readRows ? QImage() : request.picture;
    for (int index = 0; index < rows; ++index) {
        int doneNow;
        QImage band;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return failedAt >= 0 || int(bands.size()) + 1 <= maxBands; });
            if (failedAt >= 0)
                break;
            doneNow = done;
            if (spareBand && spareBand.use_count() == 1)
                band = *spareBand; // its only holder from here on
            spareBand.reset();
        }
        report(doneNow);
        const int height = std::min(TILE_SIZE, size.height() - index * TILE_SIZE);
        QString readError;
        bool ok;
        if (request.readRows) {
            ok = request.readRows(height, band, readError) &&
                 band.size() == QSize(size.width(), height) &&
                 band.format() == QImage::Format_RGB888;
            if (ok == false && readError.isEmpty())
                readError = QStringLiteral("cannot read row %1 of the picture").arg(index + 1);
        } else {
            band = OpaqueOnWhite(whole.copy(0, index * TILE_SIZE, size.width(), height))
                       .convertToFormat(QImage::Format_RGB888);
            ok = !band.isNull();
            if (!ok)
                readError = QStringLiteral("out of memory for a band of the picture");
        }
        std::lock_guard lock(mutex);
        if (!ok) {
            fail(qint64(index) * columns, readError);
            break;
        }
        CBand entry;
        entry.index = index;
        entry.image = std::make_shared<const QImage>(std::move(band));
        entry.cutsLeft = columns;
        bands.push_back(std::move(entry));
        changed.notify_all();
    }
    {
        std::lock_guard lock(mutex);
        readingDone = true;
        changed.notify_all();
    }
    for (;;) {
        int doneNow;
        bool finished;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return done > reported || failedAt >= 0 || done == total; });
            doneNow = done;
            finished = failedAt >= 0 || done == total;
        }
        report(doneNow);
        if (finished)
            break;
    }
    for (std::thread& thread : threads)
        thread.join();
    if (failedAt >= 0) {
        error = failure;
        return false;
    }
    return true; // the caller flushes the staging folder to disk
}
