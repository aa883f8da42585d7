#pragma once

// A converted map of street-like tiles in a temporary device root, shown by a
// map canvas that counts its tile fetches: the set-up of the redraw benchmarks.

#include "bench_support.h"
#include "platform/device_root.h"
#include "store/map_folder.h"
#include "store/tile_cache.h"
#include "view/map_canvas.h"

#include <QBuffer>
#include <QDir>
#include <QTemporaryDir>

namespace bench {

// grid x grid converted tiles of the map <title> in \Veldra\Maps\<title>,
// with the white template tile, shown by a canvas in a 240 x 268 client area
// centred on the map's middle at zoom 1.0, its tile fetches counted. ok is
// false when a step failed.
struct CBenchMap {
    QTemporaryDir root;
    CViewport viewport;
    COverlays overlays;
    CMapCanvas canvas{viewport, overlays};
    uint64_t nFetches = 0;
    bool ok = false;

    CBenchMap(const QString& title, int grid) {
        if (!root.isValid())
            return;
        SetDeviceRoot(root.path());
        QDir(root.path()).mkpath(QStringLiteral("Veldra/Maps/") + title);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QImage white(500, 500, kDisplayFormat);
        white.fill(Qt::white);
        white.save(&buffer, "PNG");
        if (!WriteHostFile(root.filePath(QStringLiteral("Veldra/Maps/tpl.map")),
                           EncryptedTile(png)))
            return;
        const QString folder = QStringLiteral("\\Veldra\\Maps\\") + title;
        for (int r = 1; r <= grid; ++r)
            for (int c = 1; c <= grid; ++c)
                if (!WriteCompressedTile(
                        folder, QStringLiteral("%1%2_%3").arg(TilePrefix(title)).arg(r).arg(c),
                        StreetMapPicture(unsigned(r * 31 + c))))
                    return;
        canvas.SetTileSource([this, folder](const QString& tileName, const QImage*& tile) {
            ++nFetches;
            return canvas.Tiles().GetTileBitmap(folder, tileName, tile);
        });
        if (!canvas.CreateDrawingSurfaces())
            return;
        canvas.Resize(240, 268);
        canvas.ShowMap({title, folder, {}});
        ok = viewport.TileColumns() == grid && viewport.TileRows() == grid &&
             viewport.Centre() == CPoint{grid * 250, grid * 250};
    }
};

} // namespace bench
