#include "places/favourites_dlg.h"

#include "places/place_files.h"
#include "res/bitmaps.h"
#include "ui/list_items.h"
#include "ui/ui_seam.h"

#include <QEvent>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>

namespace {
constexpr int kPlaceWidth = 200; // pixels
} // namespace

CFavouritesDlg::CFavouritesDlg(QWidget* parent)
    : CVeldraDialog(parent, QStringLiteral("Favourite Places"), QSize(158, 164)) {
    AddPicture(7, 7, MapsLogoBitmap());
    AddText(42, 15, 72, 10, QStringLiteral("Favourite Places:"));

    m_pList = new QTreeWidget(this);
    m_pList->setGeometry(DluRect(7, 34, 144, 105));
    m_pList->setRootIsDecorated(false);
    m_pList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_pList->setColumnCount(0);
    m_pList->header()->setSectionsClickable(false);
    m_pList->header()->setStretchLastSection(false);
    m_pList->viewport()->installEventFilter(this);
    // A place chosen with the keys enables the buttons as a tap does.
    connect(m_pList, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (FirstSelected() != nullptr)
            OnClickPlace();
    });

    m_pDelete = AddButton(QStringLiteral("Delete"), 7, 143, 40, 14);
    connect(m_pDelete, &QPushButton::clicked, this, &CFavouritesDlg::OnDelete);
    QPushButton* cancel = AddButton(QStringLiteral("Cancel"), 55, 143, 38, 14);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    m_pShow = AddButton(QStringLiteral("Show on Map"), 99, 143, 50, 14);
    m_pShow->setDefault(true); // Enter presses "Show on Map"
    connect(m_pShow, &QPushButton::clicked, this, &CFavouritesDlg::OnOK);
}

void CFavouritesDlg::OnInitDialog() {
    m_pList->setColumnCount(1);
    m_pList->setHeaderLabels({QStringLiteral("Place")});
    m_pList->setColumnWidth(0, kPlaceWidth);
    // The list keeps its rows in order whatever order they are added in.
    m_pList->setSortingEnabled(true);
    m_pList->sortByColumn(0, Qt::AscendingOrder);
    m_pList->header()->setSortIndicatorShown(false);
    FillList();
    m_pShow->setEnabled(false);
    m_pDelete->setEnabled(false);
}

void CFavouritesDlg::FillList() {
    m_pList->clear();
    m_nChosenX = m_nChosenY = 0;
    for (const QString& name : ListPlaces(m_strMapTitle))
        m_pList->addTopLevelItem(new CTextSortedItem(QStringList{name}));
}

QTreeWidgetItem* CFavouritesDlg::FirstSelected() const {
    for (int i = 0; i < m_pList->topLevelItemCount(); ++i)
        if (QTreeWidgetItem* row = m_pList->topLevelItem(i); row->isSelected())
            return row;
    return nullptr;
}

void CFavouritesDlg::OnClickPlace() {
    m_pShow->setEnabled(true);
    m_pDelete->setEnabled(true);
}

void CFavouritesDlg::OnOK() {
    const QTreeWidgetItem* row = FirstSelected();
    if (!row)
        return;
    // A place that cannot be read leaves no chosen position.
    if (const std::optional<QPoint> place = LoadPlace(m_strMapTitle, row->text(0))) {
        m_nChosenX = place->x();
        m_nChosenY = place->y();
    }
    QDialog::accept();
}

void CFavouritesDlg::OnDelete() {
    const QTreeWidgetItem* row = FirstSelected();
    if (!row)
        return;
    const QString name = row->text(0);
    if (VeldraMessageBox(this, QStringLiteral("Are you sure you want to delete ") + name + u'?',
                         QMessageBox::Yes | QMessageBox::No,
                         QMessageBox::NoIcon) == QMessageBox::No)
        return;
    DeletePlace(m_strMapTitle, name);
    FillList();
}

bool CFavouritesDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pList->viewport() && event->type() == QEvent::MouseButtonRelease)
        OnClickPlace();
    return CVeldraDialog::eventFilter(watched, event);
}
