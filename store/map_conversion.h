#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// The one-time conversion of a map folder's encrypted tiles (.map) into
// converted tiles (.cbm), without a window: the engine behind the conversion
// dialog, also run by tests and benchmarks.
//
// The folder is listed once and the listing is kept up to date with every
// change the conversion makes, so the cost per tile does not grow with the
// folder. The result is what converting the first listed .map, listing the
// folder again and repeating would give: tiles are converted in listing order,
// each through decrypt (or its existing .tmp), decode, compress and write,
// after which its .tmp and .map are deleted; before a tile without a .tmp is
// decrypted the oldest .tmp files are pruned while more than 16 are left (at
// most five); the run stops at the first tile that fails, with the tiles
// before it converted and the failed tile's decrypted image kept as its .tmp.
// A .map that vanishes before its turn is skipped. A .map that appears during
// the run is converted after the listed ones: when they are done the folder is
// listed again, until a listing finds no .map.
//
// Workers decrypt, decode and compress tiles ahead, each in its own memory;
// every file is written, renamed or deleted by the thread that calls Run, in
// listing order, so the files at every moment are those of a one-tile-at-a-time
// run: a run killed at any point leaves a folder that the next run finishes.
// A .tmp pruned while its tile was being worked on ahead is not trusted: that
// tile is worked again from its .map, as it would have been in turn.
class CMapConversion {
public:
    // folder: device path of the map folder. workers: threads that work tiles
    // ahead; 0 works every tile on the calling thread.
    explicit CMapConversion(const QString& folder, int workers);
    ~CMapConversion();
    CMapConversion(const CMapConversion&) = delete;
    CMapConversion& operator=(const CMapConversion&) = delete;

    // One worker per core of the machine.
    static int AllCores();

    // Converts every .map file of the folder; true when none is left. Calls
    // m_onProgress after each converted tile and m_onWait at least every
    // 20 ms while it waits for a worker, both on the calling thread.
    bool Run();

    std::function<void(int converted)> m_onProgress;
    std::function<void()> m_onWait;
    int m_nListings = 0; // listings of the folder made by Run

    struct Job;

private:
    // The folder's names as the conversion knows them, for resolving a name
    // the way the file layer does (exact spelling first, else the smallest of
    // the names that differ from it only in letter case).
    struct TempFile {
        QString name;
        int64_t creationTime = 0;
    };
    bool ListFolder(std::vector<QString>& maps);
    QString Resolve(const QString& name) const;
    void AddName(const QString& name);
    void RemoveName(const QString& name);
    QByteArray HostFile(const QString& name) const;
    int TempIndex(const QString& name) const;
    void PruneTempFiles();
    bool WriteReplacing(const QString& name, const QByteArray& bytes);
    bool DeleteName(const QString& name);
    bool ConvertPass(const std::vector<QString>& maps, int& converted);
    bool Commit(Job& job);

    QString m_szFolder;
    QByteArray m_hostFolder;
    int m_nWorkers = 0;
    QHash<QString, QStringList> m_names; // case-folded name -> names on disk
    std::vector<TempFile> m_temps;       // the .tmp files, in listing order
};
