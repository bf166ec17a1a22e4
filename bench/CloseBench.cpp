// How long closing the program takes while each mode runs, against the simulated reader over its
// pseudo-terminal in real time: with the reader answering, and with the reader silent for a while
// before the close, when the running exchange waits for its full time-out. For comparison, the
// time a single exchange takes against the silent reader (the link's own limit).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>

#include "app/CReaderTestApp.h"
#include "common/ControlId.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"

namespace {

using Seconds = std::chrono::duration<double>;

void Run(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

template <typename T>
T* Control(QWidget* root, uint32_t id) {
    return qobject_cast<T*>(FindControl(root, id));
}

struct Mode {
    const char* name;
    // Starts the mode on a connected sheet; the card is out of the field for wait-for-card.
    std::function<void(CAllControlsSheet& sheet, SimReader& reader)> start;
    std::function<bool(CAllControlsSheet& sheet)> running;
};

// Seconds from the start of closing to the sheet being gone, or a negative value on failure.
double CloseTime(const Mode& mode, bool silent, double limit) {
    const char* argv[] = {"tagbench", "--simulate", "-develop"};
    CRunModeCommandLineInfo info;
    info.ParseCommandLine(3, argv);
    CReaderTestApp app;
    std::unique_ptr<CAllControlsSheet> sheet = app.CreateSheet(info);
    if (!sheet || app.GetSimulator() == nullptr) {
        return -1;
    }
    Control<QRadioButton>(sheet.get(), CConnectionDialog::IDC_COM)->click();
    Control<QPushButton>(sheet.get(), CConnectionDialog::IDC_CONNECT)->click();
    sheet->GetSession().WaitForIdle();
    if (!sheet->GetReaderPort().IsOpen()) {
        return -1;
    }
    SimReader& reader = app.GetSimulator()->Reader();
    mode.start(*sheet, reader);
    Run(0.5);
    if (!mode.running(*sheet)) {
        return -1;
    }
    if (silent) {
        SimFaults faults = reader.GetFaults();
        faults.silent = true;
        reader.SetFaults(faults);
        // An exchange that began before the silence has ended; the one now running began after it.
        Run(limit + 0.5);
    }
    const auto start = std::chrono::steady_clock::now();
    sheet.reset();
    return Seconds(std::chrono::steady_clock::now() - start).count();
}

// One Request against the silent reader, as the link's own limit for an exchange.
double ExchangeLimit() {
    std::string error;
    std::unique_ptr<Simulator> simulator = Simulator::Start(error);
    if (!simulator) {
        return -1;
    }
    ReaderPort port(nullptr, nullptr);
    ReaderLink link;
    if (port.OpenPortByName(simulator->PortName()) != LR_OK || link.Connect(&port, 9600) != LR_OK) {
        return -1;
    }
    SimFaults faults;
    faults.silent = true;
    simulator->Reader().SetFaults(faults);
    uint32_t cardType = 0;
    const auto start = std::chrono::steady_clock::now();
    link.Request(0, cardType);
    return Seconds(std::chrono::steady_clock::now() - start).count();
}

// Shows the page and lets its own start (the default key load) end.
void ShowPage(CAllControlsSheet& sheet, QWidget& page) {
    sheet.GetTabControl()->setCurrentWidget(&page);
    sheet.GetSession().WaitForIdle();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const Mode modes[] = {
        {"idle, connected", [](CAllControlsSheet&, SimReader&) {}, [](CAllControlsSheet&) { return true; }},
        {"continuous read",
         [](CAllControlsSheet& sheet, SimReader&) {
             ShowPage(sheet, sheet.GetCommandsDlg());
             Control<QPushButton>(&sheet.GetCommandsDlg(), CMifareCommandsDlg::IDC_CONT_READ)->click();
         },
         [](CAllControlsSheet& sheet) { return sheet.GetCommandsDlg().m_bContRead != 0; }},
        {"wait-for-card",
         [](CAllControlsSheet& sheet, SimReader& reader) {
             reader.LeaveCard(Simulator::kCardUid);
             ShowPage(sheet, sheet.GetCommandsDlg());
             Control<QPushButton>(&sheet.GetCommandsDlg(), CMifareCommandsDlg::IDC_WAIT_CARD)->click();
         },
         [](CAllControlsSheet& sheet) { return sheet.GetCommandsDlg().m_bWaitCard != 0; }},
        {"monitor polling",
         [](CAllControlsSheet& sheet, SimReader&) { ShowPage(sheet, sheet.GetMonitorDlg()); },
         [](CAllControlsSheet& sheet) { return sheet.GetMonitorDlg().IsPolling(); }},
    };
    const double limit = ExchangeLimit();
    std::printf("one exchange against the silent reader (the link's limit): %.2f s\n", limit);
    bool ok = limit > 0;
    for (const Mode& mode : modes) {
        const double answering = CloseTime(mode, false, limit);
        const double silent = CloseTime(mode, true, limit);
        std::printf("close during %-16s reader answering %.3f s, reader silent %.3f s (%.2f of the limit)\n",
                    mode.name, answering, silent, silent / limit);
        ok = ok && answering >= 0 && silent >= 0;
    }
    return ok ? 0 : 1;
}
