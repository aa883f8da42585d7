#include "store/map_library_dlg.h"

#include "res/bitmaps.h"
#include "res/resource.h"
#include "ui/busy_cursor.h"
#include "ui/list_items.h"
#include "ui/ui_seam.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>

namespace {

// List columns.
constexpr int kColumnTitle = 0;
constexpr int kColumnSize = 1;
constexpr int kColumnFolder = 2;

// The choice of map could not be saved in the registry: what stands in the
// way, named by the registry layer.
const char kNotMarked[] = "The list of installed maps cannot be changed: %1. The map chosen "
                          "will not be opened by itself at the next start.";

} // namespace

CMapLibraryDlg::CMapLibraryDlg(QWidget* parent)
    : CVeldraDialog(parent, QString::fromLatin1(kAppTitle) + QStringLiteral(" Maps"),
                    QSize(165, 164)) {
    AddPicture(7, 7, MapsLogoBitmap());
    AddText(39, 14, 112, 10, QStringLiteral("Select a Map:"));

    m_pList = new QTreeWidget(this);
    m_pList->setGeometry(DluRect(7, 36, 146, 97));
    m_pList->setRootIsDecorated(false);
    m_pList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_pList->setSortingEnabled(true);
    m_pList->sortByColumn(kColumnTitle, Qt::AscendingOrder);
    m_pList->header()->setSectionsClickable(false);
    m_pList->header()->setStretchLastSection(false);
    m_pList->viewport()->installEventFilter(this);
    // A map chosen with the keys enables the buttons as a tap does; a double
    // click opens it.
    connect(m_pList, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (FirstSelectedRow() != nullptr)
            OnListClick();
    });
    connect(m_pList, &QTreeWidget::itemDoubleClicked, this, &CMapLibraryDlg::OnOK);

    m_pDelete = AddButton(QStringLiteral("Delete"), 7, 138, 44, 14);
    connect(m_pDelete, &QPushButton::clicked, this, &CMapLibraryDlg::OnDeleteMap);
    m_pCancel = AddButton(QStringLiteral("Cancel"), 54, 138, 44, 14);
    connect(m_pCancel, &QPushButton::clicked, this, &CMapLibraryDlg::OnCancel);
    m_pOpen = AddButton(QStringLiteral("Open Map"), 101, 138, 50, 14);
    m_pOpen->setDefault(true);
    connect(m_pOpen, &QPushButton::clicked, this, &CMapLibraryDlg::OnOK);

    AddText(44, 155, 77, 8, QStringLiteral("www.example.com"));
}

void CMapLibraryDlg::OnInitDialog() {
    FillMapList();
    m_pOpen->setEnabled(false);
    m_pDelete->setEnabled(false);
}

void CMapLibraryDlg::FillMapList() {
    m_pList->clear();
    m_pList->setColumnCount(3);
    m_pList->setHeaderLabels({QStringLiteral("Map"), QStringLiteral("Size"), QString()});
    m_pList->setColumnWidth(kColumnTitle, 146);
    m_pList->setColumnWidth(kColumnSize, 70);
    m_pList->setColumnWidth(kColumnFolder, 0);
    m_pList->setColumnHidden(kColumnFolder, true);

    const std::optional<std::vector<ListedMap>> maps = ListLibraryMaps();
    if (!maps)
        return;
    for (const ListedMap& map : *maps) {
        auto* row = new CTextSortedItem();
        row->setText(kColumnTitle, map.title);
        row->setText(kColumnSize, FormatMapSize(map.size));
        row->setText(kColumnFolder, map.folder);
        m_pList->addTopLevelItem(row);
    }
}

QTreeWidgetItem* CMapLibraryDlg::FirstSelectedRow() const {
    for (int i = 0; i < m_pList->topLevelItemCount(); ++i)
        if (QTreeWidgetItem* row = m_pList->topLevelItem(i); row->isSelected())
            return row;
    return nullptr;
}

void CMapLibraryDlg::OnListClick() {
    m_pOpen->setEnabled(true);
    m_pDelete->setEnabled(true);
}

void CMapLibraryDlg::OnOK() {
    const QTreeWidgetItem* row = FirstSelectedRow();
    if (!row)
        return;
    m_strMapTitle = row->text(kColumnTitle);
    m_strMapFolder = row->text(kColumnFolder);
    if (QString obstacle; !MarkCurrentMap(&obstacle))
        WarnNotMarked(obstacle);
    m_bCancelled = false;
    QDialog::accept();
}

void CMapLibraryDlg::OnCancel() {
    m_bCancelled = true;
    QDialog::reject();
}

void CMapLibraryDlg::OnDeleteMap() {
    const QTreeWidgetItem* row = FirstSelectedRow();
    if (!row)
        return;
    const QString title = row->text(kColumnTitle);
    const QString folder = row->text(kColumnFolder);
    const QString question = QStringLiteral("Are you sure you want to delete the \"") + title +
                             QStringLiteral("\" map?");
    if (VeldraMessageBox(this, question, QMessageBox::Yes | QMessageBox::No, QMessageBox::NoIcon) !=
        QMessageBox::Yes)
        return;

    bool readable;
    {
        CBusyCursor busy;
        readable = DeleteInstalledMap(title, folder);
    }
    if (readable)
        FillMapList();
}

bool CMapLibraryDlg::PreselectMap(bool& skipDialog) {
    skipDialog = true;
    QString obstacle;
    const std::optional<ListedMap> chosen = PreselectInstalledMap(&obstacle);
    if (!chosen)
        return false;
    WarnNotMarked(obstacle);
    m_strMapTitle = chosen->title;
    m_strMapFolder = chosen->folder;
    skipDialog = !chosen->folder.isEmpty() || !chosen->title.isEmpty();
    return true;
}

void CMapLibraryDlg::WarnNotMarked(const QString& obstacle) {
    if (!obstacle.isEmpty())
        VeldraMessageBox(this, QString::fromLatin1(kNotMarked).arg(obstacle), QMessageBox::Ok,
                         QMessageBox::Warning);
}

bool CMapLibraryDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pList->viewport() && event->type() == QEvent::MouseButtonPress)
        OnListClick();
    return CVeldraDialog::eventFilter(watched, event);
}
