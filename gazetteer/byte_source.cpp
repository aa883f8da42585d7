#include "gazetteer/byte_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

std::optional<FileStamp> StampOf(int fd) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < 0)
        return std::nullopt;
    return FileStamp{uint64_t(st.st_size),
                     int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

int64_t CMemorySource::ReadAt(uint64_t offset, void* buffer, size_t n) {
    if (offset >= m_size)
        return 0;
    const size_t count = size_t(std::min<uint64_t>(n, m_size - offset));
    memcpy(buffer, m_data + offset, count);
    return int64_t(count);
}

int64_t CFileSource::ReadAt(uint64_t offset, void* buffer, size_t n) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(m_fd, bytes + done, n - done, off_t(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return done > 0 ? int64_t(done) : -1;
        }
        if (got == 0)
            break;
        done += size_t(got);
    }
    return int64_t(done);
}

const unsigned char* CWindowReader::Get(uint64_t offset, size_t n, size_t& avail) {
    const bool inside = offset >= m_start && offset - m_start <= m_held &&
                        (m_held - (offset - m_start) >= n || m_held < m_buffer.size());
    if (!inside) {
        // No more than the source holds, so that a small one costs little.
        m_buffer.resize(std::max<size_t>(size_t(std::min<uint64_t>(m_window, m_source.Size())), n));
        const int64_t got = m_source.ReadAt(offset, m_buffer.data(), m_buffer.size());
        m_start = offset;
        m_held = got > 0 ? size_t(got) : 0;
    }
    avail = m_held - size_t(offset - m_start);
    return m_buffer.data() + (offset - m_start);
}
