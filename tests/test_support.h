#pragma once

#include "platform/crypto.h"
#include "platform/device_root.h"
#include "platform/image_codec.h"
#include "platform/registry.h"
#include "store/tile_cache.h"
#include "store/tile_key.h"

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QString>
#include <QTemporaryDir>

// A temporary directory that is the device root for the object's lifetime.
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

// A .map tile file: a 4-byte plain header, 52 filler bytes and the image,
// bytes 4 onward encrypted with the tile key.
inline QByteArray EncryptTile(const QByteArray& imageFile) {
    QByteArray file = "VTL1" + QByteArray(52, '\xA0') + imageFile;
    const auto material = MakeTileKeyMaterial();
    CRc4 rc4(DeriveRc4Key(material.data(), material.size()));
    rc4.Crypt(reinterpret_cast<uint8_t*>(file.data()) + 4, size_t(file.size() - 4));
    return file;
}

// The template tile every drawing needs: a white 500 x 500 PNG as tpl.tmp.
inline bool WriteTemplate(const CTestRoot& root) {
    return root.WriteFile(QStringLiteral("Veldra/Maps/tpl.tmp"), TilePng(500, qRgb(255, 255, 255)));
}

// A gazetteer index record: "|name|extra1|extra2|x|y|#".
inline QByteArray Rec(const QByteArray& name, const QByteArray& e1 = "", const QByteArray& e2 = "",
                      const QByteArray& x = "10", const QByteArray& y = "20") {
    return "|" + name + "|" + e1 + "|" + e2 + "|" + x + "|" + y + "|#";
}
inline QByteArray Rec(const QByteArray& name, const QByteArray& e1, const QByteArray& e2, int x,
                      int y) {
    return Rec(name, e1, e2, QByteArray::number(x), QByteArray::number(y));
}

// Installed maps: registry keys (named by MapKey, store/map_folder.h, whose
// spelling test_installed_maps pins) and converted map folders.

inline const QString kAppsKey = QStringLiteral("Software\\Apps");

// A map folder Veldra/Maps/<name> holding one file of the given size; its device path.
inline QString MakeFolder(const CTestRoot& root, const QString& name, int bytes = 100) {
    root.WriteFile(QStringLiteral("Veldra/Maps/%1/tile.cbm").arg(name), QByteArray(bytes, 'x'));
    return QStringLiteral("\\Veldra\\Maps\\") + name;
}

// Registers a map: its key with InstallDir (and Current when given).
inline void RegisterMap(const QString& title, const QString& installDir, int current = -1) {
    RegSetString(MapKey(title), QStringLiteral("InstallDir"), installDir);
    if (current >= 0)
        RegSetDword(MapKey(title), QStringLiteral("Current"), uint32_t(current));
}

// A map's "Current" value; -1 when it has none.
// The dark pixels (grey below threshold) of image inside box: a label's ink.
inline int Ink(const QImage& image, const QRect& box, int threshold = 110) {
    int ink = 0;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            ink += qGray(image.pixel(x, y)) < threshold;
    return ink;
}

inline int CurrentValue(const QString& title) {
    return int(RegQueryDword(MapKey(title), QStringLiteral("Current")).value_or(-1));
}

// A registered map of converted tiles "<tla><row>_<column>.cbm" in
// Veldra/Maps/<name>; its device path.
inline QString MakeConvertedMap(const CTestRoot& root, const QString& title, const QString& name,
                                int rows = 2, int columns = 2) {
    const QString folder = QStringLiteral("\\Veldra\\Maps\\") + name;
    root.MakeDir(QStringLiteral("Veldra/Maps/") + name);
    for (int r = 1; r <= rows; ++r)
        for (int c = 1; c <= columns; ++c) {
            QImage tile(500, 500, kDisplayFormat);
            tile.fill(QColor(40 * r, 60 * c, 90));
            WriteCompressedTile(
                folder, QStringLiteral("%1%2_%3").arg(title.left(3).toLower()).arg(r).arg(c), tile);
        }
    RegisterMap(title, folder);
    return folder;
}
