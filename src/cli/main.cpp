#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "CliOptions.h"
#include "CliRunner.h"

int main(int argc, char** argv) {
    CliOptions options;
    std::string error;
    if (!options.Parse(std::vector<std::string>(argv + 1, argv + argc), error)) {
        std::cerr << "tagbench-cli: " << error << "\n\n" << CliOptions::Usage();
        return 2;
    }
    if (options.WantsHelp()) {
        std::cout << CliOptions::Usage();
        return 0;
    }
    const bool colour = isatty(STDOUT_FILENO) != 0 && std::getenv("NO_COLOR") == nullptr;
    CliRunner runner(options, std::cout, std::cerr, colour);
    return runner.Run();
}
