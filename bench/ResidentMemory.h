#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

// The process's resident memory now, in KiB (VmRSS); -1 when it cannot be read.
inline long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}
