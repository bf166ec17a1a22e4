#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/CRunModeCommandLineInfo.h"

namespace {

struct KeywordCase {
    std::vector<const char*> tokens;
    bool develop;
    bool production;
    bool hitag2;
    bool simulate;
};

CRunModeCommandLineInfo Parse(std::vector<const char*> tokens) {
    tokens.insert(tokens.begin(), "tagbench");
    CRunModeCommandLineInfo info;
    info.ParseCommandLine(static_cast<int>(tokens.size()), tokens.data());
    return info;
}

}  // namespace

TEST(RunModeCommandLine, KeywordsAreWholeTokensWithoutCaseAndOneLeadingSlashOrDash) {
    const KeywordCase cases[] = {
        {{}, false, false, false, false},
        {{"develop"}, true, false, false, false},
        {{"Develop"}, true, false, false, false},
        {{"/DEVELOP"}, true, false, false, false},
        {{"-ontwikkeling"}, true, false, false, false},
        {{"dev"}, false, false, false, false},
        {{"--develop"}, false, false, false, false},
        {{"PRODUCTION"}, false, true, false, false},
        {{"-Production"}, false, true, false, false},
        {{"/productie"}, false, true, false, false},
        {{"productionx"}, false, false, false, false},
        {{"hitag2"}, false, false, true, false},
        {{"simulate"}, false, false, false, true},
        {{"-simulate"}, false, false, false, true},
        {{"--Simulate"}, false, false, false, true},
        {{"---simulate"}, false, false, false, false},
        {{"hitag2", "production", "develop", "develop", "whatever.txt"}, true, true, true, false},
    };
    for (const KeywordCase& c : cases) {
        const CRunModeCommandLineInfo info = Parse(c.tokens);
        std::string tokens;
        for (const char* token : c.tokens) {
            tokens += std::string(token) + " ";
        }
        SCOPED_TRACE(tokens);
        EXPECT_EQ(info.m_bDevelop, c.develop);
        EXPECT_EQ(info.m_bProduction, c.production);
        EXPECT_EQ(info.m_bHitag2, c.hitag2);
        EXPECT_EQ(info.m_bSimulate, c.simulate);
    }
}

TEST(RunModeCommandLine, FlagsAreOnlyEverSet) {
    CRunModeCommandLineInfo info;
    info.ParseParam("develop", false, false);
    info.ParseParam("other", false, true);
    EXPECT_TRUE(info.m_bDevelop);
}
