#include "gazetteer/side_index_worker.h"

#include "gazetteer/byte_source.h"
#include "gazetteer/index_search.h"
#include "gazetteer/side_index.h"
#include "platform/file_system.h"

#include <QSet>
#include <algorithm>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace {

// The size and time of category's index file in mapFolder, as text.
QString StampText(const QString& mapFolder, const QString& category) {
    CFileHandle file = OpenFileForRead(mapFolder + u'/' + category + QStringLiteral(".idx"));
    const std::optional<FileStamp> stamp =
        file.IsValid() ? StampOf(file.Descriptor()) : std::nullopt;
    return stamp ? QStringLiteral("%1 %2").arg(stamp->size).arg(stamp->modified) : QString();
}

// The worker: a queue of (map folder, category) and one thread that empties
// it. The thread is started with the first request and stopped, cancelling
// the side index being made, when the program ends.
class CSideIndexWorker {
public:
    ~CSideIndexWorker() {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
            m_queue.clear();
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    void Request(const QString& mapFolder, const QString& category) {
        const std::lock_guard lock(m_mutex);
        const auto job = std::make_pair(mapFolder, category);
        if (m_current == job || std::find(m_queue.begin(), m_queue.end(), job) != m_queue.end())
            return;
        m_queue.push_back(job);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { Run(); });
        m_changed.notify_all();
    }

    std::optional<int> Progress(const QString& mapFolder) {
        const std::lock_guard lock(m_mutex);
        if (m_current.first == mapFolder)
            return m_percent.load();
        for (const auto& job : m_queue)
            if (job.first == mapFolder)
                return 0;
        return std::nullopt;
    }

    void WaitIdle() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_queue.empty() && m_current.first.isEmpty(); });
    }

private:
    void Run() {
        std::unique_lock lock(m_mutex);
        while (true) {
            m_changed.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop)
                return;
            m_current = m_queue.front();
            m_queue.pop_front();
            m_percent = 0;
            const auto [folder, category] = m_current;
            const QString failedKey = folder + u'/' + category + u' ' + StampText(folder, category);
            const bool failedBefore = m_failed.contains(failedKey);
            lock.unlock();
            const bool made = failedBefore || HasFreshSideIndex(folder, category) ||
                              WriteSideIndex(folder, category, [this](int percent) {
                                  m_percent = percent;
                                  return !m_stop.load();
                              });
            lock.lock();
            // An index file that cannot have one (not well formed) is not read
            // again until it changes.
            if (!made && !m_stop)
                m_failed.insert(failedKey);
            m_current = {};
            m_changed.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::pair<QString, QString>> m_queue;
    std::pair<QString, QString> m_current;
    QSet<QString> m_failed; // "folder/category stamp" of index files that got none
    std::atomic<int> m_percent{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

CSideIndexWorker& Worker() {
    static CSideIndexWorker worker;
    return worker;
}

} // namespace

void RequestSideIndexes(const QString& mapFolder) {
    for (const FindData& entry : FindFiles(mapFolder + QStringLiteral("/*.idx"))) {
        if (entry.isDirectory || entry.size < uint64_t(SIDE_INDEX_MIN_BYTES))
            continue;
        Worker().Request(mapFolder, entry.name.left(entry.name.lastIndexOf(u'.')));
    }
}

std::optional<int> SideIndexProgress(const QString& mapFolder) {
    return Worker().Progress(mapFolder);
}

void WaitForSideIndexes() {
    Worker().WaitIdle();
}
