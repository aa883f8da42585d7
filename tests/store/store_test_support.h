#pragma once

#include "platform/crypto.h"
#include "platform/image_codec.h"
#include "store/tile_key.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QPainter>
#include <signal.h>
#include <sys/resource.h>

// Builds a .map tile file around an image file: a 4-byte plain header, 52
// filler bytes and the image, with bytes 4 onward RC4-encrypted from key-stream
// position 0 with the tile key (RC4 is symmetric, so this is the decryption run
// the other way).
inline QByteArray EncryptTile(const QByteArray& imageFile) {
    QByteArray file("VTL1");
    for (int i = 0; i < 52; ++i)
        file.append(char(0xA0 + i));
    file.append(imageFile);
    const auto material = MakeTileKeyMaterial();
    CRc4 rc4(DeriveRc4Key(material.data(), material.size()));
    rc4.Crypt(reinterpret_cast<uint8_t*>(file.data()) + 4, size_t(file.size() - 4));
    return file;
}

// An image file of the given format ("PNG", "BMP", "JPG", "GIF").
inline QByteArray EncodeImage(const QImage& image, const char* format = "PNG") {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// A display-format picture whose content depends on seed: bands, a grid of
// lines and a filled block, so that two seeds give different pixels.
inline QImage TestPicture(int width, int height, int seed) {
    QImage image(width, height, kDisplayFormat);
    image.fill(QColor::fromHsv((seed * 47) % 360, 60, 230));
    QPainter painter(&image);
    painter.setPen(QPen(QColor::fromHsv((seed * 97) % 360, 200, 120), 3));
    for (int x = seed % 37; x < width; x += 41)
        painter.drawLine(x, 0, x + seed % 50, height);
    for (int y = seed % 23; y < height; y += 29)
        painter.drawLine(0, y, width, y + 7);
    painter.fillRect(width / 4, height / 3, width / 3, height / 5,
                     QColor::fromHsv((seed * 13) % 360, 255, 200));
    return image;
}

// Lowers the process's file-size limit for its lifetime, so that writes past
// limit bytes fail part-way (EFBIG) instead of raising SIGXFSZ.
class CFileSizeLimit {
public:
    explicit CFileSizeLimit(rlim_t limit) {
        m_previousHandler = signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_previous);
        rlimit lowered = m_previous;
        lowered.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~CFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_previous);
        signal(SIGXFSZ, m_previousHandler);
    }
    CFileSizeLimit(const CFileSizeLimit&) = delete;
    CFileSizeLimit& operator=(const CFileSizeLimit&) = delete;

private:
    rlimit m_previous{};
    sighandler_t m_previousHandler;
};
