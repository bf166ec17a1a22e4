#include "app/CReaderTestApp.h"

#include <chrono>

#include "StringTable.h"
#include "common/MessageBox.h"
#include "link/D2xx.h"
#include "sim/Simulator.h"
#include "simulator/CSimulatorPanel.h"

CReaderTestApp::CReaderTestApp() = default;
CReaderTestApp::~CReaderTestApp() = default;

CSimulatorPanel* CReaderTestApp::GetSimulatorPanel() const {
    return m_pSimulatorPanel;
}

bool CReaderTestApp::ProbeUsb() {
    return CreateDefaultD2xx() != nullptr;
}

std::unique_ptr<CAllControlsSheet> CReaderTestApp::CreateSheet(const CRunModeCommandLineInfo& info) {
    if (info.m_bSimulate && !m_pSimulator) {
        std::string error;
        m_pSimulator = Simulator::Start(error);
        if (!m_pSimulator) {
            // The program still serves real readers: say why and go on without the simulation.
            ShowMessage(nullptr, QString::asprintf(LoadString(IDS_SIMULATOR_FAILED).c_str(), error.c_str()),
                        MessageIcon::Exclamation);
        }
    }
    // With the simulated reader, its bridge is the USB device and its pseudo-terminal the port.
    auto sheet =
        std::make_unique<CAllControlsSheet>(QStringLiteral("Tagbench"), nullptr, 0,
                                            m_pSimulator ? m_pSimulator->UsbProvider() : CreateDefaultD2xx());
    sheet->m_bDevelop = info.m_bDevelop;
    sheet->m_bProduction = info.m_bProduction;
    sheet->m_bHitag2 = info.m_bHitag2;
    sheet->m_bUsbAvailable = m_pSimulator != nullptr || ProbeUsb();
    if (m_pSimulator) {
        sheet->GetConnectionDialog().SetPreferredPort(m_pSimulator->PortName());
    }
    sheet->AddPages();
    if (m_pSimulator) {
        // The user's hands at the simulated reader, beside the sheet from the start and again from
        // the sheet's button row.
        m_pSimulatorPanel = new CSimulatorPanel(m_pSimulator->Reader(), sheet.get());
        m_pSimulatorPanel->ShowWithParent();
        sheet->SetSimulatorPanel(m_pSimulatorPanel);
    }
    return sheet;
}

int CReaderTestApp::InitInstance(int argc, const char* const* argv) {
    CRunModeCommandLineInfo info;
    info.ParseCommandLine(argc, argv);
    std::unique_ptr<CAllControlsSheet> sheet = CreateSheet(info);
    // A line that goes away while nothing runs shows as lost within a second.
    sheet->GetSession().SetLineCheckPeriod(std::chrono::seconds(1));
    sheet->exec();
    return 0;
}
