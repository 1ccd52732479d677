// The probe's texts: GBK, without the characters GBK cannot show, cut whole.
#include "platform/probe.h"

#include <gtest/gtest.h>

using namespace kestrune::platform;

TEST(Probe, TextDropsWhatGbkCannotShowAndCutsByCharacter) {
    EXPECT_EQ(probe_text("Intel(R) Core", 127), "Intel(R) Core");
    // U+1F600 has no GBK form and is left out, where a converter would leave '?'.
    EXPECT_EQ(probe_text("a\xF0\x9F\x98\x80"
                         "b",
                         127),
              "ab");
    // "中文" is four bytes: a limit of 3 keeps only the first character, never half of one.
    EXPECT_EQ(probe_text("\xE4\xB8\xAD\xE6\x96\x87", 3), "\xD6\xD0");
    EXPECT_EQ(probe_text("\xE4\xB8\xAD\xE6\x96\x87", 4), "\xD6\xD0\xCE\xC4");
}

TEST(Probe, SystemStringsAreFilled) {
    const ProbeStrings p = probe_system();
    EXPECT_FALSE(p.os.empty());
    EXPECT_NE(p.memory.find("MB RAM"), std::string::npos);
    EXPECT_LE(p.cpu.size(), 127u);
}
