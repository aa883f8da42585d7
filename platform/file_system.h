#pragma once

#include <QByteArrayView>
#include <QString>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

// The file layer: files, folders and listings addressed by device paths (see
// device_root.h). Names are matched without regard to letter case, through a
// per-folder index of names that follows the folder's changes (see
// device_root.cpp): making, renaming and deleting files never reads the
// folder again.
// Nothing here throws; failures are reported by the return value.

// An open file: a POSIX descriptor that is closed with the object.
class CFileHandle {
public:
    CFileHandle() = default;
    explicit CFileHandle(int fd) : m_fd(fd) {}
    CFileHandle(CFileHandle&& other) noexcept;
    CFileHandle& operator=(CFileHandle&& other) noexcept;
    CFileHandle(const CFileHandle&) = delete;
    CFileHandle& operator=(const CFileHandle&) = delete;
    ~CFileHandle();

    bool IsValid() const { return m_fd >= 0; }
    // Reads up to size bytes; returns the count read (0 at the end), -1 on error.
    int64_t Read(void* buffer, int64_t size);
    // Writes all size bytes; returns false unless every byte was written.
    bool Write(const void* data, int64_t size);
    // Size of the file in bytes, -1 on error.
    int64_t Size() const;
    void Close();
    int Descriptor() const { return m_fd; }

private:
    int m_fd = -1;
};

// Every call that creates, replaces or removes something reaches its folder
// from the device root without following a symbolic link: a path with a link
// among its folders is refused, so nothing outside the root is ever written
// or deleted, whatever links a map folder brought with it. Reads may follow
// links.

// Opens an existing file for reading; an invalid handle when it cannot.
CFileHandle OpenFileForRead(const QString& devicePath);
// Creates a file anew for writing. Whatever stands under the name (a file or
// a symbolic link) is removed first and the new file is made exclusively, so a
// planted link is never written through.
CFileHandle CreateFileAlways(const QString& devicePath);
// Writes a whole file in place of devicePath so that it is never seen half
// written and survives a power loss: the parts go to the side file
// devicePath + ".part" (made as by CreateFileAlways), are flushed to disk, and
// the side file is renamed over devicePath; then the folder is flushed. False
// on any failure; the side file is gone then and the old file untouched.
bool ReplaceFileAtomically(const QString& devicePath, std::initializer_list<QByteArrayView> parts);
// The extension of the side files that ReplaceFileAtomically writes.
inline constexpr char SIDE_FILE_EXTENSION[] = ".part";

bool FileExists(const QString& devicePath);        // a regular file exists
bool DirectoryExists(const QString& devicePath);   // a directory exists
bool DeleteFileAt(const QString& devicePath);      // removes a file (or a symbolic link)
bool CreateDirectoryAt(const QString& devicePath); // false if it exists or cannot be made
bool RemoveDirectoryAt(const QString& devicePath); // removes an empty directory
// Gives the file or folder the "normal" attribute: writable by its owner.
bool SetNormalAttribute(const QString& devicePath);
// Renames a file, replacing the target atomically.
bool RenameFileAt(const QString& fromDevicePath, const QString& toDevicePath);

// Makes a folder and every missing folder above it, never through a link;
// true when the whole path is a folder afterwards.
bool CreateFolderPath(const QString& devicePath);
// Swaps two entries of the same file system in one atomic step (both must
// exist), so that at every moment each name holds one of the two.
bool ExchangeEntries(const QString& firstDevicePath, const QString& secondDevicePath);
// True when the device path names something inside the device root that is
// reached without passing through a symbolic link (the last component may be
// one, or missing).
bool IsReachableWithoutLinks(const QString& devicePath);
// Deletes a folder with everything below it, name by name as bytes (names
// that are not valid text go too). A symbolic link, inside the folder or the
// folder itself, is removed and never followed; a path with a link among its
// parent folders, or outside the device root, is refused. True when
// everything went.
bool DeleteTree(const QString& deviceFolder);
// Bytes of all regular files below a folder, each file's low 32 bits summed in
// 32 bits; links count nothing and are not followed. 0 when it cannot be read.
uint32_t TreeSize(const QString& deviceFolder);
// How many times file data or a folder has been flushed to disk since
// start-up (for tests).
uint64_t DiskSyncCount();

// One entry of a listing.
struct FindData {
    QString name; // the name as stored on disk
    bool isDirectory = false;
    bool isSymLink = false;   // a symbolic link (never followed when deleting)
    uint64_t size = 0;        // bytes, 0 for directories
    int64_t creationTime = 0; // nanoseconds since the epoch: birth time, else modification time
};

// A find-first / find-next listing of the entries of one folder that match a
// wildcard ("*" any run, "?" one character, case-insensitive; "*.*" matches
// every name). Entries come in the order the file system returns them; "." and
// ".." are never listed. The pattern is a device path whose last component is
// the wildcard, for example "\Veldra\Maps\Northcombe\*.map".
class CFindFile {
public:
    CFindFile() = default;
    ~CFindFile();
    CFindFile(const CFindFile&) = delete;
    CFindFile& operator=(const CFindFile&) = delete;

    // Starts the listing; false when the folder cannot be listed or nothing matches.
    bool FindFirst(const QString& devicePattern, FindData& out);
    // The next matching entry; false at the end.
    bool FindNext(FindData& out);
    void Close();

private:
    void* m_dir = nullptr; // DIR*
    QString m_hostDir;
    QString m_wildcard; // the pattern's last component, case-folded
};

// All entries matching a pattern, in file-system order.
std::vector<FindData> FindFiles(const QString& devicePattern);

// Case-insensitive wildcard match of a name ("*", "?"; a trailing ".*" also
// matches no extension, so "*.*" matches all).
bool WildcardMatch(const QString& wildcard, const QString& name);

// A whole file mapped into memory read-only. An empty file cannot be mapped.
class CMappedFile {
public:
    CMappedFile() = default;
    ~CMappedFile();
    CMappedFile(const CMappedFile&) = delete;
    CMappedFile& operator=(const CMappedFile&) = delete;

    bool Open(const QString& devicePath);
    void Close();
    const unsigned char* Data() const { return m_data; }
    int64_t Size() const { return m_size; }

private:
    const unsigned char* m_data = nullptr;
    int64_t m_size = 0;
};
