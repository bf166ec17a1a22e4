#pragma once

// The port's diagnostic trace: printf-style texts that never reach the user or a file. The sink
// discards them; a debug build prints them to stderr when TAGBENCH_DIAGNOSTICS is set.
void LinkDiagnostic(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
