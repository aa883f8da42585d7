#include "view/about_dlg.h"

#include "res/bitmaps.h"
#include "res/resource.h"

#include <QPushButton>

namespace {

// The publisher of the maps and the maker of the software. Both are invented
// for this program; the addresses use reserved example domains and the
// telephone number a range kept for fiction.
const char kPublisherWeb[] = "www.example.com";
const char kPublisherEmail[] = "maps@example.org";
const char kPublisherTel[] = "+44 (0)1632 960418";
const char kMapsNotice[] = "Maps \u00a9 2026 Norvane Cartography";
const char kCreditMaker[] = " software written by\nTarnlight Software";
const char kMakerWeb[] = "www.example.net";
const char kSoftwareNotice[] = "\u00a9 2026 Tarnlight Software";

} // namespace

CAboutDlg::CAboutDlg(QWidget* parent)
    : CVeldraDialog(parent, QStringLiteral("Dialog"), QSize(170, 169)) {
    auto text = [this](int x, int y, int w, int h, const char* content,
                       Qt::Alignment align = Qt::AlignLeft | Qt::AlignTop) {
        return AddText(x, y, w, h, QString::fromUtf8(content), align);
    };

    AddPicture(30, 3, AboutTitleBitmap());
    text(22, 43, 31, 8, "web:");
    text(56, 43, 76, 8, kPublisherWeb);
    text(22, 52, 31, 8, "email:");
    text(56, 52, 80, 8, kPublisherEmail);
    text(22, 61, 31, 8, "tel:");
    text(56, 61, 72, 8, kPublisherTel);
    text(10, 71, 148, 8, kMapsNotice);
    AddText(3, 94, 152, 16, QString::fromLatin1(kAppTitle) + QString::fromLatin1(kCreditMaker),
            Qt::AlignHCenter | Qt::AlignTop);
    AddPicture(7, 109, MakerLogoBitmap());
    text(63, 117, 18, 8, "web:");
    text(84, 117, 61, 8, kMakerWeb);
    text(30, 135, 95, 8, kSoftwareNotice);
    text(104, 154, 53, 8, kVersionLine, Qt::AlignRight | Qt::AlignTop);

    m_pOk = AddButton(QStringLiteral("OK"), 52, 149, 48, 12);
    m_pOk->setDefault(true);
    connect(m_pOk, &QPushButton::clicked, this, &QDialog::accept);
}
