#include "map_levels.h"

#include "platform/device_root.h"
#include "platform/file_system.h"
#include "platform/image_codec.h"
#include "store/map_folder.h"
#include "store/tile_cache.h"

#include <QPainter>
#include <QRegion>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

// One row of a level's tiles, as the files to write (empty: a tile failed).
using LevelRow = std::vector<QByteArray>;

// Runs make(index) for 0 .. count - 1 on workers threads, a few ahead of the
// calling thread, which hands each result to consume in index order. Stops
// at the first consume that fails.
template <class Make, class Consume>
bool RunInOrder(int count, int workers, Make make, Consume consume) {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::optional<LevelRow>> done(size_t(std::max(count, 0)));
    int next = 0, consumed = 0;
    bool stop = false;
    auto work = [&] {
        for (;;) {
            int index;
            {
                std::unique_lock lock(mutex);
                changed.wait(
                    lock, [&] { return stop || next >= count || next < consumed + 2 * workers; });
                if (stop || next >= count)
                    return;
                index = next++;
            }
            LevelRow row = make(index);
            std::lock_guard lock(mutex);
            done[size_t(index)] = std::move(row);
            changed.notify_all();
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < workers; ++i)
        threads.emplace_back(work);
    bool ok = true;
    for (int index = 0; index < count && ok; ++index) {
        LevelRow row;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return done[size_t(index)].has_value(); });
            row = std::move(*done[size_t(index)]);
            done[size_t(index)].reset();
        }
        ok = consume(index, row);
        std::lock_guard lock(mutex);
        consumed = index + 1;
        changed.notify_all();
    }
    {
        std::lock_guard lock(mutex);
        stop = true;
        changed.notify_all();
    }
    for (std::thread& thread : threads)
        thread.join();
    return ok;
}

} // namespace

int CountLevelTiles(const PackageRequest& request, const QSize& size) {
    if (!request.drawLevelPart && request.picture.isNull() && !request.readRows)
        return 0;
    const int columns = (size.width() + TILE_SIZE - 1) / TILE_SIZE;
    const int rows = (size.height() + TILE_SIZE - 1) / TILE_SIZE;
    int tiles = 0;
    for (int level = 0; level < LEVEL_COUNT; ++level)
        tiles += LevelTiles(columns, LEVEL_ZOOMS[level]) * LevelTiles(rows, LEVEL_ZOOMS[level]);
    return tiles;
}

bool WriteLevels(const PackageRequest& request, const QSize& size, const QString& staging,
                 const PackageProgress& progress, QString& error) {
    if (!request.drawLevelPart)
        return true; // a picture's levels are made from its bands as its tiles are cut
    const int columns = (size.width() + TILE_SIZE - 1) / TILE_SIZE;
    const int rows = (size.height() + TILE_SIZE - 1) / TILE_SIZE;
    const QString prefix = TilePrefix(request.title);
    const int levelTiles = CountLevelTiles(request, size);
    // Every row of both levels is one job in one run, so that no core waits
    // for the last row of one level while the next could start.
    struct Level {
        QString folder;
        int columns = 0;
        QRect drawnArea; // the picture's own pixels at this zoom; the rest is white
    } levels[LEVEL_COUNT];
    std::vector<std::pair<int, int>> jobs; // (level, row from 0) in writing order
    for (int level = 0; level < LEVEL_COUNT; ++level) {
        const double zoom = LEVEL_ZOOMS[level];
        levels[level] = {
            LevelFolder(staging, level), LevelTiles(columns, zoom),
            QRect(0, 0, int(std::ceil(size.width() * zoom)), int(std::ceil(size.height() * zoom)))};
        if (!CreateDirectoryAt(levels[level].folder)) {
            error =
                QStringLiteral("cannot create the folder %1").arg(HostPath(levels[level].folder));
            return false;
        }
        for (int row = 0; row < LevelTiles(rows, zoom); ++row)
            jobs.emplace_back(level, row);
    }
    auto makeRow = [&](int index) {
        const auto [level, row] = jobs[size_t(index)];
        const Level& l = levels[level];
        const QRect strip(0, row * TILE_SIZE, l.columns * TILE_SIZE, TILE_SIZE);
        // The whole row is drawn into one image, so that a worker holds one
        // row's pixels; beyond the picture it is made white, as the map's
        // padded tiles are.
        QImage image = request.drawLevelPart(level, strip);
        if (image.size() != strip.size())
            return LevelRow(size_t(l.columns));
        const QRect part = strip.intersected(l.drawnArea);
        if (part != strip) {
            QPainter painter(&image);
            for (const QRect& outside : QRegion(strip).subtracted(QRegion(part)))
                painter.fillRect(outside.translated(-strip.topLeft()), Qt::white);
        }
        LevelRow tiles;
        for (int c = 0; c < l.columns; ++c)
            tiles.push_back(EncodeCompressedTile(image.copy(c * TILE_SIZE, 0, TILE_SIZE, TILE_SIZE)
                                                     .convertToFormat(kDisplayFormat)));
        return tiles;
    };
    const int count = int(jobs.size());
    const int workers = std::clamp(
        request.workers > 0 ? request.workers : QThread::idealThreadCount(), 1, std::max(1, count));
    int written = 0;
    return RunInOrder(count, workers, makeRow, [&](int index, const LevelRow& tiles) {
        const auto [level, row] = jobs[size_t(index)];
        for (int c = 0; c < levels[level].columns; ++c) {
            if (tiles[size_t(c)].isEmpty()) {
                error = QStringLiteral("cannot draw tile %1_%2 of the level for zoom %3")
                            .arg(row + 1)
                            .arg(c + 1)
                            .arg(LEVEL_ZOOMS[level]);
                return false;
            }
            const QString name = TileName(prefix, row + 1, c + 1) + QStringLiteral(".cbm");
            if (!WriteNewFile(JoinDevicePath(levels[level].folder, name), tiles[size_t(c)], error))
                return false;
            if (progress)
                progress(rows * columns + ++written, rows * columns + levelTiles);
        }
        return true;
    });
}
