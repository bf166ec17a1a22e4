#include "common/CSpinButton.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

CSpinButton::CSpinButton(QLineEdit* buddy, QWidget* parent)
    : QWidget(parent), m_pBuddy(buddy), m_pUp(new QToolButton(this)), m_pDown(new QToolButton(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (QToolButton* button : {m_pUp, m_pDown}) {
        button->setArrowType(button == m_pUp ? Qt::UpArrow : Qt::DownArrow);
        button->setAutoRepeat(true);
        button->setFocusPolicy(Qt::NoFocus);
        // The two halves share the buddy's height, whatever their own hints say.
        button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Ignored);
        button->setFixedWidth(16);
        layout->addWidget(button);
    }
    connect(m_pUp, &QToolButton::clicked, this, [this] { Step(1); });
    connect(m_pDown, &QToolButton::clicked, this, [this] { Step(-1); });
    m_pBuddy->installEventFilter(this);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize CSpinButton::sizeHint() const {
    return QSize(16, m_pBuddy->sizeHint().height());
}

void CSpinButton::SetRange(int lower, int upper) {
    m_nLower = lower;
    m_nUpper = upper;
}

void CSpinButton::SetPos(int pos) {
    m_nPos = std::clamp(pos, m_nLower, m_nUpper);
    m_pBuddy->setText(QString::number(m_nPos));
}

void CSpinButton::Step(int delta) {
    bool ok = false;
    const qlonglong typed = m_pBuddy->text().toLongLong(&ok);
    if (ok && (typed < m_nLower || typed > m_nUpper)) {
        // A typed value outside the range first snaps to the nearest end.
        SetPos(static_cast<int>(std::clamp<qlonglong>(typed, m_nLower, m_nUpper)));
        return;
    }
    SetPos((ok ? static_cast<int>(typed) : m_nPos) + delta);
}

bool CSpinButton::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pBuddy && event->type() == QEvent::KeyPress && isEnabled()) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            Step(key == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
