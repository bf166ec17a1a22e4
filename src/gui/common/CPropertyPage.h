#pragma once

#include <QWidget>

class CReaderWorker;
class ReaderPort;

// A page of the main sheet. The sheet calls OnInitDialog once, after it has handed the page its
// shared objects, and OnSetActive / OnKillActive as the user moves between tabs.
class CPropertyPage : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

    virtual void OnInitDialog() {}
    // The page is about to be shown: re-derive its state (the connection may have changed).
    virtual bool OnSetActive() { return true; }
    // The user wants to leave the page; false keeps it (a field does not hold a valid value).
    virtual bool OnKillActive() { return true; }
    // The program is closing (the sheet calls it before the worker stops, the page's destructor
    // too): stop what runs, on the worker, and take no answer from it afterwards.
    virtual void OnClose();

    // The worker that runs the page's reader exchanges. While it is busy the page shows the wait
    // cursor and OnBusyChanged lets it disable what would post another exchange.
    void SetWorker(CReaderWorker* worker);
    CReaderWorker* GetWorker() const { return m_pWorker; }

protected:
    virtual void OnBusyChanged(bool busy) { (void)busy; }
    bool IsBusy() const;
    // Whether port is open, asked in the way that is safe while the worker runs an exchange.
    bool IsPortOpen(const ReaderPort* port) const;

    CReaderWorker* m_pWorker = nullptr;
};
