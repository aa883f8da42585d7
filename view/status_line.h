#pragma once

#include "view/geo_readouts.h"

#include <QString>
#include <QWidget>

// The status line along the bottom of a map view larger than the handheld
// size: a text on the left (the latitude and longitude under the pointer,
// and the state of Follow My Position) and, on the right, the scale bar in
// metres and in yards. It draws what it is given.
class CStatusLine : public QWidget {
    Q_OBJECT
public:
    // Height in logical pixels.
    static constexpr int HEIGHT = 30;
    // Longest scale bar, logical pixels.
    static constexpr int MAX_BAR = 100;

    explicit CStatusLine(QWidget* parent = nullptr);

    // Repaints only when something changed.
    void SetText(const QString& text);
    void SetScaleBar(const CScaleBar& bar);
    const QString& Text() const { return m_strText; }
    const CScaleBar& ScaleBar() const { return m_scaleBar; }

protected:
    // --- Qt virtuals ---
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_strText;
    CScaleBar m_scaleBar;
};
