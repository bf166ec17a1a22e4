#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

// Up and down arrows that step the integer of a buddy edit within a range; the arrow keys in the
// edit step it too. Steps start from the number typed in the buddy (a number outside the range
// snaps to its nearest end); a text that is no number leaves the last position to step from.
class CSpinButton : public QWidget {
    Q_OBJECT
public:
    explicit CSpinButton(QLineEdit* buddy, QWidget* parent = nullptr);

    void SetRange(int lower, int upper);
    // Moves to pos (clamped to the range) and shows it in the buddy.
    void SetPos(int pos);
    int GetPos() const { return m_nPos; }
    void Step(int delta);
    // As tall as the buddy.
    QSize sizeHint() const override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* m_pBuddy;
    QToolButton* m_pUp;
    QToolButton* m_pDown;
    int m_nLower = 0;
    int m_nUpper = 100;
    int m_nPos = 0;
};
