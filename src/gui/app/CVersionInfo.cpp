#include "app/CVersionInfo.h"

#include <cstdio>
#include <cstring>

CVersionInfo::CVersionInfo(const VersionBlock* block) : m_pBlock(block) {
    if (m_pBlock == nullptr || m_pBlock->translations.empty()) {
        return;
    }
    const VersionTranslation& first = m_pBlock->translations.front();
    char key[9];
    std::snprintf(key, sizeof key, "%04x%04x", first.language, first.codePage);
    m_strTranslation = key;
}

std::string CVersionInfo::Value(const char* name) const {
    if (m_pBlock == nullptr || m_strTranslation.empty()) {
        return {};
    }
    for (const VersionStringTable& table : m_pBlock->tables) {
        if (m_strTranslation != table.key) {
            continue;
        }
        for (const VersionString& entry : table.strings) {
            if (std::strcmp(entry.name, name) == 0) {
                return entry.value != nullptr ? entry.value : "";
            }
        }
    }
    return {};
}
