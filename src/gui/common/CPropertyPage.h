#pragma once

#include <QString>
#include <QWidget>

class CReaderSession;

// A page of the main sheet. The sheet calls OnInitDialog once, after it has handed the page its
// shared objects, and OnSetActive / OnKillActive as the user moves between tabs.
class CPropertyPage : public QWidget {
    Q_OBJECT
public:
    // session: the page's way to the reader, for the page's whole life. While it runs a page's
    // exchange the page shows the wait cursor and OnBusyChanged lets it disable what would post
    // another one.
    explicit CPropertyPage(CReaderSession& session, QWidget* parent = nullptr);

    virtual void OnInitDialog() {}
    // The page is about to be shown: re-derive its state (the connection may have changed).
    virtual bool OnSetActive() { return true; }
    // The user wants to leave the page; false keeps it (a field does not hold a valid value).
    virtual bool OnKillActive() { return true; }
    // The program is closing (the sheet calls it before the worker stops, the page's destructor
    // too): stop what runs, on the worker, and take no answer from it afterwards.
    virtual void OnClose();
    // What closing the program now would stop or lose, in a sentence for the user; empty when
    // nothing would.
    virtual QString CloseWarning() const { return {}; }

    CReaderSession& GetSession() const { return m_session; }

protected:
    virtual void OnBusyChanged(bool busy) { (void)busy; }
    bool IsBusy() const;
    bool IsPortOpen() const;

    CReaderSession& m_session;
};
