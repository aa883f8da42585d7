#pragma once

#include "platform/device_root.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// A folder the packager made (the staging folder or a level's folder), opened once from the device
// root without following a link, so that each tile is made inside it by its leaf name: a folder
// that gains thousands of files is never searched again for each one.
class CTileFolder {
public:
    CTileFolder() = default;
    CTileFolder(const CTileFolder&) = delete;
    CTileFolder& operator=(const CTileFolder&) = delete;
    ~CTileFolder() {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool Open(const QString& devicePath) {
        QByteArray root = QFile::encodeName(DeviceRoot());
        const QByteArray host = QFile::encodeName(HostPath(devicePath));
        if (!root.endsWith('/'))
            root += '/';
        if (!host.startsWith(root))
            return false;
        m_fd = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (const QByteArray& part : host.mid(root.size()).split('/')) {
            if (part.isEmpty() || m_fd < 0)
                continue;
            const int sub =
                ::openat(m_fd, part.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ::close(m_fd);
            m_fd = sub;
        }
        return m_fd >= 0;
    }

    // Makes the new file name (which must not exist) with bytes. Safe to call
    // from several threads at once.
    bool Write(const QByteArray& name, const QByteArray& bytes) const {
        const int fd = ::openat(m_fd, name.constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += n;
        }
        return ::close(fd) == 0 && done == bytes.size();
    }

    // Flushes the file system that holds the folder to disk: the files and
    // entries written in it are then on disk. One flush for the whole map
    // instead of one a file, each of which would leave a core idle while it
    // waits for the disk.
    bool FlushFileSystem() const { return ::syncfs(m_fd) == 0; }

private:
    int m_fd = -1;
};
