#include "pages/commands/CSetPortDialog.h"

#include <QCheckBox>
#include <QVBoxLayout>

#include "common/ControlId.h"

CSetPortDialog::CSetPortDialog(QWidget* parent) : CParameterDialog(parent, tr("Set Port")) {
    m_pGreenLed = new QCheckBox(tr("&Green LED ON"), this);
    m_pRedLed = new QCheckBox(tr("&Red LED ON"), this);
    m_pBuzzerOn = new QCheckBox(tr("&Buzzer ON"), this);
    m_pBuzzerBeep = new QCheckBox(tr("Buzzer &BEEP"), this);
    SetControlId(m_pGreenLed, 1031);
    SetControlId(m_pRedLed, 1032);
    SetControlId(m_pBuzzerOn, 1033);
    SetControlId(m_pBuzzerBeep, 1034);

    auto* boxes = new QVBoxLayout;
    boxes->addWidget(m_pGreenLed);
    boxes->addWidget(m_pRedLed);
    boxes->addWidget(m_pBuzzerOn);
    boxes->addWidget(m_pBuzzerBeep);
    FinishLayout(boxes);
}

uint8_t CSetPortDialog::GetMask() const {
    return static_cast<uint8_t>((m_bGreenLedOn ? 0x01 : 0) | (m_bBuzzerOn ? 0x02 : 0) |
                                (m_bBuzzerBeep ? 0x04 : 0) | (m_bRedLedOn ? 0x10 : 0));
}

void CSetPortDialog::LoadFields() {
    m_pBuzzerOn->setChecked(m_bBuzzerOn != 0);
    m_pBuzzerBeep->setChecked(m_bBuzzerBeep != 0);
    m_pGreenLed->setChecked(m_bGreenLedOn != 0);
    m_pRedLed->setChecked(m_bRedLedOn != 0);
}

bool CSetPortDialog::SaveFields() {
    m_bBuzzerOn = m_pBuzzerOn->isChecked() ? 1 : 0;
    m_bBuzzerBeep = m_pBuzzerBeep->isChecked() ? 1 : 0;
    m_bGreenLedOn = m_pGreenLed->isChecked() ? 1 : 0;
    m_bRedLedOn = m_pRedLed->isChecked() ? 1 : 0;
    return true;
}
