#include "link/LinkDiagnostic.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void LinkDiagnostic(int level, const char* format, ...) {
#ifndef NDEBUG
    static const bool enabled = std::getenv("TAGBENCH_DIAGNOSTICS") != nullptr;
    if (enabled) {
        va_list args;
        va_start(args, format);
        std::fprintf(stderr, "[%d] ", level);
        std::vfprintf(stderr, format, args);
        std::fputc('\n', stderr);
        va_end(args);
    }
#else
    (void)level;
    (void)format;
#endif
}
