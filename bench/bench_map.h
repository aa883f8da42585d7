#pragma once

// A converted map of street-like tiles in a temporary device root, shown by a
// view that counts its tile fetches: the set-up of the redraw benchmarks.

#include "bench_support.h"
#include "platform/device_root.h"
#include "store/tile_cache.h"
#include "view/map_view_core.h"

#include <QBuffer>
#include <QDir>
#include <QTemporaryDir>

namespace bench {

// The view with its fetches counted.
class CCountingView : public CMapViewCore {
public:
    bool FetchTile(const QString& tileName, const QImage*& bitmap) override {
        ++m_nFetches;
        return CMapViewCore::FetchTile(tileName, bitmap);
    }
    uint64_t m_nFetches = 0;
};

// grid x grid converted tiles named "<prefix><row>_<column>" in \Veldra\Maps\<name>,
// with the white template tile, opened in the view at zoom 1.0 in a 240 x 268
// client area centred on the map's middle. ok is false when a step failed.
struct CBenchMap {
    QTemporaryDir root;
    CCountingView view;
    bool ok = false;

    CBenchMap(const QString& name, const QString& prefix, int grid) {
        if (!root.isValid())
            return;
        SetDeviceRoot(root.path());
        QDir(root.path()).mkpath(QStringLiteral("Veldra/Maps/") + name);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QImage white(500, 500, kDisplayFormat);
        white.fill(Qt::white);
        white.save(&buffer, "PNG");
        if (!WriteHostFile(root.filePath(QStringLiteral("Veldra/Maps/tpl.map")),
                           EncryptedTile(png)))
            return;
        view.m_szMapFolder = QStringLiteral("\\Veldra\\Maps\\") + name;
        view.m_szTilePrefix = prefix;
        for (int r = 1; r <= grid; ++r)
            for (int c = 1; c <= grid; ++c)
                if (!WriteCompressedTile(
                        view.m_szMapFolder, QStringLiteral("%1%2_%3").arg(prefix).arg(r).arg(c),
                        StreetMapPicture(unsigned(r * 31 + c))))
                    return;
        if (!view.CreateDrawingSurfaces() || !view.ResetViewState())
            return;
        view.m_bMapOpen = true;
        view.m_ptPending = {grid * 250, grid * 250};
        view.ApplyZoom(240, 268, 1.0);
        ok = view.m_nTileColumns == grid && view.m_nTileRows == grid;
    }
};

} // namespace bench
