#pragma once

#include <QPointer>
#include <memory>

#include "app/CAllControlsSheet.h"
#include "app/CRunModeCommandLineInfo.h"

class CSimulatorPanel;
class Simulator;

// Starts the program: the run mode from the command line, then one modal sheet whose closing ends
// the run.
class CReaderTestApp {
public:
    CReaderTestApp();
    ~CReaderTestApp();

    // Runs the whole program; returns the process exit code. Needs a QApplication.
    int InitInstance(int argc, const char* const* argv);

    // The sheet for a run mode, its pages added, not yet shown. In the simulate run mode this
    // starts the simulated reader first, which then lives as long as the application object.
    std::unique_ptr<CAllControlsSheet> CreateSheet(const CRunModeCommandLineInfo& info);

    // Whether USB readers can be driven at all: the vendor library or the libftdi1 adapter can be
    // had. Keeps nothing loaded.
    static bool ProbeUsb();

    // The simulated reader of the simulate run mode; null in the other modes or when it failed.
    Simulator* GetSimulator() const { return m_pSimulator.get(); }
    // The simulated reader's panel of the last sheet made, which owns it; null without one.
    CSimulatorPanel* GetSimulatorPanel() const;

private:
    std::unique_ptr<Simulator> m_pSimulator;
    QPointer<CSimulatorPanel> m_pSimulatorPanel;
};
