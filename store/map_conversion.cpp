#include "store/map_conversion.h"

#include "platform/device_root.h"
#include "platform/file_system.h"
#include "store/tile_cache.h"
#include "store/tile_crypto.h"

#include <QFile>
#include <QThread>
#include <QtEndian>
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Decrypting a tile without a .tmp first deletes the oldest .tmp files of its
// folder while more than MAX_TEMP_FILES are left, at most MAX_PRUNE_ROUNDS.
constexpr int MAX_TEMP_FILES = 16;
constexpr int MAX_PRUNE_ROUNDS = 5;
// How long Run waits for a worker before calling m_onWait, in milliseconds.
constexpr int WAIT_SLICE_MS = 20;

QString Folded(const QString& name) {
    return name.toCaseFolded();
}

bool HostExists(const QByteArray& path) {
    struct stat st {};
    return lstat(path.constData(), &st) == 0;
}

} // namespace

// One tile's work. The converting thread fills the input and later reads the
// result; a worker writes the result while the job is claimed.
struct CMapConversion::Job {
    enum Outcome { PENDING, CONVERTED, UNREADABLE_MAP, FAILED };
    QString mapName;  // name on disk of the .map
    QString tileName; // mapName up to its first "."
    QString tmpName;  // name on disk of the .tmp to decode; empty: decrypt the .map
    Outcome outcome = PENDING;
    bool tmpVanished = false; // tmpName could not be opened
    QByteArray cbm;           // the .cbm file's bytes, when converted
    QByteArray image;         // the freshly decrypted image
};

namespace {

// The memory one worker reuses for every tile it works.
struct CWorkBuffers {
    std::vector<uint8_t> decrypt = std::vector<uint8_t>(MAX_TILE_FILE_BYTES);
    std::vector<uint8_t> stream = std::vector<uint8_t>(COMPRESSED_BUFFER_SIZE);
};

// Decrypts (or reads the .tmp of), decodes and compresses one tile. Touches
// nothing but the job and the buffers, and writes no file.
void WorkTile(const QString& folder, CMapConversion::Job& job, CWorkBuffers& buffers) {
    using Job = CMapConversion::Job;
    job.cbm.clear();
    job.image.clear();
    job.tmpVanished = false;
    const uint8_t* image = nullptr;
    int64_t imageSize = 0;
    QByteArray tmpBytes;
    if (!job.tmpName.isEmpty()) {
        if (!ReadTileImageFile(JoinDevicePath(folder, job.tmpName), tmpBytes)) {
            job.tmpVanished = true;
            job.outcome = Job::FAILED;
            return;
        }
        image = reinterpret_cast<const uint8_t*>(tmpBytes.constData());
        imageSize = tmpBytes.size();
    } else {
        const QString mapPath = JoinDevicePath(folder, job.mapName);
        imageSize = ReadAndDecrypt(mapPath, buffers.decrypt.data(), MAX_TILE_FILE_BYTES, image);
        if (imageSize == 0) {
            job.outcome = Job::UNREADABLE_MAP;
            return;
        }
    }

    QImage bitmap;
    uint32_t n = 0;
    if (DecodeTileImage(image, imageSize, bitmap))
        n = CompressTileImage(bitmap, buffers.stream.data(), COMPRESSED_BUFFER_SIZE);
    if (job.tmpName.isEmpty()) // kept in case a later step fails
        job.image = QByteArray(reinterpret_cast<const char*>(image), qsizetype(imageSize));
    if (n == 0) {
        job.outcome = Job::FAILED;
        return;
    }
    job.cbm.resize(4 + qsizetype(n));
    qToLittleEndian<uint32_t>(n, job.cbm.data());
    std::memcpy(job.cbm.data() + 4, buffers.stream.data(), n);
    job.outcome = Job::CONVERTED;
}

// Workers that work the jobs of one pass ahead of the converting thread, at
// most lookahead jobs past the one it waits for.
class CWorkerPool {
public:
    CWorkerPool(const QString& folder, std::vector<CMapConversion::Job>& jobs, int workers)
        : m_folder(folder), m_jobs(jobs), m_done(jobs.size(), false),
          m_lookahead(size_t(2 * workers)) {
        for (int i = 0; i < workers; ++i)
            m_threads.emplace_back([this] { Work(); });
    }
    ~CWorkerPool() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        for (std::thread& thread : m_threads)
            thread.join();
    }

    // Waits until job index is worked, calling onWait between waits, and
    // lets the workers move on past it.
    void WaitFor(size_t index, const std::function<void()>& onWait) {
        std::unique_lock lock(m_mutex);
        m_waitingFor = index;
        m_wake.notify_all();
        while (!m_done[index]) {
            if (m_doneSignal.wait_for(lock, std::chrono::milliseconds(WAIT_SLICE_MS)) ==
                    std::cv_status::timeout &&
                onWait) {
                lock.unlock();
                onWait();
                lock.lock();
            }
        }
    }

private:
    void Work() {
        CWorkBuffers buffers;
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] {
                return m_stop || (m_next < m_jobs.size() && m_next < m_waitingFor + m_lookahead);
            });
            if (m_stop)
                return;
            const size_t index = m_next++;
            lock.unlock();
            WorkTile(m_folder, m_jobs[index], buffers);
            lock.lock();
            m_done[index] = true;
            m_doneSignal.notify_all();
        }
    }

    const QString m_folder;
    std::vector<CMapConversion::Job>& m_jobs;
    std::vector<bool> m_done; // guarded by m_mutex, as is every field below
    size_t m_next = 0;        // the next job a worker claims
    size_t m_waitingFor = 0;  // the job the converting thread waits for
    const size_t m_lookahead;
    bool m_stop = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;       // for the workers
    std::condition_variable m_doneSignal; // for the converting thread
    std::vector<std::thread> m_threads;
};

} // namespace

CMapConversion::CMapConversion(const QString& folder, int workers)
    : m_szFolder(folder), m_nWorkers(std::max(0, workers)) {}

CMapConversion::~CMapConversion() = default;

int CMapConversion::AllCores() {
    return std::max(1, QThread::idealThreadCount());
}

bool CMapConversion::Run() {
    int converted = 0;
    for (;;) {
        std::vector<QString> maps;
        if (!ListFolder(maps))
            return true; // nothing can be listed: no .map is left to convert
        if (maps.empty())
            return true;
        if (!ConvertPass(maps, converted))
            return false;
    }
}

bool CMapConversion::ListFolder(std::vector<QString>& maps) {
    ++m_nListings;
    m_names.clear();
    m_temps.clear();
    m_hostFolder = QFile::encodeName(HostPath(m_szFolder));
    CFindFile find;
    FindData entry;
    if (!find.FindFirst(JoinDevicePath(m_szFolder, QStringLiteral("*")), entry))
        return false;
    const QString mapPattern = QStringLiteral("*.map");
    const QString tmpPattern = QStringLiteral("*.tmp");
    do {
        AddName(entry.name);
        if (WildcardMatch(mapPattern, entry.name))
            maps.push_back(entry.name);
        else if (!entry.isDirectory && WildcardMatch(tmpPattern, entry.name))
            m_temps.push_back({entry.name, entry.creationTime});
    } while (find.FindNext(entry));
    return true;
}

QString CMapConversion::Resolve(const QString& name) const {
    const auto found = m_names.constFind(Folded(name));
    if (found == m_names.cend() || found->isEmpty() || found->contains(name))
        return name;
    QByteArray smallest;
    QString chosen;
    for (const QString& candidate : *found) {
        const QByteArray encoded = QFile::encodeName(candidate);
        if (chosen.isEmpty() || encoded < smallest) {
            smallest = encoded;
            chosen = candidate;
        }
    }
    return chosen;
}

void CMapConversion::AddName(const QString& name) {
    QStringList& names = m_names[Folded(name)];
    if (!names.contains(name))
        names.append(name);
}

void CMapConversion::RemoveName(const QString& name) {
    const auto found = m_names.find(Folded(name));
    if (found == m_names.end())
        return;
    found->removeAll(name);
    if (found->isEmpty())
        m_names.erase(found);
    const int temp = TempIndex(name);
    if (temp >= 0)
        m_temps.erase(m_temps.begin() + temp);
}

QByteArray CMapConversion::HostFile(const QString& name) const {
    return m_hostFolder + '/' + QFile::encodeName(name);
}

int CMapConversion::TempIndex(const QString& name) const {
    for (size_t i = 0; i < m_temps.size(); ++i)
        if (m_temps[i].name == name)
            return int(i);
    return -1;
}

void CMapConversion::PruneTempFiles() {
    for (int round = 0; round < MAX_PRUNE_ROUNDS;) {
        if (m_temps.size() <= size_t(MAX_TEMP_FILES))
            return;
        // Strictly earlier only: of equal times the first listed stays.
        size_t oldest = 0;
        for (size_t i = 1; i < m_temps.size(); ++i)
            if (m_temps[i].creationTime < m_temps[oldest].creationTime)
                oldest = i;
        const QString name = m_temps[oldest].name;
        const QByteArray path = HostFile(name);
        if (DeleteFileAt(JoinDevicePath(m_szFolder, name))) {
            RemoveName(name);
            ++round;
        } else if (!HostExists(path)) {
            // Removed by another process: a new listing would not show it,
            // so it neither counts nor uses up a round.
            RemoveName(name);
        } else {
            ++round; // not deletable: the next round picks it again
        }
    }
}

bool CMapConversion::WriteReplacing(const QString& name, const QByteArray& bytes) {
    // Written under a side name, flushed and renamed into place, so the file
    // either holds all of its bytes or keeps what it held before; never
    // through a link planted in the folder.
    const QString target = Resolve(name);
    const QString part = Resolve(name + QLatin1String(SIDE_FILE_EXTENSION));
    if (!ReplaceFileAtomically(JoinDevicePath(m_szFolder, target), {bytes})) {
        RemoveName(part);
        return false;
    }
    RemoveName(part);
    AddName(target);
    return true;
}

bool CMapConversion::DeleteName(const QString& name) {
    const QString existing = Resolve(name);
    const bool deleted = DeleteFileAt(JoinDevicePath(m_szFolder, existing));
    if (deleted)
        RemoveName(existing);
    return deleted;
}

bool CMapConversion::ConvertPass(const std::vector<QString>& maps, int& converted) {
    std::vector<Job> jobs(maps.size());
    for (size_t i = 0; i < maps.size(); ++i) {
        Job& job = jobs[i];
        job.mapName = maps[i];
        const qsizetype dot = job.mapName.indexOf(u'.');
        job.tileName = job.mapName.left(dot);
        const QString tmp = Resolve(job.tileName + QStringLiteral(".tmp"));
        if (TempIndex(tmp) >= 0)
            job.tmpName = tmp;
    }

    std::unique_ptr<CWorkerPool> pool;
    if (m_nWorkers > 0)
        pool = std::make_unique<CWorkerPool>(m_szFolder, jobs, m_nWorkers);
    CWorkBuffers inlineBuffers;
    for (size_t i = 0; i < jobs.size(); ++i) {
        Job& job = jobs[i];
        if (pool)
            pool->WaitFor(i, m_onWait);
        else
            WorkTile(m_szFolder, job, inlineBuffers);
        // A .tmp that was pruned (or vanished) since its tile was worked is
        // not what this tile would have found in turn: work it from its .map.
        if (!job.tmpName.isEmpty() && (job.tmpVanished || TempIndex(job.tmpName) < 0)) {
            if (job.tmpVanished)
                RemoveName(job.tmpName);
            job.tmpName.clear();
            WorkTile(m_szFolder, job, inlineBuffers);
        }
        if (!HostExists(HostFile(job.mapName))) {
            RemoveName(job.mapName);
            continue; // gone before its turn: a new listing would not show it
        }
        const bool ok = Commit(job);
        job.cbm.clear();
        job.image.clear();
        if (!ok)
            return false;
        ++converted;
        if (m_onProgress)
            m_onProgress(converted);
    }
    return true;
}

bool CMapConversion::Commit(Job& job) {
    if (job.mapName.indexOf(u'.') < 0)
        return false;
    if (job.tmpName.isEmpty())
        PruneTempFiles(); // before decrypting, as the tile pipeline does
    if (job.outcome != Job::CONVERTED) {
        // A failed tile keeps the image it was decrypted to, for the next run
        // (none when its .map could not be read).
        if (!job.image.isEmpty())
            WriteReplacing(job.tileName + QStringLiteral(".tmp"), job.image);
        return false;
    }
    if (!WriteReplacing(job.tileName + QStringLiteral(".cbm"), job.cbm)) {
        if (!job.image.isEmpty())
            WriteReplacing(job.tileName + QStringLiteral(".tmp"), job.image);
        return false;
    }
    // The .tmp goes before the .map: a run stopped in between leaves the
    // .map, which the next run converts again, rather than an orphan .tmp.
    DeleteName(job.tileName + QStringLiteral(".tmp"));
    DeleteName(job.tileName + QStringLiteral(".map"));
    // A .map that survives its own conversion would be listed for ever. As
    // in the file layer, a name that differs only in letter case is the same
    // name: a twin left behind also counts as surviving.
    return !HostExists(HostFile(job.mapName)) && !m_names.contains(Folded(job.mapName));
}
