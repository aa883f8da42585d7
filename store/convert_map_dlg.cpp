#include "store/convert_map_dlg.h"

#include "platform/device_root.h"
#include "res/bitmaps.h"
#include "store/map_conversion.h"
#include "store/tile_cache.h"
#include "ui/busy_cursor.h"
#include "ui/ui_seam.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace {

const char kConvertedMessage[] = "Conversion process complete";
const char kFailedMessage[] = "An error occurred during the conversion process.  Please check the "
                              "available memory on your Pocket PC";

// Keeps the machine awake during a long conversion, as far as the desktop
// lets a program do so. There is no portable way here, so it does nothing;
// it must never make a tile fail.
void KeepAwake() {}

} // namespace

CConvertMapDlg::CConvertMapDlg(QWidget* parent)
    : CVeldraDialog(parent, QStringLiteral("IMPORTANT!!!"), QSize(158, 164)),
      m_nWorkers(CMapConversion::AllCores()) {
    auto text = [this](int x, int y, int w, int h, const char* content) {
        return AddText(x, y, w, h, QString::fromLatin1(content));
    };
    text(40, 10, 89, 11, "MAP CONVERSION");
    AddPicture(5, 3, MapsLogoBitmap());
    text(5, 29, 149, 24,
         "To provide optimum performance, this map needs to be converted to special format "
         "specific to this device.");
    text(5, 64, 149, 24,
         "This conversion process may take a few minutes, but only needs to be performed once.");
    text(5, 90, 149, 20, "To start the conversion press Convert.");

    m_pConverting = text(7, 120, 66, 8, "Converting map...");
    m_pConverting->hide();
    m_pProgress = new QProgressBar(this);
    m_pProgress->setGeometry(DluRect(7, 130, 130, 9));
    m_pProgress->setTextVisible(false);
    m_pProgress->hide();

    m_pCancel = AddButton(QStringLiteral("Cancel"), 21, 142, 44, 14);
    connect(m_pCancel, &QPushButton::clicked, this, &QDialog::reject);
    m_pConvert = AddButton(QStringLiteral("Convert"), 81, 142, 44, 14);
    connect(m_pConvert, &QPushButton::clicked, this, &CConvertMapDlg::OnConvert);
}

int CConvertMapDlg::CountMapTiles() {
    CBusyCursor busy;
    // Every opening of a map passes here: the place to clear what a kill left.
    RemoveTileLeftovers(m_strFolder);
    m_nTileCount = CountFiles(m_strFolder, QStringLiteral("*.map"));
    return m_nTileCount;
}

void CConvertMapDlg::ShowProgress() {
    m_pProgress->show();
    m_pConverting->show();
}

void CConvertMapDlg::OnConvert() {
    ShowProgress();
    m_pConvert->setEnabled(false);
    m_pCancel->setEnabled(false);
    if (ConvertAll()) {
        VeldraMessageBox(this, QString::fromLatin1(kConvertedMessage), QMessageBox::Ok,
                         QMessageBox::NoIcon);
        m_bConverted = true;
        accept();
        return;
    }
    VeldraMessageBox(this, QString::fromLatin1(kFailedMessage), QMessageBox::Ok,
                     QMessageBox::Critical);
    m_pConvert->setEnabled(true);
    m_pCancel->setEnabled(true);
}

bool CConvertMapDlg::ConvertAll() {
    m_bConverting = true;
    ShowProgress();
    repaint();
    m_pProgress->setRange(0, m_nTileCount);
    m_pProgress->setValue(0);
    // Workers convert tiles ahead; this thread writes the files and keeps the
    // dialog painted while it waits for them. User input waits until the end
    // (both buttons are disabled and closing is refused meanwhile).
    CMapConversion conversion(m_strFolder, m_nWorkers);
    conversion.m_onProgress = [this](int converted) {
        m_pProgress->setValue(qMin(converted, m_pProgress->maximum()));
        m_pProgress->repaint();
        KeepAwake();
    };
    conversion.m_onWait = [] {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    };
    const bool converted = conversion.Run();
    m_bConverting = false;
    if (m_pTileCache != nullptr)
        m_pTileCache->ForgetTiles(m_strFolder); // tiles drawn before are stale now
    return converted;
}

void CConvertMapDlg::reject() {
    if (!m_bConverting)
        CVeldraDialog::reject();
}
