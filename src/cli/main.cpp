#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "CliOptions.h"
#include "CliProduce.h"
#include "CliRunner.h"
#include "link/SerialLine.h"

namespace {

// Ctrl-C or a kill ends the run at once, mid-exchange too; the port must not stay locked for others.
void OnTerminate(int signal) {
    SerialLine::ReleaseAllForExit();
    _exit(128 + signal);
}

// During a series the first Ctrl-C lets the reader at hand finish; a second one ends at once.
void OnProduceInterrupt(int signal) {
    if (IsProduceStopRequested()) {
        OnTerminate(signal);
    }
    RequestProduceStop();
}

}  // namespace

int main(int argc, char** argv) {
    struct sigaction action {};
    action.sa_handler = OnTerminate;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A log whose reader went away, or a file at its size limit, is a write error with a message;
    // these signals would end the program without statistics and with the reader's LEDs left on.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);

    CliOptions options;
    std::string error;
    if (!options.Parse(std::vector<std::string>(argv + 1, argv + argc), error)) {
        std::cerr << "tagbench-cli: " << error << "\n\n" << CliOptions::Usage();
        return 2;
    }
    if (options.WantsVersion()) {
        std::cout << CliOptions::VersionText();
        return 0;
    }
    if (options.WantsHelp()) {
        std::cout << CliOptions::Usage();
        return 0;
    }
    if (options.GetProduce().bEnabled) {
        action.sa_handler = OnProduceInterrupt;
        sigaction(SIGINT, &action, nullptr);
    }
    const bool colour = isatty(STDOUT_FILENO) != 0 && std::getenv("NO_COLOR") == nullptr;
    CliRunner runner(options, std::cout, std::cerr, colour);
    return runner.Run();
}
