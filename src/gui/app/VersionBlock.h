#pragma once

#include <cstdint>
#include <span>

// The version block embedded in the executable: a list of translations (language id, code page)
// and, per translation, named string values. The build generates the program's block from the
// project version; tests build their own.
struct VersionString {
    const char* name;
    const char* value;
};

struct VersionTranslation {
    uint16_t language;
    uint16_t codePage;
};

struct VersionStringTable {
    const char* key;  // the translation as eight lowercase hex digits, "040904b0"
    std::span<const VersionString> strings;
};

struct VersionBlock {
    std::span<const VersionTranslation> translations;
    std::span<const VersionStringTable> tables;
};

// The block of this executable.
const VersionBlock& ProgramVersionBlock();
