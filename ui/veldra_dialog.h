#pragma once

#include <QDialog>
#include <QFont>
#include <QImage>
#include <QRect>

class QLabel;
class QPushButton;

// Base of the program's dialogs. A dialog is made on the stack of the handler
// that shows it, given its inputs in members, run with DoModal (which calls
// OnInitDialog first) and read through members afterwards. Control geometry is
// given in dialog units and converted with the dialog font's metrics (Arial
// 8 points, or Liberation Sans where Arial is missing).
class CVeldraDialog : public QDialog {
    Q_OBJECT
public:
    // sizeDlu: the dialog's client size in dialog units.
    CVeldraDialog(QWidget* parent, const QString& caption, QSize sizeDlu);

    // OnInitDialog, then the modal run (through the test seam). Returns the
    // dialog's result; callers read result members instead.
    int DoModal();
    // Initialisation before the modal run.
    virtual void OnInitDialog() {}

    // Pixel rectangle of a control placed at (x, y) with size (w, h) in dialog units.
    QRect DluRect(int x, int y, int w, int h) const;
    // The dialog font: Arial 8 points, or a font with its metrics.
    static QFont DialogFont();

    // A static text control at (x, y) with size (w, h) in dialog units.
    QLabel* AddText(int x, int y, int w, int h, const QString& text,
                    Qt::Alignment align = Qt::AlignLeft | Qt::AlignTop);
    // A picture control at (x, y) in dialog units; it takes the picture's own size.
    QLabel* AddPicture(int x, int y, const QImage& picture);
    // A push button placed in dialog units. It is not a default button unless
    // the caller makes it one.
    QPushButton* AddButton(const QString& text, int x, int y, int w, int h);

private:
    int m_nBaseUnitX = 6;  // average character width, pixels
    int m_nBaseUnitY = 13; // character height, pixels
};
