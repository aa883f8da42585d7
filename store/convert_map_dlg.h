#pragma once

#include "ui/veldra_dialog.h"

#include <QString>
#include <cstdint>

class QLabel;
class QProgressBar;
class QPushButton;
class TileCache;

// The one-time conversion of a map's encrypted tiles (.map) into converted
// tiles (.cbm), with the user's consent: "Convert" converts every tile inside
// the button handler, showing progress after each; "Cancel" leaves without
// touching anything. Tiles converted before a failure stay converted.
class CConvertMapDlg : public CVeldraDialog {
    Q_OBJECT
public:
    explicit CConvertMapDlg(QWidget* parent = nullptr);

    // Counts the folder's .map files (busy cursor shown) into m_nTileCount
    // and returns the count. Call before showing the dialog.
    int CountMapTiles();

    // The Convert button: converts every tile, then reports success (and
    // closes as accepted) or failure (and offers Convert and Cancel again).
    void OnConvert();
    // Converts the remaining .map files in the order the folder lists them
    // (see CMapConversion), moving the progress bar after each tile; false at
    // the first tile that fails, with the tiles before it converted.
    bool ConvertAll();
    // Cancel and closing the window: refused while tiles are being converted.
    void reject() override;

    QString m_strFolder;               // device path of the map folder, set by the caller
    TileCache* m_pTileCache = nullptr; // the view's tile pipeline, not owned
    bool m_bConverted = false;         // every tile converted
    int32_t m_nTileCount = 0;          // .map files found by CountMapTiles
    int m_nWorkers;                    // threads converting tiles ahead: one per core

    // Controls, for the open-map flow's tests.
    QProgressBar* Progress() const { return m_pProgress; }
    QLabel* ConvertingLabel() const { return m_pConverting; }
    QPushButton* ConvertButton() const { return m_pConvert; }
    QPushButton* CancelButton() const { return m_pCancel; }

private:
    void ShowProgress();

    bool m_bConverting = false;      // inside ConvertAll
    QLabel* m_pConverting = nullptr; // "Converting map..."
    QProgressBar* m_pProgress = nullptr;
    QPushButton* m_pCancel = nullptr;
    QPushButton* m_pConvert = nullptr;
};
