#include "ui/veldra_dialog.h"

#include "ui/ui_seam.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

QFont CVeldraDialog::DialogFont() {
    const QStringList families = QFontDatabase::families();
    QString family = QStringLiteral("Arial");
    if (!families.contains(family, Qt::CaseInsensitive) &&
        families.contains(QStringLiteral("Liberation Sans"), Qt::CaseInsensitive))
        family = QStringLiteral("Liberation Sans");
    QFont font(family);
    font.setPointSize(8);
    return font;
}

CVeldraDialog::CVeldraDialog(QWidget* parent, const QString& caption, QSize sizeDlu)
    : QDialog(parent) {
    setWindowTitle(caption);
    setFont(DialogFont());
    // Dialog base units as the platform measures them: the average width of
    // the 52 Latin letters and the font's height.
    const QFontMetrics metrics(font());
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int average = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
    if (average > 0)
        m_nBaseUnitX = average;
    if (metrics.height() > 0)
        m_nBaseUnitY = metrics.height();
    const QRect client = DluRect(0, 0, sizeDlu.width(), sizeDlu.height());
    setFixedSize(client.size());
}

QRect CVeldraDialog::DluRect(int x, int y, int w, int h) const {
    return QRect(x * m_nBaseUnitX / 4, y * m_nBaseUnitY / 8, w * m_nBaseUnitX / 4,
                 h * m_nBaseUnitY / 8);
}

QLabel* CVeldraDialog::AddText(int x, int y, int w, int h, const QString& text,
                               Qt::Alignment align) {
    auto* label = new QLabel(text, this);
    label->setGeometry(DluRect(x, y, w, h));
    label->setAlignment(align);
    label->setWordWrap(true);
    return label;
}

QLabel* CVeldraDialog::AddPicture(int x, int y, const QImage& picture) {
    auto* label = new QLabel(this);
    const QPixmap pixmap = QPixmap::fromImage(picture);
    label->setPixmap(pixmap);
    label->setGeometry(QRect(DluRect(x, y, 0, 0).topLeft(), pixmap.size()));
    return label;
}

QPushButton* CVeldraDialog::AddButton(const QString& text, int x, int y, int w, int h) {
    auto* button = new QPushButton(text, this);
    button->setGeometry(DluRect(x, y, w, h));
    button->setAutoDefault(false);
    return button;
}

int CVeldraDialog::DoModal() {
    OnInitDialog();
    return RunModal(*this);
}
