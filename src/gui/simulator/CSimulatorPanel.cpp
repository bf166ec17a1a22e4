#include "simulator/CSimulatorPanel.h"

#include <QCheckBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>

#include "commands/HexText.h"
#include "common/ControlId.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"

namespace {

QString CardText(uint32_t uid) {
    return QStringLiteral("%1").arg(uid, 8, 16, QLatin1Char('0')).toUpper();
}

// What the PC stored in a loader, on one line and without control characters.
QString Shown(const std::string& text) {
    QString shown = QString::fromStdString(EscapeControls(text));
    shown.replace(QLatin1Char('\n'), QStringLiteral("\\x0A"));
    shown.replace(QLatin1Char('\t'), QStringLiteral("\\x09"));
    return shown;
}

QString SerialPhrase(const std::string& serial) {
    return serial.empty() ? QStringLiteral("no serial number yet")
                          : QStringLiteral("serial number %1").arg(Shown(serial));
}

}  // namespace

CSimulatorPanel::CSimulatorPanel(SimReader& reader, QWidget* parent)
    : QWidget(parent, Qt::Tool), m_reader(reader) {
    setWindowTitle(QStringLiteral("Simulated reader"));

    auto* intro = new QLabel(QStringLiteral("Stands in for your hands at the simulated reader: put cards on "
                                            "it, take them off, plug in another reader. Nothing here goes "
                                            "over the line."),
                             this);
    intro->setWordWrap(true);

    auto* cards = new QGroupBox(QStringLiteral("Cards in the field"), this);
    m_pCardList = new QListWidget(cards);
    SetControlId(m_pCardList, IDC_CARD_LIST);
    m_pCardList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pUid = new QLineEdit(cards);
    SetControlId(m_pUid, IDC_UID);
    m_pUid->setPlaceholderText(QStringLiteral("8 hex digits"));
    m_pUid->setToolTip(QStringLiteral("The UID of a new sample card, such as 11223344"));
    auto* uidLabel = new QLabel(QStringLiteral("&UID:"), cards);
    uidLabel->setBuddy(m_pUid);
    m_pEnterCard = new QPushButton(QStringLiteral("&Enter card"), cards);
    SetControlId(m_pEnterCard, IDC_ENTER_CARD);
    m_pEnterCard->setToolTip(QStringLiteral("Puts a new sample card with this UID on the reader"));
    m_pRemoveCard = new QPushButton(QStringLiteral("&Remove card"), cards);
    SetControlId(m_pRemoveCard, IDC_REMOVE_CARD);
    m_pRemoveCard->setToolTip(QStringLiteral("Takes the selected card off the reader"));
    auto* cardLayout = new QGridLayout(cards);
    cardLayout->addWidget(m_pCardList, 0, 0, 1, 3);
    cardLayout->addWidget(uidLabel, 1, 0);
    cardLayout->addWidget(m_pUid, 1, 1);
    cardLayout->addWidget(m_pEnterCard, 1, 2);
    cardLayout->addWidget(m_pRemoveCard, 2, 2);
    m_pCardList->setMaximumHeight(m_pCardList->fontMetrics().height() * 5);

    auto* readers = new QGroupBox(QStringLiteral("Readers"), this);
    m_pReader = new QLabel(readers);
    SetControlId(m_pReader, IDC_READER);
    m_pReader->setWordWrap(true);
    // The longest of its texts, so that none is cut once the window has its size.
    m_pReader->setMinimumHeight(m_pReader->fontMetrics().lineSpacing() * 3);
    m_pReader->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pSeries = new QCheckBox(QStringLiteral("&Next reader after each programming"), readers);
    SetControlId(m_pSeries, IDC_SERIES);
    m_pSeries->setToolTip(
        QStringLiteral("A reader that leaves its loader is unplugged, and the next programming meets a "
                       "fresh reader without a serial number, as on a production line"));
    m_pFreshReader = new QPushButton(QStringLiteral("&Plug in a fresh reader"), readers);
    SetControlId(m_pFreshReader, IDC_FRESH_READER);
    m_pFreshReader->setToolTip(QStringLiteral("Swaps the reader for one without a serial number"));
    m_pSeriesReaders = new QListWidget(readers);
    SetControlId(m_pSeriesReaders, IDC_SERIES_READERS);
    m_pSeriesReaders->setSelectionMode(QAbstractItemView::NoSelection);
    m_pSeriesReaders->setMaximumHeight(m_pSeriesReaders->fontMetrics().height() * 5);
    auto* readerLayout = new QVBoxLayout(readers);
    readerLayout->addWidget(m_pReader);
    readerLayout->addWidget(m_pSeries);
    readerLayout->addWidget(m_pFreshReader, 0, Qt::AlignLeft);
    readerLayout->addWidget(new QLabel(QStringLiteral("Programmed in the series:"), readers));
    readerLayout->addWidget(m_pSeriesReaders);

    m_pStatus = new QLabel(this);
    SetControlId(m_pStatus, IDC_STATUS);
    m_pStatus->setWordWrap(true);
    // Room for two lines, so that the window does not jump with each message.
    m_pStatus->setMinimumHeight(m_pStatus->fontMetrics().lineSpacing() * 2);
    m_pStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(cards);
    layout->addWidget(readers);
    layout->addWidget(m_pStatus);
    setFixedWidth(std::max(sizeHint().width(), fontMetrics().averageCharWidth() * 44));

    connect(m_pEnterCard, &QPushButton::clicked, this, &CSimulatorPanel::OnEnterCard);
    connect(m_pUid, &QLineEdit::returnPressed, this, &CSimulatorPanel::OnEnterCard);
    connect(m_pRemoveCard, &QPushButton::clicked, this, &CSimulatorPanel::OnRemoveCard);
    connect(m_pCardList, &QListWidget::itemSelectionChanged, this, &CSimulatorPanel::UpdateControls);
    connect(m_pSeries, &QCheckBox::toggled, this, &CSimulatorPanel::OnSeries);
    connect(m_pFreshReader, &QPushButton::clicked, this, &CSimulatorPanel::OnFreshReader);

    // The reader reports from whichever thread drove it; the panel catches up on its own thread.
    m_nListener = m_reader.AddListener([this] {
        if (!m_bRefreshQueued.exchange(true)) {
            QMetaObject::invokeMethod(
                this,
                [this] {
                    m_bRefreshQueued = false;
                    Refresh();
                },
                Qt::QueuedConnection);
        }
    });
    Refresh();
}

CSimulatorPanel::~CSimulatorPanel() {
    m_reader.RemoveListener(m_nListener);
}

std::optional<uint32_t> CSimulatorPanel::ParseUid(const QString& text) {
    const QString digits = text.trimmed();
    if (digits.size() != 8) {
        return std::nullopt;
    }
    for (const QChar c : digits) {
        if (c.unicode() > 0x7F || !std::isxdigit(static_cast<unsigned char>(c.unicode()))) {
            return std::nullopt;
        }
    }
    return digits.toUInt(nullptr, 16);
}

void CSimulatorPanel::OnEnterCard() {
    const std::optional<uint32_t> uid = ParseUid(m_pUid->text());
    if (!uid) {
        SetStatus(QStringLiteral("Type the card's UID as 8 hexadecimal digits, such as 11223344."));
        m_pUid->setFocus();
        m_pUid->selectAll();
        return;
    }
    const std::vector<uint32_t> present = m_reader.CardsInField();
    if (std::find(present.begin(), present.end(), *uid) != present.end()) {
        SetStatus(QStringLiteral("Card %1 is in the field already.").arg(CardText(*uid)));
        return;
    }
    m_reader.EnterCard(Simulator::SampleCard(*uid));
    SetStatus(QStringLiteral("Card %1 entered the field.").arg(CardText(*uid)));
    Refresh();
}

void CSimulatorPanel::OnRemoveCard() {
    const QList<QListWidgetItem*> selected = m_pCardList->selectedItems();
    if (selected.isEmpty()) {
        return;
    }
    const uint32_t uid = selected.front()->data(Qt::UserRole).toUInt();
    if (m_reader.LeaveCard(uid)) {
        SetStatus(QStringLiteral("Card %1 left the field.").arg(CardText(uid)));
    }
    Refresh();
}

void CSimulatorPanel::OnSeries(bool on) {
    m_reader.SetSeries(on);
    SetStatus(on ? QStringLiteral("Each programmed reader is now swapped for a fresh one.")
                 : QStringLiteral("The reader stays plugged in after programming."));
    Refresh();
}

void CSimulatorPanel::OnFreshReader() {
    if (m_reader.PlugInFreshReader()) {
        SetStatus(QStringLiteral("A fresh reader is plugged in."));
    } else {
        SetStatus(QStringLiteral("The reader is in its loader: swap it when the job has ended."));
    }
    Refresh();
}

void CSimulatorPanel::Refresh() {
    const std::vector<uint32_t> cards = m_reader.CardsInField();
    if (cards != m_cards) {
        // The selected card stays selected while others come and go.
        const QList<QListWidgetItem*> selected = m_pCardList->selectedItems();
        const bool hadSelection = !selected.isEmpty();
        const uint32_t keep = hadSelection ? selected.front()->data(Qt::UserRole).toUInt() : 0;
        m_pCardList->clear();
        for (const uint32_t uid : cards) {
            auto* item = new QListWidgetItem(CardText(uid), m_pCardList);
            item->setData(Qt::UserRole, uid);
            item->setSelected(hadSelection && keep == uid);
        }
        m_cards = cards;
    }

    const std::string serial = m_reader.GetSerialText();
    if (m_reader.InLoader()) {
        m_pReader->setText(
            QStringLiteral("Plugged in: a reader in its loader, %1.").arg(SerialPhrase(serial)));
    } else if (m_reader.IsReaderDone()) {
        m_pReader->setText(
            QStringLiteral("Plugged in: the last job's reader, %1; a fresh one comes at the next job.")
                .arg(SerialPhrase(serial)));
    } else {
        m_pReader->setText(QStringLiteral("Plugged in: a reader with %1.").arg(SerialPhrase(serial)));
    }

    const std::vector<SimSeriesReader> series = m_reader.GetSeriesReaders();
    if (series.size() != m_nSeriesReaders) {
        m_pSeriesReaders->clear();
        for (size_t i = 0; i < series.size(); ++i) {
            m_pSeriesReaders->addItem(QStringLiteral("%1. %2, USB serial %3")
                                          .arg(i + 1)
                                          .arg(series[i].serialText.empty()
                                                   ? QStringLiteral("no serial number")
                                                   : Shown(series[i].serialText))
                                          .arg(Shown(series[i].eeprom.serialNumber)));
        }
        m_pSeriesReaders->scrollToBottom();
        m_nSeriesReaders = series.size();
    }
    const QSignalBlocker blocker(m_pSeries);
    m_pSeries->setChecked(m_reader.IsSeries());
    UpdateControls();
}

void CSimulatorPanel::UpdateControls() {
    m_pRemoveCard->setEnabled(!m_pCardList->selectedItems().isEmpty());
    m_pFreshReader->setEnabled(!m_reader.InLoader());
}

void CSimulatorPanel::SetStatus(const QString& text) {
    m_pStatus->setText(text);
}

QString CSimulatorPanel::StatusText() const {
    return m_pStatus->text();
}

void CSimulatorPanel::ShowBeside(QWidget* window) {
    adjustSize();
    const QRect frame = window->frameGeometry();
    const QScreen* screen = window->screen();
    const QRect available = screen != nullptr ? screen->availableGeometry() : QRect();
    constexpr int kGap = 8;
    // The window frame around the panel is not known before it is shown; the sheet's is alike.
    const QSize outer = size() + (frame.size() - window->size());
    QPoint at(frame.right() + 1 + kGap, frame.top());
    if (available.isValid() && at.x() + outer.width() > available.right() + 1) {
        at.setX(frame.left() - kGap - outer.width());
        if (at.x() < available.left()) {
            // No room on either side: over the sheet's right end, away from its tabs.
            at.setX(std::max(available.left(), available.right() + 1 - outer.width()));
        }
    }
    move(at);
    show();
    raise();
}

void CSimulatorPanel::ShowWithParent() {
    if (parentWidget() != nullptr && !m_bShowWithParent) {
        m_bShowWithParent = true;
        parentWidget()->installEventFilter(this);
    }
}

bool CSimulatorPanel::eventFilter(QObject* watched, QEvent* event) {
    if (m_bShowWithParent && watched == parentWidget() && event->type() == QEvent::Show) {
        m_bShowWithParent = false;
        parentWidget()->removeEventFilter(this);
        // Once the parent has its place on the screen.
        QTimer::singleShot(0, this, [this] { ShowBeside(parentWidget()); });
    }
    return QWidget::eventFilter(watched, event);
}
