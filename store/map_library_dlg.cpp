// Installed maps live in the registry under Software\Apps, one key per map
// named "Veldra Pocket map of " followed by the map's title:
//   InstallDir  text    the map folder (a device path, at most 49 characters)
//   Current     number  1 on the map chosen last, 0 on every other map

#include "store/map_library_dlg.h"

#include "ui/busy_cursor.h"
#include "ui/ui_seam.h"
#include "platform/device_root.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "res/bitmaps.h"
#include "res/resource.h"

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>
#include <optional>
#include <vector>

namespace {

const char kAppsKey[] = "Software\\Apps";
const char kMapKeyPrefix[] = "Veldra Pocket map of ";
// Longest key name and InstallDir value that the registry reads return, in
// characters; longer ones cannot be read and their keys are passed over.
constexpr int kMaxKeyName = 254;
constexpr int kMaxInstallDir = 49;
// List columns.
constexpr int kColumnTitle = 0;
constexpr int kColumnSize = 1;
constexpr int kColumnFolder = 2;

struct InstalledMap {
    QString key;    // full key path under HKEY_LOCAL_MACHINE
    QString title;  // key name after the prefix
    QString folder; // InstallDir
};

// Every installed-map key whose InstallDir can be read, in registry order;
// nothing when Software\Apps cannot be opened.
std::optional<std::vector<InstalledMap>> WalkInstalledMaps() {
    const QString apps = QString::fromLatin1(kAppsKey);
    const std::optional<QStringList> names = RegEnumSubkeys(apps);
    if (!names)
        return std::nullopt;
    const QString prefix = QString::fromLatin1(kMapKeyPrefix);
    std::vector<InstalledMap> maps;
    for (const QString& name : *names) {
        if (name.size() > kMaxKeyName || !name.startsWith(prefix, Qt::CaseSensitive))
            continue;
        const QString key = apps + u'\\' + name;
        const std::optional<QString> folder = RegQueryString(key, QStringLiteral("InstallDir"));
        if (!folder || folder->size() > kMaxInstallDir)
            continue;
        maps.push_back({key, name.mid(prefix.size()), *folder});
    }
    return maps;
}

// A row of the list; rows sort by title without regard to letter case.
class CMapListItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override {
        const QString a = text(kColumnTitle);
        const QString b = other.text(kColumnTitle);
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    }
};

// Host path of a device path with every symbolic link resolved except in the
// last component, so that a link is compared as itself and not as its target.
QString ResolvedPath(const QString& devicePath) {
    const QFileInfo info(HostPath(devicePath));
    const QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (parent.isEmpty())
        return QDir::cleanPath(info.absoluteFilePath());
    return QDir::cleanPath(parent + u'/' + info.fileName());
}

} // namespace

CMapLibraryDlg::CMapLibraryDlg(QWidget* parent)
    : CVeldraDialog(parent, QString::fromLatin1(kAppTitle) + QStringLiteral(" Maps"), QSize(165, 164)) {
    AddPicture(7, 7, MapsLogoBitmap());
    AddText(39, 14, 112, 10, QStringLiteral("Select a Map:"));

    m_pList = new QTreeWidget(this);
    m_pList->setObjectName(QStringLiteral("control%1").arg(IDC_MAP_LIST));
    m_pList->setGeometry(DluRect(7, 36, 146, 97));
    m_pList->setRootIsDecorated(false);
    m_pList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_pList->setSortingEnabled(true);
    m_pList->sortByColumn(kColumnTitle, Qt::AscendingOrder);
    m_pList->header()->setSectionsClickable(false);
    m_pList->header()->setStretchLastSection(false);
    m_pList->viewport()->installEventFilter(this);

    m_pDelete = AddButton(QStringLiteral("Delete"), IDC_DELETE_MAP, 7, 138, 44, 14);
    connect(m_pDelete, &QPushButton::clicked, this, &CMapLibraryDlg::OnDeleteMap);
    m_pCancel = AddButton(QStringLiteral("Cancel"), IDCANCEL_BUTTON, 54, 138, 44, 14);
    connect(m_pCancel, &QPushButton::clicked, this, &CMapLibraryDlg::OnCancel);
    m_pOpen = AddButton(QStringLiteral("Open Map"), IDOK_BUTTON, 101, 138, 50, 14);
    m_pOpen->setDefault(true);
    connect(m_pOpen, &QPushButton::clicked, this, &CMapLibraryDlg::OnOK);

    AddText(44, 155, 77, 8, QStringLiteral("www.example.com"));
}

bool CMapLibraryDlg::OnInitDialog() {
    FillMapList();
    m_pOpen->setEnabled(false);
    m_pDelete->setEnabled(false);
    return true;
}

bool CMapLibraryDlg::FillMapList() {
    m_pList->clear();
    m_pList->setColumnCount(3);
    m_pList->setHeaderLabels({QStringLiteral("Map"), QStringLiteral("Size"), QString()});
    m_pList->setColumnWidth(kColumnTitle, 146);
    m_pList->setColumnWidth(kColumnSize, 70);
    m_pList->setColumnWidth(kColumnFolder, 0);
    m_pList->setColumnHidden(kColumnFolder, true);

    const std::optional<std::vector<InstalledMap>> maps = WalkInstalledMaps();
    if (!maps)
        return true;
    for (const InstalledMap& map : *maps) {
        const uint32_t size = GetFolderSize(map.folder);
        if (size == 0)
            continue;
        auto* row = new CMapListItem();
        row->setText(kColumnTitle, map.title);
        row->setText(kColumnSize, QString::asprintf("%.2f MB", size * 0.000001));
        row->setText(kColumnFolder, map.folder);
        m_pList->addTopLevelItem(row);
    }
    return true;
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
    MarkCurrentMap();
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

    // A folder that holds other maps, the map store or the whole device is
    // never deleted; the key goes all the same, so the entry disappears.
    if (IsDeletableMapFolder(folder))
        DeleteFolderTree(folder);

    const QString apps = QString::fromLatin1(kAppsKey);
    const QString keyName = QString::fromLatin1(kMapKeyPrefix) + title;
    const std::optional<QStringList> names = RegEnumSubkeys(apps);
    if (!names)
        return;
    for (const QString& name : *names) {
        if (name == keyName) {
            RegDeleteKey(apps + u'\\' + name);
            break;
        }
    }
    FillMapList();
}

bool CMapLibraryDlg::MarkCurrentMap() {
    const std::optional<std::vector<InstalledMap>> maps = WalkInstalledMaps();
    if (!maps)
        return false;
    for (const InstalledMap& map : *maps) {
        const uint32_t current = map.folder == m_strMapFolder ? 1 : 0;
        if (!RegSetDword(map.key, QStringLiteral("Current"), current))
            return false;
    }
    return true;
}

bool CMapLibraryDlg::PreselectMap(bool& skipDialog) {
    skipDialog = true;
    const std::optional<std::vector<InstalledMap>> maps = WalkInstalledMaps();
    if (!maps)
        return false;
    int listed = 0;
    bool foundCurrent = false;
    for (const InstalledMap& map : *maps) {
        if (GetFolderSize(map.folder) == 0)
            continue;
        ++listed;
        const std::optional<uint32_t> current = RegQueryDword(map.key, QStringLiteral("Current"));
        if (listed == 1 || (current && *current == 1)) {
            m_strMapTitle = map.title;
            m_strMapFolder = map.folder;
        }
        if (current && *current == 1)
            foundCurrent = true;
    }
    if (foundCurrent || listed == 1) {
        MarkCurrentMap();
        return true;
    }
    m_strMapTitle.clear();
    m_strMapFolder.clear();
    skipDialog = false;
    return true;
}

uint32_t CMapLibraryDlg::GetFolderSize(const QString& folder) {
    uint32_t total = 0;
    for (const FindData& entry : FindFiles(folder + QStringLiteral("/*.*"))) {
        if (entry.isDirectory) {
            // A name with a backslash would be read as a path, not as itself.
            if (!entry.name.contains(u'\\'))
                total += GetFolderSize(folder + u'/' + entry.name);
        } else {
            total += static_cast<uint32_t>(entry.size); // 0 for a link: not followed
        }
    }
    return total;
}

bool CMapLibraryDlg::DeleteFolderTree(const QString& folder) {
    CBusyCursor busy;
    // The folder itself a link: only the link goes.
    if (QFileInfo(HostPath(folder)).isSymLink())
        return DeleteFileAt(folder);

    bool result = true;
    for (const FindData& entry : FindFiles(folder + QStringLiteral("/*.*"))) {
        // A name with a backslash would be read as a path ("..\x" leaves the
        // folder); such an entry is left where it is.
        if (entry.name.contains(u'\\')) {
            result = false;
            continue;
        }
        const QString path = folder + u'/' + entry.name;
        if (entry.isDirectory) {
            DeleteFolderTree(path);
            continue;
        }
        // Links are removed as they are; the normal attribute would reach
        // through them to their targets.
        if (!entry.isSymLink)
            SetNormalAttribute(path);
        if (!DeleteFileAt(path))
            result = false;
    }
    SetNormalAttribute(folder);
    if (!RemoveDirectoryAt(folder))
        result = false;
    return result;
}

bool CMapLibraryDlg::IsDeletableMapFolder(const QString& folder) {
    if (folder.trimmed().isEmpty())
        return false;
    const QString target = ResolvedPath(folder);
    QString root = QFileInfo(DeviceRoot()).canonicalFilePath();
    if (root.isEmpty())
        root = QDir::cleanPath(QFileInfo(DeviceRoot()).absoluteFilePath());
    const QString store = ResolvedPath(QStringLiteral("\\Veldra\\Maps"));
    if (!target.startsWith(root + u'/'))
        return false; // the root itself, or outside it
    return target != store && !store.startsWith(target + u'/');
}

bool CMapLibraryDlg::event(QEvent* event) {
    if (event->type() == QEvent::Type(kRefillMessage)) {
        FillMapList();
        return true;
    }
    return CVeldraDialog::event(event);
}

bool CMapLibraryDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pList->viewport() && event->type() == QEvent::MouseButtonPress)
        OnListClick();
    return CVeldraDialog::eventFilter(watched, event);
}
