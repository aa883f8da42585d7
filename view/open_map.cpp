// Opening a map: choosing it (preselected at start-up, else through the map
// library), converting its tiles once, reading its calibration and showing it
// at its Home or its middle.

#include "platform/registry.h"
#include "res/resource.h"
#include "store/convert_map_dlg.h"
#include "store/map_calibration.h"
#include "store/map_folder.h"
#include "store/map_library_dlg.h"
#include "ui/ui_seam.h"
#include "view/map_view.h"

namespace {
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
    const bool wasOpen = m_bMapOpen;
    // Only the first attempt of the start-up open may skip the dialog.
    bool mayPreselect = automatic;
    for (;;) {
        m_bMapOpen = false; // nothing is painted while the dialogs are up
        CMapLibraryDlg library(this);
        bool skipDialog = false;
        if (mayPreselect)
            library.PreselectMap(skipDialog);
        mayPreselect = false;
        if (!skipDialog)
            library.DoModal();
        // The library may have deleted maps, and a map opened again may have
        // been replaced since it was drawn: no kept tile is trusted after it.
        m_tileCache.ForgetTiles();
        if (const std::optional<uint32_t> megabytes =
                RegQueryDword(QString::fromLatin1(kViewerKey), QStringLiteral("TileCacheMB")))
            m_tileCache.SetCacheLimit(int64_t(*megabytes) << 20);

        if (library.m_bCancelled) {
            m_bMapOpen = wasOpen;
            if (!wasOpen || TileFileExists(1, 1)) {
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
            m_bMapOpen = wasOpen;
            update();
            return;
        }

        // Declining the conversion leads back to the library, never straight
        // to the conversion again.
        if (!EnsureMapConverted(library.m_strMapFolder))
            continue;

        // Titles longer than the view keeps are cut; the cut title names the
        // map's places consistently from run to run. Folders are at most 49
        // characters long, so they always fit.
        m_szMapTitle = library.m_strMapTitle.left(MAX_MAP_TEXT);
        m_szMapFolder = library.m_strMapFolder.left(MAX_MAP_TEXT);
        m_szTilePrefix = TilePrefix(m_szMapTitle);
        ReadMapCalibration(library.m_strMapTitle, library.m_strMapFolder, m_calibration);
        ResetViewState();
        m_bMapOpen = true;
        if (!GoToHome()) {
            SetInitialCentre();
            ApplyZoom(m_nClientWidth, m_nClientHeight, m_dZoom);
        }
        return;
    }
}

void CVeldraViewerView::OnOpenMap() {
    OpenMap(false);
}

void CVeldraViewerView::OnOpenMapAtStartup() {
    OpenMap(true);
    if (m_szMapFolder.isEmpty())
        CloseApplication();
}

bool CVeldraViewerView::EnsureMapConverted(const QString& folder) {
    CConvertMapDlg convert(this);
    convert.m_szFolder = folder;
    convert.m_pTileCache = &m_tileCache;
    if (convert.CountMapTiles() > 0) {
        convert.DoModal();
        return convert.m_bConverted;
    }
    return true;
}
