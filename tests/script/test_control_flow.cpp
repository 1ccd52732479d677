// Control words run end to end: each case is a start script run on its own context thread;
// the variables it leaves behind show which way the cursor went.
#include "flow_fixture.h"

namespace kestrune::script::testing {
namespace {

using ControlFlow = FlowTest;

TEST_F(ControlFlow, Smoke) {
    write("start.txt", "chapter main\n{\n$a = 1;\n$b = $a + 2;\n}\n");
    ASSERT_TRUE(run());
    EXPECT_EQ(num("$a"), 1);
    EXPECT_EQ(num("$b"), 3);
}

} // namespace
} // namespace kestrune::script::testing
