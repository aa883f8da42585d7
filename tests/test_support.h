#pragma once

#include "platform/crypto.h"
#include "platform/device_root.h"
#include "store/tile_key.h"

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
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

// An image file in a format Qt writes ("PNG", "JPG", "BMP").
inline QByteArray EncodeImage(const QImage& image, const char* format = "PNG") {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return buffer.data();
}

// A PNG of a square tile in one colour.
inline QByteArray TilePng(int edge, QRgb colour) {
    QImage image(edge, edge, QImage::Format_RGB32);
    image.fill(colour);
    return EncodeImage(image);
}

// A .map tile file around an image file: a 4-byte plain header, 52 filler
// bytes and the image, bytes 4 onward RC4-encrypted with the tile key from
// key-stream position 0.
inline QByteArray EncryptTile(const QByteArray& imageFile) {
    QByteArray file = "VTL1" + QByteArray(52, '\xA0') + imageFile;
    const auto material = MakeTileKeyMaterial();
    CRc4 rc4(DeriveRc4Key(material.data(), material.size()));
    rc4.Crypt(reinterpret_cast<uint8_t*>(file.data()) + 4, size_t(file.size() - 4));
    return file;
}

// The template tile every drawing needs, already decoded: a white 500 x 500
// PNG kept as Veldra/Maps/tpl.tmp.
inline bool WriteTemplate(const CTestRoot& root) {
    return root.WriteFile(QStringLiteral("Veldra/Maps/tpl.tmp"), TilePng(500, qRgb(255, 255, 255)));
}
