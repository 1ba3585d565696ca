// "show nat" over the GNAT table and the two port tables: the layout, the
// singular for one entry, the cut-off after `gnatdlimit` + 1 and
// `natdlimit` + 1 lines only when entries remain; and nat_scan, the
// expiry step over all three tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "command/process.h"
#include "config/parameters.h"
#include "packet/gnat.h"
#include "packet/nattable.h"
#include "packet/regular_callback.h"
#include "support/gnat_keys.h"
#include "support/support.h"

namespace {

std::string show_nat()
{
    std::string out = run_line("show nat");
    const std::string prompt = "kvn# ";
    EXPECT_EQ(out.substr(out.size() - prompt.size()), prompt);
    return out.substr(0, out.size() - prompt.size());
}

const char *const PORT_HEADER = "    ip-address      iport  oport  age\n"
                                "    --------------- -----  ----- ----\n";

struct ShowNatTest : ::testing::Test {
    void SetUp() override
    {
        kvn_test_reset();
        set_uptime(1000);
        clear();
    }
    void TearDown() override { clear(); }
    static void clear()
    {
        gnat_clear(gnat_table);
        for (NATTABLE *t : nat_tables)
            nat_clear(t);
    }
};

TEST_F(ShowNatTest, LayoutAndSingular)
{
    GNATPAIR p;
    gnat_insert(gnat_table, gnat_side("192.0.2.1", GNAT_TCP4, 1000), gnat_side("203.0.113.1", GNAT_TCP4, 20000), &p);
    set_uptime(1003);
    gnat_insert(gnat_table, gnat_side("2001:db8::1", GNAT_ECH6, 7), gnat_side("2001:db8::ff", GNAT_ECH6, 20001), &p);
    NATPAIR n;
    const uint8_t a[4] = {192, 0, 2, 7}, b[4] = {192, 0, 2, 8};
    ASSERT_TRUE(nat_new(nat_tables[NAT_UDP], a, 5060, &n));
    set_uptime(1005);
    EXPECT_EQ(show_nat(), std::string(" GNAT: 2 entries\n"
                                      "  2001:db8::1 ECH6 7 2001:db8::ff ECH6 20001 2\n"
                                      "  192.0.2.1 TCP4 1000 203.0.113.1 TCP4 20000 5\n"
                                      "  TCP: 0 entries\n") +
                              PORT_HEADER + "  UDP: 1 entry\n" + PORT_HEADER +
                              "    192.0.2.7        5060  20000    2\n");

    gnat_clear(gnat_table);
    gnat_insert(gnat_table, gnat_side("192.0.2.1", GNAT_UDP4, 53), gnat_side("203.0.113.1", GNAT_UDP4, 20000), &p);
    ASSERT_TRUE(nat_new(nat_tables[NAT_TCP], a, 80, &n));
    ASSERT_TRUE(nat_new(nat_tables[NAT_TCP], b, 80, &n));
    EXPECT_EQ(show_nat(), std::string(" GNAT: 1 entry\n"
                                      "  192.0.2.1 UDP4 53 203.0.113.1 UDP4 20000 0\n"
                                      "  TCP: 2 entries\n") +
                              PORT_HEADER +
                              "    192.0.2.8          80  20001    0\n"
                              "    192.0.2.7          80  20000    0\n"
                              "  UDP: 1 entry\n" +
                              PORT_HEADER + "    192.0.2.7        5060  20000    2\n");
}

TEST_F(ShowNatTest, CutOffOnlyWhenEntriesRemain)
{
    const char *const CUT = "  ... remaining entries not shown\n";
    params[P_GNATDLIMIT].current = 10;
    params[P_NATDLIMIT].current = 12;
    struct {
        int gnat, tcp;    // entries in the tables
        int gnat_lines, tcp_lines;
        bool gnat_cut, tcp_cut;
    } rows[] = {
        {11, 13, 11, 13, false, false},   // limit + 1 lines are all there is
        {12, 14, 11, 13, true, true},
        {30, 0, 11, 0, true, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.gnat);
        clear();
        GNATPAIR p;
        for (int i = 0; i < r.gnat; i++)
            gnat_insert(gnat_table, gnat_side("192.0.2.1", GNAT_TCP4, (uint16_t)(1000 + i)),
                        gnat_side("203.0.113.1", GNAT_TCP4, (uint16_t)(20000 + i)), &p);
        NATPAIR n;
        const uint8_t a[4] = {192, 0, 2, 9};
        for (int i = 0; i < r.tcp; i++)
            ASSERT_TRUE(nat_new(nat_tables[NAT_TCP], a, (uint16_t)(1000 + i), &n));
        std::string want = " GNAT: " + std::to_string(r.gnat) + " entries\n";
        for (int i = r.gnat - 1; i >= r.gnat - r.gnat_lines; i--)
            want += "  192.0.2.1 TCP4 " + std::to_string(1000 + i) + " 203.0.113.1 TCP4 " +
                    std::to_string(20000 + i) + " 0\n";
        if (r.gnat_cut)
            want += CUT;
        want += "  TCP: " + std::to_string(r.tcp) + " entries\n" + PORT_HEADER;
        for (int i = r.tcp - 1; i >= r.tcp - r.tcp_lines; i--) {
            char line[64];
            snprintf(line, sizeof line, "    %-15s %5d  %5d %4d\n", "192.0.2.9", 1000 + i, 20000 + i, 0);
            want += line;
        }
        if (r.tcp_cut)
            want += CUT;
        want += std::string("  UDP: 0 entries\n") + PORT_HEADER;
        EXPECT_EQ(show_nat(), want);
    }
}

TEST_F(ShowNatTest, ExpiredEntriesAreNotListedAndNatScanSweepsAllTables)
{
    GNATPAIR p;
    NATPAIR n;
    const uint8_t a[4] = {192, 0, 2, 7};
    gnat_insert(gnat_table, gnat_side("192.0.2.1", GNAT_TCP4, 1000), gnat_side("203.0.113.1", GNAT_TCP4, 20000), &p);
    for (NATTABLE *t : nat_tables)
        ASSERT_TRUE(nat_new(t, a, 80, &n));
    set_uptime(1000 + param_value(P_NATTIMEOUT) + 1);
    EXPECT_EQ(show_nat(), std::string(" GNAT: 0 entries\n  TCP: 0 entries\n") + PORT_HEADER +
                              "  UDP: 0 entries\n" + PORT_HEADER);
    EXPECT_EQ(gnat_count(gnat_table), 1);
    nat_scan();
    EXPECT_EQ(gnat_count(gnat_table), 0);
    for (NATTABLE *t : nat_tables)
        EXPECT_EQ(nat_count(t), 0);
}

} // namespace
