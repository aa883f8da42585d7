#pragma once

#include "platform/image_codec.h"
#include "test_support.h"
#include "view/map_canvas.h"

#include <QImage>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTest>

Q_DECLARE_METATYPE(CPoint)

inline char* toString(const CPoint& p) {
    return QTest::toString(QStringLiteral("(%1, %2)").arg(p.x).arg(p.y));
}

// The synthetic map's pixel at a map position: never black or white,
// neighbours differ, so a drawn pixel tells where it came from.
inline quint16 MapPixel(int x, int y) {
    return quint16((x * 31 + y * 17) % 0xFFF0 + 8);
}

inline quint16 RawPixel(const QImage& image, int x, int y) {
    return reinterpret_cast<const quint16*>(image.constScanLine(y))[x];
}

// The synthetic map "Testmap": 10 x 8 tiles "tes<row>_<column>" drawn on
// demand, every fetch recorded; its folder holds empty files of those names
// for the grid. A fetched tile is valid until the next fetch.
class CSyntheticMap {
public:
    explicit CSyntheticMap(const CTestRoot& root) {
        for (int r = 1; r <= 8; ++r)
            for (int c = 1; c <= 10; ++c)
                root.WriteFile(QStringLiteral("Veldra/Maps/Synthetic/tes%1_%2.cbm").arg(r).arg(c),
                               {});
    }
    OpenedMap Map(int32_t scale = 0) const {
        return {QStringLiteral("Testmap"), QStringLiteral("\\Veldra\\Maps\\Synthetic"),
                MapCalibration{.nScale = scale}, {}};
    }
    CMapCanvas::TileSource Source() {
        return [this](const QString& name, const QImage*& tile) { return Fetch(name, tile); };
    }
    bool Fetch(const QString& name, const QImage*& tile) {
        fetched.append(name);
        const QStringList parts = name.mid(3).split(QLatin1Char('_'));
        if (failing.contains(name) || !name.startsWith(QLatin1String("tes")) || parts.size() != 2)
            return false;
        const int left = 500 * (parts[1].toInt() - 1), top = 500 * (parts[0].toInt() - 1);
        m_tile = QImage(500, 500, kDisplayFormat);
        for (int y = 0; y < 500; ++y)
            for (int x = 0; x < 500; ++x)
                reinterpret_cast<quint16*>(m_tile.scanLine(y))[x] = MapPixel(left + x, top + y);
        tile = &m_tile;
        return true;
    }

    QStringList fetched;   // names in fetch order
    QSet<QString> failing; // names whose fetch fails

private:
    QImage m_tile;
};

// A canvas over the synthetic map in a device root of its own, in a 240 x 268
// client area, counting what it presents and recording the marking buttons.
struct CTestCanvas {
    CTestRoot root;
    CSyntheticMap map{root};
    CViewport viewport;
    COverlays overlays;
    CMapCanvas canvas{viewport, overlays};
    int nPresents = 0;
    bool bButton[2] = {false, false}; // MARKER_ME, MARKER_FLAG pressed

    CTestCanvas() {
        canvas.SetTileSource(map.Source());
        canvas.SetPresenter([this] { ++nPresents; });
        overlays.SetMarkButtonHandler(
            [this](int marker, bool pressed) { bButton[marker] = pressed; });
        if (!canvas.CreateDrawingSurfaces())
            qWarning("no drawing surfaces");
        canvas.Resize(240, 268);
    }
    // Shows the map centred on a map position, then forgets fetches and presents.
    void Open(CPoint centre = {2000, 1500}, double zoom = 1.0, int32_t scale = 0) {
        canvas.ShowMap(map.Map(scale));
        canvas.CentreOnMapPosition(centre, zoom, CTargetCross::Keep);
        Forget();
    }
    void Forget() {
        map.fetched.clear();
        nPresents = 0;
    }
    QStringList Fetched() const {
        QStringList names = map.fetched;
        names.sort();
        return names;
    }
    // A tap at a client point: stylus down and up.
    void Tap(int x, int y) {
        canvas.OnLButtonDown(x, y);
        canvas.OnLButtonUp(x, y);
    }
    // The map pixel at a zoomed position (at 0.25 the second of each 4 x 4).
    quint16 Zoomed(int x, int y) const {
        const int skip = viewport.Zoom() == 0.25 ? 1 : 0;
        return MapPixel(int(x / viewport.Zoom()) + skip, int(y / viewport.Zoom()) + skip);
    }
    // The first buffer pixel, else client pixel (white beyond the map), that
    // does not show its map position; empty when there is none.
    QString Mismatch() const {
        const CPoint buffer = viewport.BufferOrigin(), screen = viewport.ScreenOrigin();
        const QSize size(std::min(viewport.BufferWidth(), viewport.MapWidth() - buffer.x),
                         std::min(viewport.BufferHeight(), viewport.MapHeight() - buffer.y));
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                if (RawPixel(canvas.BackBuffer(), x, y) != Zoomed(buffer.x + x, buffer.y + y))
                    return QStringLiteral("buffer (%1, %2)").arg(x).arg(y);
        const QImage client = canvas.ClientImage();
        for (int y = 0; y < client.height(); ++y)
            for (int x = 0; x < client.width(); ++x) {
                const QPoint at(screen.x + x - buffer.x, screen.y + y - buffer.y);
                const quint16 want = QRect(QPoint(), size).contains(at)
                                         ? Zoomed(screen.x + x, screen.y + y)
                                         : 0xFFFF;
                if (RawPixel(client, x, y) != want)
                    return QStringLiteral("client (%1, %2)").arg(x).arg(y);
            }
        return {};
    }
};
