// Opening a map: choosing it (preselected at start-up, else through the map
// library), converting its tiles once, reading its calibration and
// geo-reference and showing it at its Home or its middle.

#include "platform/registry.h"
#include "res/resource.h"
#include "store/convert_map_dlg.h"
#include "store/geo_reference.h"
#include "store/map_calibration.h"
#include "store/map_library_dlg.h"
#include "ui/ui_seam.h"
#include "view/map_view.h"

namespace {
const char kRegistryUnreadable[] = "The list of installed maps, %1, cannot be read, so no map can "
                                   "be opened. The file has been left as it is.";
// The viewer's own settings. TileCacheMB (a number, in megabytes, 0 for none)
// overrides how many decoded tiles are kept for drawing.
const char kViewerKey[] = "Software\\Veldra\\VeldraViewer";
QString MapGoneQuestion() {
    return QStringLiteral("The current map no longer exists.\r\n\r\nSelect Yes to choose "
                          "another map, or No to close ") +
           QString::fromLatin1(kAppTitle);
}
} // namespace

void CVeldraViewerView::OpenMap(bool automatic) {
    const bool wasOpen = m_canvas.IsMapOpen();
    // An unreadable registry would look like one without maps; say so, and
    // name the file, which no registry write ever replaces.
    if (!RegistryIsReadable())
        VeldraMessageBox(this, QString::fromLatin1(kRegistryUnreadable).arg(RegistryFilePath()),
                         QMessageBox::Ok, QMessageBox::Warning);
    // Only the first attempt of the start-up open may skip the dialog.
    bool mayPreselect = automatic;
    for (;;) {
        m_canvas.SetMapOpen(false); // nothing is painted while the dialogs are up
        CMapLibraryDlg library(this);
        bool skipDialog = false;
        if (mayPreselect)
            library.PreselectMap(skipDialog);
        mayPreselect = false;
        if (!skipDialog)
            library.DoModal();
        // The library may have deleted maps, and a map opened again may have
        // been replaced since it was drawn: no kept tile is trusted after it.
        m_canvas.Tiles().ForgetTiles();
        if (const std::optional<uint32_t> megabytes =
                RegQueryDword(QString::fromLatin1(kViewerKey), QStringLiteral("TileCacheMB")))
            m_canvas.Tiles().SetCacheLimit(int64_t(*megabytes) << 20);

        if (library.m_bCancelled) {
            m_canvas.SetMapOpen(wasOpen);
            if (!wasOpen || m_canvas.TileFileExists(1, 1)) {
                update(); // repaint the map that was open, if any
                return;
            }
            // The open map was deleted in the library.
            if (VeldraMessageBox(this, MapGoneQuestion(), QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::Warning) == QMessageBox::Yes)
                continue;
            CloseApplication();
            return;
        }

        if (library.m_strMapTitle.isEmpty() && library.m_strMapFolder.isEmpty()) {
            // Nothing chosen (no installed map at start-up): the map on
            // screen, if any, stays, and no tiles are looked for in the
            // device root.
            m_canvas.SetMapOpen(wasOpen);
            update();
            return;
        }

        // Declining the conversion leads back to the library, never straight
        // to the conversion again.
        if (!EnsureMapConverted(library.m_strMapFolder))
            continue;

        // A map without calibration opens all the same, with a zero one, and
        // one without a (usable) geo-reference without a place on Earth.
        OpenedMap map{library.m_strMapTitle, library.m_strMapFolder, {}, {}};
        ReadMapCalibration(map.strTitle, map.strFolder, map.calibration);
        map.geo = ReadGeoReference(map.strFolder);
        m_canvas.ShowMap(map);
        emit CommandsChanged();
        return;
    }
}

void CVeldraViewerView::OnOpenMap() {
    OpenMap(false);
}

void CVeldraViewerView::OnOpenMapAtStartup() {
    OpenMap(true);
    if (m_canvas.MapFolder().isEmpty())
        CloseApplication();
}

bool CVeldraViewerView::EnsureMapConverted(const QString& folder) {
    CConvertMapDlg convert(this);
    convert.m_strFolder = folder;
    convert.m_pTileCache = &m_canvas.Tiles();
    if (convert.CountMapTiles() > 0) {
        convert.DoModal();
        return convert.m_bConverted;
    }
    return true;
}
