#include "common/CPropertyPage.h"

#include "common/CReaderSession.h"

CPropertyPage::CPropertyPage(CReaderSession& session, QWidget* parent) : QWidget(parent), m_session(session) {
    connect(&session, &CReaderSession::BusyChanged, this, [this](bool busy) {
        if (busy) {
            setCursor(Qt::WaitCursor);
        } else {
            unsetCursor();
        }
        OnBusyChanged(busy);
    });
}

void CPropertyPage::OnClose() {
    m_session.Release(this);
}

bool CPropertyPage::IsBusy() const {
    return m_session.IsBusy();
}

bool CPropertyPage::IsPortOpen() const {
    return m_session.Port().bOpen;
}
