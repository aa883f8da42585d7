#pragma once

#include "platform/device_root.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

// A fresh device root for one test: a temporary directory that becomes the
// device root for the object's lifetime and is removed afterwards.
class CTestRoot {
public:
    CTestRoot() {
        m_previous = DeviceRoot();
        SetDeviceRoot(m_dir.path());
    }
    ~CTestRoot() { SetDeviceRoot(m_previous); }
    CTestRoot(const CTestRoot&) = delete;
    CTestRoot& operator=(const CTestRoot&) = delete;

    // Host path of a relative path under the root ("Veldra/Maps/x.cbm").
    QString Host(const QString& relative) const { return m_dir.filePath(relative); }
    // Makes a host folder under the root.
    bool MakeDir(const QString& relative) const { return QDir(m_dir.path()).mkpath(relative); }
    // Writes a whole host file under the root, making its folder.
    bool WriteFile(const QString& relative, const QByteArray& bytes) const {
        const QString path = Host(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write(bytes) == bytes.size();
    }
    QByteArray ReadFile(const QString& relative) const {
        QFile file(Host(relative));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool Exists(const QString& relative) const { return QFileInfo::exists(Host(relative)); }
    QString Path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};
