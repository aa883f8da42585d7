#pragma once

#include "platform/image_codec.h"
#include "view/map_view_core.h"

#include <QImage>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTest>

Q_DECLARE_METATYPE(CPoint)

inline char* toString(const CPoint& p) {
    return QTest::toString(QStringLiteral("(%1, %2)").arg(p.x).arg(p.y));
}

// Every pixel of the synthetic map holds a value computed from its map
// position (zoom 1.0), so that a pixel of the back buffer or of the composed
// image tells where it came from. Never 0 (black) or 0xFFFF (white);
// neighbours always differ.
inline quint16 MapPixel(int x, int y) {
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

// A view (the core or the widget) over the synthetic map: 10 x 8 tiles of
// 500 x 500 named "TST<row>_<column>", made on demand, every fetch recorded.
// A fetched tile is valid until the next fetch.
template <class TView> class CSyntheticView : public TView {
public:
    bool FetchTile(const QString& name, const QImage*& bitmap) override {
        m_fetched.append(name);
        bitmap = nullptr;
        const QStringList parts = name.mid(3).split(QLatin1Char('_'));
        if (m_failing.contains(name) || !name.startsWith(QLatin1String("TST")) || parts.size() != 2)
            return false;
        const int left = 500 * (parts[1].toInt() - 1), top = 500 * (parts[0].toInt() - 1);
        m_tile = QImage(500, 500, kDisplayFormat);
        for (int y = 0; y < 500; ++y)
            for (int x = 0; x < 500; ++x)
                reinterpret_cast<quint16*>(m_tile.scanLine(y))[x] = MapPixel(left + x, top + y);
        bitmap = &m_tile;
        return true;
    }
    // Sets the synthetic map's tile grid and marks it open.
    void SetSyntheticMap() {
        this->m_szTilePrefix = QStringLiteral("TST");
        this->m_nTileColumns = 10;
        this->m_nTileRows = 8;
        this->m_nTileWidth = this->m_nTileHeight = 500;
        this->m_bMapOpen = true;
    }

    QStringList m_fetched;   // names in fetch order
    QSet<QString> m_failing; // names whose fetch fails
    QImage m_tile;
};

// The core over the synthetic map, with counted fetches and presents.
class CFakeView : public CSyntheticView<CMapViewCore> {
public:
    void ShowComposedImage() override { ++m_nPresents; }

    // Shows the map in a 240 x 268 client area centred on a map position,
    // then forgets the fetches and presents.
    void Open(CPoint centre = {2000, 1500}, double zoom = 1.0) {
        CreateDrawingSurfaces();
        SetSyntheticMap();
        m_ptPending = centre;
        ApplyZoom(240, 268, zoom);
        Forget();
    }
    void Forget() {
        m_fetched.clear();
        m_nPresents = 0;
    }
    QStringList Fetched() const {
        QStringList names = m_fetched;
        names.sort();
        return names;
    }
    // The map pixel at a zoomed position (zoom 1.0 or 2.0).
    quint16 Zoomed(int x, int y) const { return MapPixel(int(x / m_dZoom), int(y / m_dZoom)); }
    // The first back-buffer pixel not showing its map position.
    QString BufferMismatch() const {
        for (int by = 0; by < m_nBufferHeight; ++by)
            for (int bx = 0; bx < m_nBufferWidth; ++bx)
                if (RawPixel(m_hbmBuffer, bx, by) !=
                    Zoomed(m_ptBufferOrigin.x + bx, m_ptBufferOrigin.y + by))
                    return QStringLiteral("buffer (%1, %2)").arg(bx).arg(by);
        return {};
    }
    // The client image without overlays.
    QImage Plain() const { return m_hbmCompose.copy(0, 0, m_nClientWidth, m_nClientHeight); }

    int m_nPresents = 0;
};
