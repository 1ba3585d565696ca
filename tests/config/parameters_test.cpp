// The `set` command: names, bounds, defaults and its messages.
#include <gtest/gtest.h>
#include <string>

#include "config/parameters.h"
#include "support/support.h"

namespace {

std::string err(const std::string &msg) { return "  ERROR: " + msg + "\nkvn# "; }
const std::string OK = "kvn# ";

struct Params : ::testing::Test {
    void SetUp() override { kvn_test_reset(); }
};

TEST_F(Params, SetValuesAndMessages)
{
    const struct {
        const char *line;
        std::string out;
        PARAM_INDEX param;
        int value;  // current value afterwards
    } cases[] = {
        {"set sessiontimeout 9", err("value 9 out of bounds"), P_SESSIONTIMEOUT, 600},
        {"set sessiontimeout 10", OK, P_SESSIONTIMEOUT, 10},
        {"set sessiontimeout 172801", err("value 172801 out of bounds"), P_SESSIONTIMEOUT, 10},
        {"set sessiontimeout -5", err("value -5 out of bounds"), P_SESSIONTIMEOUT, 10},
        {"set sessiontimeout def", OK, P_SESSIONTIMEOUT, 600},
        // Beyond 32 bits the number must not wrap into the bounds.
        {"set natscan 4294967306", err("value 4294967306 out of bounds"), P_NATSCAN, 10},
        {"set natscan 3000000000", err("value 3000000000 out of bounds"), P_NATSCAN, 10},
        {"set natscan -4294967291", err("value -4294967291 out of bounds"), P_NATSCAN, 10},
        {"set localdsr 1", OK, P_LOCALDSR, 1},
        {"set localdsr abc", OK, P_LOCALDSR, 0},
        {"set arptimeout 30", OK, P_ARPTIMEOUT, 30},
        {"set arptimeout default", OK, P_ARPTIMEOUT, 0},
        {"set nosuch 1", err("parameter nosuch unknown"), P_NATSCAN, 10},
        {"set natsca 5", err("parameter natsca unknown"), P_NATSCAN, 10},
        {"set x", err("argument error"), P_NATSCAN, 10},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(run_line(c.line), c.out) << c.line;
        EXPECT_EQ(param_value(c.param), c.value) << c.line;
    }
}

TEST_F(Params, UnknownShowItem)
{
    EXPECT_EQ(run_line("show xyz"), err("item xyz unknown, type show ? for list"));
}

}  // namespace
