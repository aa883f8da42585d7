#pragma once

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// What tells one state of a file from another: its size and its modification
// time. A side file records the stamp of the index file it was made from.
struct FileStamp {
    uint64_t size = 0;
    int64_t modified = 0; // nanoseconds since the epoch
    bool operator==(const FileStamp&) const = default;
};

// The stamp of an open file; nothing when it cannot be read.
std::optional<FileStamp> StampOf(int fd);

// Bytes read at any offset: an open file, read with pread so that a file cut
// short or rewritten meanwhile only gives fewer bytes, never a fault; or bytes
// in memory. The gazetteer's side files and the searches that use them read
// through this.
class CByteSource {
public:
    virtual ~CByteSource() = default;
    // Copies up to n bytes from offset into buffer: the count copied, less
    // than n at the end of the bytes, 0 past it, -1 when they cannot be read.
    virtual int64_t ReadAt(uint64_t offset, void* buffer, size_t n) = 0;
    // The size when the source was opened, in bytes.
    virtual uint64_t Size() const = 0;
};

// Bytes in memory (not copied: they must outlive the source).
class CMemorySource : public CByteSource {
public:
    CMemorySource(const void* data, size_t size)
        : m_data(static_cast<const unsigned char*>(data)), m_size(size) {}
    int64_t ReadAt(uint64_t offset, void* buffer, size_t n) override;
    uint64_t Size() const override { return m_size; }

private:
    const unsigned char* m_data;
    size_t m_size;
};

// An open file read with pread (the descriptor is not owned).
class CFileSource : public CByteSource {
public:
    CFileSource(int fd, uint64_t size) : m_fd(fd), m_size(size) {}
    int64_t ReadAt(uint64_t offset, void* buffer, size_t n) override;
    uint64_t Size() const override { return m_size; }

private:
    int m_fd;
    uint64_t m_size;
};

// A window of a source kept in a buffer, so that nearby reads cost one pread.
class CWindowReader {
public:
    explicit CWindowReader(CByteSource& source, size_t window = 64 * 1024)
        : m_source(source), m_window(window) {}

    // Bytes from offset on, at least n of them unless the source ends first:
    // a pointer to them and, in avail, how many there are (0 past the end or
    // when they cannot be read).
    const unsigned char* Get(uint64_t offset, size_t n, size_t& avail);

private:
    CByteSource& m_source;
    size_t m_window;
    std::vector<unsigned char> m_buffer;
    uint64_t m_start = 0; // source offset of m_buffer[0]
    size_t m_held = 0;    // valid bytes in m_buffer
};
