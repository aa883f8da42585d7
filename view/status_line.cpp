#include "view/status_line.h"

#include <QPainter>

CStatusLine::CStatusLine(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("statusLine"));
    setAttribute(Qt::WA_TransparentForMouseEvents); // the map under it still drags
}

void CStatusLine::SetText(const QString& text) {
    if (text == m_strText)
        return;
    m_strText = text;
    update();
}

void CStatusLine::SetScaleBar(const CScaleBar& bar) {
    if (bar.nMetricPixels == m_scaleBar.nMetricPixels && bar.strMetric == m_scaleBar.strMetric &&
        bar.nImperialPixels == m_scaleBar.nImperialPixels &&
        bar.strImperial == m_scaleBar.strImperial)
        return;
    m_scaleBar = bar;
    update();
}

void CStatusLine::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(250, 250, 247, 235));
    painter.setPen(QColor(150, 150, 150));
    painter.drawLine(0, 0, width(), 0);
    QFont font = painter.font();
    font.setPixelSize(12);
    painter.setFont(font);
    painter.setPen(Qt::black);

    // The two bars, metres above yards, ending 8 pixels from the right with
    // their labels on their left.
    const int right = width() - 8;
    int textRight = width();
    const auto bar = [&](int y, int length, const QString& label) {
        if (length <= 0)
            return;
        painter.drawLine(right - length, y, right, y);
        painter.drawLine(right - length, y - 3, right - length, y + 3);
        painter.drawLine(right, y - 3, right, y + 3);
        const QRect box(right - length - 70, y - 8, 64, 16);
        painter.drawText(box, Qt::AlignRight | Qt::AlignVCenter, label);
        textRight = std::min(textRight, box.left());
    };
    bar(9, m_scaleBar.nMetricPixels, m_scaleBar.strMetric);
    bar(21, m_scaleBar.nImperialPixels, m_scaleBar.strImperial);

    painter.drawText(QRect(8, 0, textRight - 16, height()), Qt::AlignLeft | Qt::AlignVCenter,
                     m_strText);
}
