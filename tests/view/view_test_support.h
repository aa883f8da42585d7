#pragma once

#include "platform/image_codec.h"

#include <QHash>
#include <QImage>
#include <QSet>
#include <QString>
#include <QStringList>

// A synthetic map for view tests: tiles are made on demand, and every pixel
// holds a value computed from its map position (zoom 1.0), so that a pixel of
// the back buffer or of the composed image tells where it came from.
inline quint16 MapPixel(int x, int y) {
    // Never 0 (black) or 0xFFFF (white); neighbours always differ.
    return quint16((x * 31 + y * 17) % 0xFFF0 + 8);
}

inline quint16 RawPixel(const QImage& image, int x, int y) {
    return reinterpret_cast<const quint16*>(image.constScanLine(y))[x];
}

// The RGB565 value a 24-bit colour becomes on the display.
inline quint16 Rgb565(QRgb colour) {
    QImage one(1, 1, kDisplayFormat);
    one.setPixel(0, 0, colour);
    return RawPixel(one, 0, 0);
}

// Serves the tiles of the synthetic map by name and records every fetch.
class CSyntheticTiles {
public:
    bool Fetch(const QString& prefix, const QString& name, const QImage*& bitmap) {
        m_fetched.append(name);
        bitmap = nullptr;
        if (m_failing.contains(name) || !name.startsWith(prefix))
            return false;
        const QStringList parts = name.mid(prefix.size()).split(QLatin1Char('_'));
        if (parts.size() != 2)
            return false;
        const int row = parts[0].toInt();
        const int column = parts[1].toInt();
        auto it = m_cache.find(name);
        if (it == m_cache.end()) {
            QImage tile(500, 500, kDisplayFormat);
            for (int y = 0; y < 500; ++y) {
                auto* line = reinterpret_cast<quint16*>(tile.scanLine(y));
                for (int x = 0; x < 500; ++x)
                    line[x] = MapPixel(500 * (column - 1) + x, 500 * (row - 1) + y);
            }
            it = m_cache.insert(name, tile);
        }
        bitmap = &it.value();
        return true;
    }

    QStringList m_fetched;   // names in fetch order
    QSet<QString> m_failing; // names whose fetch fails
    QHash<QString, QImage> m_cache;
};
