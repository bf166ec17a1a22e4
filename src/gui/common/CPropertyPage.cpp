#include "common/CPropertyPage.h"

#include "common/CReaderWorker.h"
#include "link/ReaderPort.h"

void CPropertyPage::SetWorker(CReaderWorker* worker) {
    if (m_pWorker != nullptr) {
        disconnect(m_pWorker, nullptr, this, nullptr);
    }
    m_pWorker = worker;
    if (worker != nullptr) {
        connect(worker, &CReaderWorker::BusyChanged, this, [this](bool busy) {
            if (busy) {
                setCursor(Qt::WaitCursor);
            } else {
                unsetCursor();
            }
            OnBusyChanged(busy);
        });
    }
}

void CPropertyPage::OnClose() {
    if (m_pWorker != nullptr) {
        m_pWorker->Release(this);
    }
}

bool CPropertyPage::IsBusy() const {
    return m_pWorker != nullptr && m_pWorker->IsBusy();
}

bool CPropertyPage::IsPortOpen(const ReaderPort* port) const {
    return m_pWorker != nullptr ? m_pWorker->IsPortOpen() : port != nullptr && port->IsOpen();
}
