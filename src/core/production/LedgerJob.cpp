#include "production/LedgerJob.h"

#include "production/ProductionForm.h"
#include "production/ProductionRecord.h"

LedgerRequest LedgerJob::MakeRequest(const std::string& profile, const ProgrammingInputs& inputs,
                                     bool exact) {
    LedgerRequest request;
    request.strProfile = profile;
    request.strJob = ProductionRecord::ModeName(inputs.mode);
    request.bExact = exact;
    switch (inputs.mode) {
        case SerialAndUsbSettings:
        case UsbSettingsOnly:
            // A USB reader's MIFARE serial number is its USB one: both spaces hold it.
            request.bUsb = true;
            request.bMifare = inputs.mode == SerialAndUsbSettings;
            request.dwNumber = inputs.usbSerial;
            request.dwMax = ProductionForm::kMaxUsbSerial;
            request.strUsbPrefix = inputs.manufacturerId;
            break;
        case SerialOnly:
            request.bMifare = true;
            request.dwNumber = inputs.mifareSerial;
            request.dwMax = ProductionForm::kMaxMifareSerial;
            break;
        default:
            request.strFile = inputs.filePath;
            break;
    }
    return request;
}

Ledger::Reserve LedgerJob::Reserve(Ledger& ledger, const std::string& profile, ProgrammingInputs& inputs,
                                   bool exact, std::time_t when, std::string& message) {
    m_bReserved = false;
    const LedgerRequest request = MakeRequest(profile, inputs, exact);
    const Ledger::Reserve result = ledger.ReserveRun(request, when, m_run, message);
    if (result != Ledger::Reserve::Reserved) {
        return result;
    }
    m_bReserved = true;
    if (request.bUsb) {
        inputs.usbSerial = *m_run.usbSerial;
        if (request.bMifare) {
            inputs.mifareSerial = *m_run.usbSerial;
        }
    } else if (request.bMifare) {
        inputs.mifareSerial = *m_run.mifareSerial;
    }
    return result;
}

bool LedgerJob::Finish(Ledger& ledger, const ProgrammingSequence& sequence, std::time_t when,
                       std::string& error) {
    if (!m_bReserved) {
        return true;
    }
    const bool ok = sequence.Succeeded();
    const bool cancelled = !ok && sequence.GetState() != ProgrammingState::Failed;
    const std::string message = ProductionRecord::EndMessage(sequence);
    m_bReserved = false;
    return ledger.FinishRun(m_run.nId, ok, cancelled, sequence.SerialSent(), message, when, error);
}

bool LedgerJob::Cancel(Ledger& ledger, std::time_t when, std::string& error) {
    if (!m_bReserved) {
        return true;
    }
    m_bReserved = false;
    return ledger.FinishRun(m_run.nId, false, true, false, "Cancelled before the reader answered.", when,
                            error);
}
