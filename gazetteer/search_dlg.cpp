#include "gazetteer/search_dlg.h"

#include "gazetteer/index_search.h"
#include "gazetteer/side_index_worker.h"
#include "res/bitmaps.h"
#include "res/resource.h"
#include "ui/busy_cursor.h"
#include "ui/input_panel.h"

#include <QComboBox>
#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

namespace {

constexpr int kColumnName = 0;
constexpr int kColumnExtra1 = 1;
constexpr int kColumnExtra2 = 2;
constexpr int kNameWidth = 110; // pixels
// The box takes no more characters than a search can use (99 bytes of the
// index files' code page, one byte a character).
constexpr int kMaxTypedText = 99;
// The list, and the list below the notice (dialog units).
constexpr int kListTop = 43, kListHeight = 99, kNoticeHeight = 18;

// The headings over the two extra columns of a category's matches; other
// categories keep them empty.
struct ExtraHeadings {
    const char* category;
    const char* extra1;
    const char* extra2;
};
constexpr ExtraHeadings kHeadings[] = {
    {"Streets", "PC", "Off"},        {"Stations", "Type", "Lines"}, {"Hospitals", "Phone", "Area"},
    {"Places", "Extra", "Location"}, {"Towns", "Location", ""},     {"Airports", "Location", ""},
};

QString Heading(const QString& category, int column) {
    for (const ExtraHeadings& h : kHeadings)
        if (category == QLatin1String(h.category))
            return QString::fromLatin1(column == kColumnExtra1 ? h.extra1 : h.extra2);
    return QString();
}

// The count text under the list, one line break in each.
QString CountLines(int count, bool more) {
    if (count == 0)
        return QStringLiteral("No matches\nfound");
    if (count == 1)
        return QStringLiteral("1 match\nfound");
    if (count == MAX_MATCHES && more)
        return QStringLiteral("First %1\nmatches").arg(MAX_MATCHES);
    return QStringLiteral("%1 matches\nfound").arg(count);
}

} // namespace

CSearchDlg::CSearchDlg(QWidget* parent)
    : CVeldraDialog(parent, QString::fromLatin1(kAppTitle) + QStringLiteral(" Search"),
                    QSize(163, 169)) {
    AddPicture(4, 5, MapsLogoBitmap());
    AddText(38, 9, 35, 13, QStringLiteral("Search for "));

    m_pCategory = new QComboBox(this);
    const QRect combo = DluRect(75, 8, 64, 58); // the height is that of the dropped list
    m_pCategory->setGeometry(combo.x(), combo.y(), combo.width(), DluRect(0, 0, 0, 12).height());
    m_pCategory->setMaxVisibleItems(qMax(1, combo.height() / qMax(1, fontMetrics().height())));
    connect(m_pCategory, &QComboBox::currentIndexChanged, this, &CSearchDlg::OnCategoryChange);

    AddText(39, 27, 42, 13, QStringLiteral("containing"));
    m_pText = new QLineEdit(this);
    m_pText->setGeometry(DluRect(75, 25, 58, 14));
    m_pText->setMaxLength(kMaxTypedText);
    m_pText->installEventFilter(this);

    m_pGo = AddButton(QStringLiteral("Go!"), 136, 25, 20, 15);
    m_pGo->setDefault(true); // Enter in the text box presses "Go!"
    connect(m_pGo, &QPushButton::clicked, this, &CSearchDlg::OnGo);

    m_pList = new QTreeWidget(this);
    m_pList->setGeometry(DluRect(4, kListTop, 152, kListHeight));
    m_pList->setRootIsDecorated(false);
    m_pList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_pList->setSortingEnabled(false);
    m_pList->header()->setSectionsClickable(false);
    m_pList->header()->setStretchLastSection(false);
    m_pList->viewport()->installEventFilter(this);
    m_pList->installEventFilter(this);

    m_pNotice = AddText(4, kListTop - 1, 152, kNoticeHeight, QString());
    m_pNotice->setWordWrap(true);
    m_pNotice->hide();
    m_pProgress = new QTimer(this);
    m_pProgress->setInterval(250);
    connect(m_pProgress, &QTimer::timeout, this, &CSearchDlg::UpdateNotice);

    m_pCount = AddText(3, 145, 51, 16, QString());
    m_pCount->setWordWrap(false);

    m_pShow = AddButton(QStringLiteral("Show on Map"), 103, 146, 53, 14);
    connect(m_pShow, &QPushButton::clicked, this, &CSearchDlg::OnOK);
    m_pCancel = AddButton(QStringLiteral("Cancel"), 57, 146, 42, 14);
    connect(m_pCancel, &QPushButton::clicked, this, &CSearchDlg::OnCancel);
}

void CSearchDlg::OnInitDialog() {
    m_nChosenX = m_nChosenY = 0;
    // Large gazetteers without a side index get one in the background; the
    // search scans until it is there.
    RequestSideIndexes(m_strMapFolder);
    if (SideIndexProgress(m_strMapFolder))
        m_pProgress->start();
    {
        const QSignalBlocker quiet(m_pCategory);
        m_pCategory->clear();
        m_pCategory->addItems(ListCategories(m_strMapFolder));
        m_pCategory->setCurrentIndex(m_pCategory->count() > 0 ? 0 : -1);
    }
    if (!m_strRememberedText.isEmpty()) {
        m_strSearchText = m_strRememberedText;
        {
            // An index beyond the categories of this map selects nothing.
            const QSignalBlocker quiet(m_pCategory);
            const bool inList =
                m_nRememberedCategory >= 0 && m_nRememberedCategory < m_pCategory->count();
            m_pCategory->setCurrentIndex(inList ? m_nRememberedCategory : -1);
        }
        m_pText->setText(m_strSearchText);
        ResetList();
        OnGo();
    } else {
        ResetList();
    }
}

void CSearchDlg::ReadControls() {
    m_strSearchText = m_pText->text();
    m_strCategory = m_pCategory->currentText();
}

void CSearchDlg::WriteControls() {
    m_pText->setText(m_strSearchText);
    const QSignalBlocker quiet(m_pCategory);
    m_pCategory->setCurrentIndex(m_pCategory->findText(m_strCategory, Qt::MatchExactly));
}

void CSearchDlg::ResetList() {
    ReadControls();
    m_pList->clear();
    m_pList->setColumnCount(3);
    m_pList->setHeaderLabels({QStringLiteral("Name"), QString(), QString()});
    for (int column : {kColumnExtra1, kColumnExtra2}) {
        m_pList->setColumnHidden(column, false);
        m_pList->setColumnWidth(column, 0);
    }
    m_pList->setColumnWidth(kColumnName, kNameWidth);
    m_bLooseMatches = false;
    UpdateNotice();
    WriteControls();
}

void CSearchDlg::UpdateNotice() {
    QString notice;
    if (m_bLooseMatches) {
        notice = QStringLiteral("No exact matches. Showing names that differ only in accents or "
                                "spelling:");
    } else if (const std::optional<int> percent = SideIndexProgress(m_strMapFolder)) {
        notice = QStringLiteral("Preparing quicker searches of this map (%1 %)...").arg(*percent);
    } else {
        m_pProgress->stop();
    }
    if (notice == m_pNotice->text() && m_pNotice->isVisible() == !notice.isEmpty())
        return;
    m_pNotice->setText(notice);
    m_pNotice->setVisible(!notice.isEmpty());
    m_pList->setGeometry(
        notice.isEmpty() ? DluRect(4, kListTop, 152, kListHeight)
                         : DluRect(4, kListTop + kNoticeHeight, 152, kListHeight - kNoticeHeight));
}

void CSearchDlg::FitOrHideColumn(int column, bool filled) {
    if (!filled) {
        m_pList->setColumnHidden(column, true);
        return;
    }
    m_pList->headerItem()->setText(column, Heading(m_strCategory, column));
    m_pList->resizeColumnToContents(column);
}

void CSearchDlg::OnGo() {
    ShowInputPanel(false);
    ReadControls();
    ResetList();
    m_matchPositions.clear();
    m_strSearchText = PrepareSearchText(m_strSearchText);
    if (m_strSearchText.isEmpty())
        return;

    m_nMatchCount = 0;
    const CBusyCursor busy;
    const std::optional<SearchResult> result =
        SearchIndexThenLoose(m_strMapFolder, m_strCategory, m_strSearchText);
    bool anyExtra1 = false;
    bool anyExtra2 = false;
    bool more = false;
    if (result) {
        more = result->more;
        QList<QTreeWidgetItem*> rows;
        rows.reserve(qsizetype(result->matches.size()));
        m_matchPositions.reserve(result->matches.size());
        for (const IndexMatch& match : result->matches) {
            auto* row = new QTreeWidgetItem();
            row->setText(kColumnName, match.name);
            row->setText(kColumnExtra1, match.extra1);
            row->setText(kColumnExtra2, match.extra2);
            rows.append(row);
            m_matchPositions.emplace_back(match.x, match.y);
            anyExtra1 = anyExtra1 || !match.extra1.isEmpty();
            anyExtra2 = anyExtra2 || !match.extra2.isEmpty();
            ++m_nMatchCount;
        }
        m_pList->addTopLevelItems(rows);
    }
    if (m_nMatchCount == 0)
        m_pList->addTopLevelItem(new QTreeWidgetItem(QStringList{QStringLiteral("No matches")}));

    m_strRememberedText = m_strSearchText;
    m_nRememberedCategory = m_pCategory->currentIndex();

    // Column 2 first, as deleting column 1 would move it.
    FitOrHideColumn(kColumnExtra2, anyExtra2);
    FitOrHideColumn(kColumnExtra1, anyExtra1);

    m_pCount->setText(CountLines(m_nMatchCount, more));
    m_bLooseMatches = m_nMatchCount > 0 && result->loose;
    UpdateNotice();
    m_pShow->setEnabled(false);
    WriteControls();
}

void CSearchDlg::OnClickMatch() {
    if (m_nMatchCount == 0)
        return;
    for (int i = 0; i < m_pList->topLevelItemCount(); ++i) {
        if (!m_pList->topLevelItem(i)->isSelected())
            continue;
        if (size_t(i) >= m_matchPositions.size())
            return;
        m_pShow->setEnabled(true);
        m_nChosenX = m_matchPositions[size_t(i)].x();
        m_nChosenY = m_matchPositions[size_t(i)].y();
        return;
    }
}

void CSearchDlg::OnCategoryChange() {
    ResetList();
}

void CSearchDlg::OnTextSetFocus() {
    ShowInputPanel(true);
}

void CSearchDlg::OnTextKillFocus() {
    ShowInputPanel(false);
}

void CSearchDlg::OnOK() {
    ReadControls();
    QDialog::accept();
}

void CSearchDlg::OnCancel() {
    m_nChosenX = m_nChosenY = 0;
    QDialog::reject();
}

bool CSearchDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pText) {
        if (event->type() == QEvent::FocusIn)
            OnTextSetFocus();
        else if (event->type() == QEvent::FocusOut)
            OnTextKillFocus();
    } else if (watched == m_pList->viewport() && event->type() == QEvent::MouseButtonRelease) {
        // The release ends a tap, after the press has moved the selection.
        OnClickMatch();
    } else if (watched == m_pList && event->type() == QEvent::KeyPress) {
        // The keys move through the matches without choosing; Enter chooses
        // the selected match and shows it, as a tap and "Show on Map" do.
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            OnClickMatch();
            if (m_pShow->isEnabled())
                OnOK();
            return true;
        }
    }
    return CVeldraDialog::eventFilter(watched, event);
}
