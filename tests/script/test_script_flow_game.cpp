// The game in tests/game/script_flow run in-process: its start script ends by itself, and
// the variables it leaves behind show that every call, shift, loop and escape went where it
// should.
#include "flow_fixture.h"

namespace kestrune::script::testing {
namespace {

using ScriptFlowGame = FlowTest;

TEST_F(ScriptFlowGame, RunsToItsEndWithExpectedResults) {
    std::filesystem::current_path(std::filesystem::path(KESTRUNE_SOURCE_DIR) / "tests" / "game" /
                                  "script_flow");
    ASSERT_TRUE(run());
    const std::pair<const char*, const char*> expected[] = {
        {"$total", "10"},
        {"$tags", "txxxx"},
        {"$lib", "7"},
        {"$pairs", "6"},
        {"$intro", "1"},
        {"$sum_ok", "1"},
        {"$fight", "1"},
        {"$helper", "1"},
        {"$chapter2", "1"},
        {"$chapter2_cut", "1"},
        {"$shift_from", "1"},
        {"$shift_to", "1"},
        {"$deep_after", ""},
        {"$escape_after", ""},
        {"$never", ""},
        {"$pairs_ok", "1"},
        {"$done", "1"},
        {"$SYSTEM_present_preprocess", "story"},
        {"$SYSTEM_present_text", "@first"},
    };
    for (const auto& [name, value] : expected) EXPECT_EQ(text(name), value) << name;
}

} // namespace
} // namespace kestrune::script::testing
