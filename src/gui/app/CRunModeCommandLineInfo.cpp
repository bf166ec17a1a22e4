#include "app/CRunModeCommandLineInfo.h"

#include <QString>

namespace {

bool IsKeyword(const QString& token, const char* keyword) {
    return token.compare(QLatin1String(keyword), Qt::CaseInsensitive) == 0;
}

}  // namespace

void CRunModeCommandLineInfo::ParseCommandLine(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const char* token = argv[i];
        const bool isFlag = token[0] == '/' || token[0] == '-';
        ParseParam(isFlag ? token + 1 : token, isFlag, i == argc - 1);
    }
}

void CRunModeCommandLineInfo::ParseParam(const char* param, bool /*isFlag*/, bool /*isLast*/) {
    const QString token = QString::fromLocal8Bit(param);
    if (IsKeyword(token, "ontwikkeling") || IsKeyword(token, "develop")) {
        m_bDevelop = true;
    }
    if (IsKeyword(token, "productie") || IsKeyword(token, "production")) {
        m_bProduction = true;
    }
    if (IsKeyword(token, "hitag2")) {
        m_bHitag2 = true;
    }
    // "--simulate" arrives here as "-simulate": accept the long-option spelling too.
    if (IsKeyword(token, "simulate") || IsKeyword(token, "-simulate")) {
        m_bSimulate = true;
    }
}
