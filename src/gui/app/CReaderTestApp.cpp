#include "app/CReaderTestApp.h"

#include "link/D2xx.h"

CReaderTestApp::CReaderTestApp() = default;
CReaderTestApp::~CReaderTestApp() = default;

bool CReaderTestApp::ProbeUsb() {
    return CreateDefaultD2xx() != nullptr;
}

std::unique_ptr<CAllControlsSheet> CReaderTestApp::CreateSheet(const CRunModeCommandLineInfo& info) {
    auto sheet = std::make_unique<CAllControlsSheet>(QStringLiteral("Tagbench"), nullptr, 0);
    sheet->m_bDevelop = info.m_bDevelop;
    sheet->m_bProduction = info.m_bProduction;
    sheet->m_bHitag2 = info.m_bHitag2;
    sheet->m_bUsbAvailable = ProbeUsb();
    sheet->AddPages();
    return sheet;
}

int CReaderTestApp::InitInstance(int argc, const char* const* argv) {
    CRunModeCommandLineInfo info;
    info.ParseCommandLine(argc, argv);
    std::unique_ptr<CAllControlsSheet> sheet = CreateSheet(info);
    sheet->exec();
    return 0;
}
