#pragma once

// The run-mode keywords of the command line. Each token is compared whole and without regard to
// case; a leading "/" or "-" is removed first; other tokens are ignored. Flags are only ever set,
// so order and repetition do not matter.
class CRunModeCommandLineInfo {
public:
    // Parses argv[1] .. argv[argc - 1], one ParseParam per token.
    void ParseCommandLine(int argc, const char* const* argv);
    // param: the token with its leading "/" or "-" already removed.
    void ParseParam(const char* param, bool isFlag, bool isLast);

    bool m_bDevelop = false;
    bool m_bProduction = false;
    bool m_bHitag2 = false;
    // Start the simulated reader inside the program.
    bool m_bSimulate = false;
};
