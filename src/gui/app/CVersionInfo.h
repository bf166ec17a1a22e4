#pragma once

#include <string>

#include "app/VersionBlock.h"

// Names and versions the program from its embedded version block. A value that the block lacks
// reads as an empty string.
class CVersionInfo {
public:
    explicit CVersionInfo(const VersionBlock* block = &ProgramVersionBlock());

    std::string ProductName() const { return Value("ProductName"); }
    std::string ProductVersion() const { return Value("ProductVersion"); }
    std::string LegalCopyright() const { return Value("LegalCopyright"); }
    std::string FileDescription() const { return Value("FileDescription"); }
    std::string FileVersion() const { return Value("FileVersion"); }
    // "040904b0": language and code page of the first translation; empty without one.
    const std::string& Translation() const { return m_strTranslation; }

private:
    std::string Value(const char* name) const;

    const VersionBlock* m_pBlock;
    std::string m_strTranslation;
};
