#pragma once

#include "pages/commands/CParameterDialog.h"

class QCheckBox;

// The reader's LEDs and buzzer for Set Port.
class CSetPortDialog : public CParameterDialog {
    Q_OBJECT

public:
    explicit CSetPortDialog(QWidget* parent = nullptr);

    int m_bBuzzerOn = 0;
    int m_bBuzzerBeep = 0;
    int m_bGreenLedOn = 0;
    int m_bRedLedOn = 0;

    // The Set Port mask of the boxes: green LED 0x01, buzzer on 0x02, buzzer beep 0x04, red LED 0x10.
    uint8_t GetMask() const;

protected:
    void LoadFields() override;
    bool SaveFields() override;

private:
    QCheckBox* m_pBuzzerOn;
    QCheckBox* m_pBuzzerBeep;
    QCheckBox* m_pGreenLed;
    QCheckBox* m_pRedLed;
};
