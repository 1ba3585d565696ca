// The SNAT address pool: allocation to the end of the range, re-use first
// in first out, "snatrange" and its refusals, the reload passes, the saved
// line, "show snat" with its cut-off, and the once-a-second expiry of
// associations in both directions.
#include <gtest/gtest.h>

#include <string>

#include "command/interpreter.h"
#include "command/process.h"
#include "config/config_writer.h"
#include "config/parameters.h"
#include "packet/regular_callback.h"
#include "packet/snat.h"
#include "support/support.h"

namespace {

// a.b.c.d as the pool's number.
constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    return a << 24 | b << 16 | c << 8 | d;
}

constexpr uint32_t POOL1 = ip(198, 51, 100, 1);   // the range 198.51.100.1 - .4
constexpr uint32_t LEFT1 = ip(192, 0, 2, 10);


std::string saved_line()
{
    Capture c;
    write_snatrange(c.f, LINEFMT_FILE);
    return c.str();
}

struct SnatTest : ::testing::Test {
    void SetUp() override
    {
        kvn_test_reset();
        set_uptime(1000);
        snat_clear();
    }
    void TearDown() override
    {
        interp.reload_pass = 0;
        snat_clear();
    }
};

// No frame is sent here, so the range may be a private one as operators
// configure it.
TEST_F(SnatTest, AllocatesUpToTheEndThenReportsExhaustion)
{
    const struct {
        const char *line;
        uint32_t first;
    } cases[] = {
        {"snatrange 10.0.0.1 10.0.0.4", ip(10, 0, 0, 1)},
        {"snatrange 198.51.100.1 198.51.100.4", POOL1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        int before = log_count("out of SNAT addresses");
        EXPECT_EQ(run_output(c.line), "");
        ASSERT_TRUE(snat_active());
        EXPECT_EQ(snat_allocate(), c.first);
        EXPECT_EQ(snat_allocate(), c.first + 1);
        EXPECT_EQ(log_count("out of SNAT addresses"), before);
        EXPECT_EQ(snat_allocate(), 0u);
        EXPECT_EQ(log_count("out of SNAT addresses"), before + 1);
    }
}

TEST_F(SnatTest, ReleasedAddressesComeBackFirstInFirstOut)
{
    ASSERT_TRUE(snat_set_range(POOL1, POOL1 + 3));
    uint32_t a = snat_allocate(), b = snat_allocate();
    snat_associate(LEFT1, b);
    snat_release(b);
    snat_release(a);
    snat_release(ip(198, 51, 100, 9));   // outside the range: ignored
    EXPECT_EQ(snat_lookup_left(LEFT1), 0u) << "a release ends the association";
    EXPECT_EQ(run_output("show snat"),
              "  SNAT range active from 198.51.100.1 to 198.51.100.4\n"
              "  next previously unused address: 198.51.100.3\n"
              "  number of addresses ready for re-use: 2\n"
              "    198.51.100.1\n"
              "    198.51.100.2\n"
              "  number of SNAT associations: 0/0\n"
              "  left-to-right associations:\n"
              "  right-to-left associations:\n");
    EXPECT_EQ(snat_allocate(), b);
    EXPECT_EQ(snat_allocate(), a);
    EXPECT_EQ(snat_allocate(), 0u);
}

TEST_F(SnatTest, RefusedRangesClearThePool)
{
    struct {
        const char *line;
        const char *message;
    } rows[] = {
        {"snatrange 198.51.100 198.51.100.9", "invalid IPv4 address format"},
        {"snatrange 198.51.100.1 any", "invalid IPv4 address format"},
        {"snatrange 198.51.100.9 198.51.100.1", "invalid range"},
        {"snatrange 198.51.100.9 198.51.100.9", "invalid range"},
        {"snatrange 0.0.0.0 198.51.100.1", "invalid range"},
    };
    for (const auto &r : rows) {
        ASSERT_EQ(run_output("snatrange 198.51.100.1 198.51.100.4"), "");
        ASSERT_TRUE(snat_active());
        int result = 1;
        EXPECT_EQ(run_output(r.line, &result), std::string("  ERROR: ") + r.message + "\n") << r.line;
        EXPECT_EQ(result, 0);
        EXPECT_FALSE(snat_active()) << r.line;
        EXPECT_EQ(run_output("show snat"), "  SNAT not active\n");
        EXPECT_EQ(saved_line(), "");
    }
    ASSERT_EQ(run_output("snatrange 198.51.100.1 198.51.100.4"), "");
    EXPECT_EQ(run_output("no snatrange"), "");
    EXPECT_FALSE(snat_active());
}

TEST_F(SnatTest, SavedLineAndConfiguration)
{
    ASSERT_EQ(run_output("snatrange 198.51.100.1 198.51.100.200"), "");
    EXPECT_EQ(saved_line(), "snatrange 198.51.100.1 198.51.100.200\n");
    EXPECT_NE(run_output("show conf").find("\n  snatrange 198.51.100.1 198.51.100.200\n"), std::string::npos);
}

TEST_F(SnatTest, ReloadPassesKeepWhatIsRunning)
{
    ASSERT_EQ(run_output("snatrange 198.51.100.1 198.51.100.4"), "");
    uint32_t a = snat_allocate();
    snat_associate(LEFT1, a);
    // The dry run checks the words and changes nothing, not even on a refusal.
    interp.reload_pass = 1;
    EXPECT_EQ(run_output("snatrange 198.51.100.1 198.51.100.9"), "");
    EXPECT_EQ(run_output("snatrange 198.51.100.9 198.51.100.1"), "  ERROR: invalid range\n");
    EXPECT_EQ(run_output("no snatrange"), "");
    EXPECT_EQ(saved_line(), "snatrange 198.51.100.1 198.51.100.4\n");
    EXPECT_EQ(snat_lookup_left(LEFT1), a);
    // The second pass keeps the pool of an unchanged range, and replaces
    // the pool of a changed one.
    interp.reload_pass = 2;
    EXPECT_EQ(run_output("snatrange 198.51.100.1 198.51.100.4"), "");
    EXPECT_EQ(snat_lookup_left(LEFT1), a);
    EXPECT_EQ(snat_allocate(), a + 1);
    EXPECT_EQ(run_output("snatrange 198.51.100.1 198.51.100.9"), "");
    EXPECT_EQ(snat_lookup_left(LEFT1), 0u);
    EXPECT_EQ(snat_allocate(), POOL1);
}

TEST_F(SnatTest, ShowSnatListsTwentyOneLinesPerList)
{
    for (int n : {21, 22, 23}) {
        SCOPED_TRACE(n);
        ASSERT_TRUE(snat_set_range(POOL1, ip(198, 51, 100, 200)));
        for (int i = 0; i < n; i++) {
            set_uptime(1000 + (unsigned)i);
            uint32_t r = snat_allocate();
            ASSERT_EQ(r, POOL1 + (uint32_t)i);
            snat_associate(LEFT1 + (uint32_t)i, r);
        }
        set_uptime(1030);
        std::string want = "  SNAT range active from 198.51.100.1 to 198.51.100.200\n"
                           "  next previously unused address: 198.51.100." + std::to_string(n + 1) + "\n"
                           "  number of addresses ready for re-use: 0\n"
                           "  number of SNAT associations: " + std::to_string(n) + "/" + std::to_string(n) + "\n";
        for (bool reverse : {false, true}) {
            want += reverse ? "  right-to-left associations:\n" : "  left-to-right associations:\n";
            for (int i = n - 1; i >= 0 && i >= n - 21; i--) {
                char line[80];
                std::string left = "192.0.2." + std::to_string(10 + i);
                std::string right = "198.51.100." + std::to_string(1 + i);
                snprintf(line, sizeof line, "    %4d %s -> %s\n", 30 - i, (reverse ? right : left).c_str(),
                         (reverse ? left : right).c_str());
                want += line;
            }
            if (n > 21)
                want += "    ... additional entries available\n";
        }
        EXPECT_EQ(run_output("show snat"), want);
    }
}

TEST_F(SnatTest, AssociationsExpireInBothDirectionsOnceASecond)
{
    params[P_SNATTIMEOUT].current = 10;
    ASSERT_TRUE(snat_set_range(POOL1, POOL1 + 100));
    const uint32_t r1 = snat_allocate(), r2 = snat_allocate(), r3 = snat_allocate();
    snat_associate(LEFT1, r1);       // unused after 1000
    snat_associate(LEFT1 + 1, r2);   // answers come back until 1005
    snat_associate(LEFT1 + 2, r3);   // frames go out until 1005
    set_uptime(1005);
    ASSERT_EQ(snat_lookup_right(r2), LEFT1 + 1);
    ASSERT_EQ(snat_lookup_left(LEFT1 + 2), r3);

    set_uptime(1011);
    regular_callback();
    // The first association is gone both ways and its address is ready
    // for re-use; the others are alive through one direction each.
    EXPECT_EQ(snat_allocate(), r1);
    snat_release(r1);
    set_uptime(1016);
    regular_callback();
    // Now both are unused both ways; their addresses follow r1 into the
    // re-use set, the older association first.
    EXPECT_EQ(snat_allocate(), r1);
    EXPECT_EQ(snat_allocate(), r2);
    EXPECT_EQ(snat_allocate(), r3);
    EXPECT_EQ(snat_lookup_left(LEFT1 + 2), 0u);
    EXPECT_EQ(snat_lookup_right(r2), 0u);
    EXPECT_NE(run_output("show snat").find("  number of SNAT associations: 0/0\n"), std::string::npos);
}

} // namespace
