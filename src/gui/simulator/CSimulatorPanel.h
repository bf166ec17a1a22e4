#pragma once

#include <QWidget>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class SimReader;

// The hands at the simulated reader of the simulate run mode: puts cards on it and takes them off,
// and plugs in another reader, as a production line does after each programming. A small tool
// window of the sheet, so that it takes input while the sheet runs modally. Nothing here goes over
// the line: the program sees only what the reader then answers.
class CSimulatorPanel : public QWidget {
    Q_OBJECT
public:
    enum : uint32_t {
        IDC_CARD_LIST = 2001,
        IDC_UID = 2002,
        IDC_ENTER_CARD = 2003,
        IDC_REMOVE_CARD = 2004,
        IDC_SERIES = 2005,
        IDC_FRESH_READER = 2006,
        IDC_READER = 2007,
        IDC_SERIES_READERS = 2008,
        IDC_STATUS = 2009,
    };

    // reader outlives the panel.
    CSimulatorPanel(SimReader& reader, QWidget* parent);
    ~CSimulatorPanel() override;

    // Shows the panel beside window (right of it, else left of it where the screen ends).
    void ShowBeside(QWidget* window);
    // Shows it beside the parent the first time the parent is shown.
    void ShowWithParent();

    // What the last action came to, or why it was refused.
    QString StatusText() const;
    // A card's UID as typed: 8 hexadecimal digits, blanks around them allowed.
    static std::optional<uint32_t> ParseUid(const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnEnterCard();
    void OnRemoveCard();
    void OnSeries(bool on);
    void OnFreshReader();
    // Shows what the reader holds now; called after each action and whenever the reader reports.
    void Refresh();
    void UpdateControls();
    void SetStatus(const QString& text);

    SimReader& m_reader;
    int m_nListener = -1;
    // One refresh queued at a time, however often the reader's thread reports.
    std::atomic<bool> m_bRefreshQueued{false};
    bool m_bShowWithParent = false;

    std::vector<uint32_t> m_cards;
    size_t m_nSeriesReaders = 0;

    QListWidget* m_pCardList;
    QLineEdit* m_pUid;
    QPushButton* m_pEnterCard;
    QPushButton* m_pRemoveCard;
    QLabel* m_pReader;
    QCheckBox* m_pSeries;
    QPushButton* m_pFreshReader;
    QListWidget* m_pSeriesReaders;
    QLabel* m_pStatus;
};
