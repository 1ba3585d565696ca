// The table printer: alignment, the rule under the header, empty columns,
// unfinished rows and the column limit.
#include <gtest/gtest.h>

#include <string>

#include "command/log.h"
#include "command/tp.h"
#include "support/support.h"

namespace {

class Tp : public ::testing::Test {
  protected:
    void SetUp() override { kvn_test_reset(); }
};

// Builds a table from rows of cells (each row closed with tp_newrow) and
// returns what tp_print writes.
std::string print_rows(const std::vector<std::vector<const char *>> &rows)
{
    Capture c;
    TP *tp = tp_new(c.f);
    for (const auto &row : rows) {
        for (const char *cell : row)
            tp_cell(tp, cell);
        tp_newrow(tp);
    }
    tp_print(tp);
    tp_free(tp);
    return c.str();
}

std::string log_text()
{
    Capture c;
    show_log(0, nullptr, c.f);
    return c.str();
}

TEST_F(Tp, Layouts)
{
    struct Case {
        const char *what;
        std::vector<std::vector<const char *>> rows;
        const char *want;
    } cases[] = {
        {"left and right aligned columns with the rule",
         {{"name", "#count", "state"}, {"a", "5", "up"}, {"longer", "12345", "down"}},
         "  name   count state \n"
         "  ------ ----- ----- \n"
         "  a          5 up    \n"
         "  longer 12345 down  \n"},
        {"a '#' below the header is text",
         {{"n"}, {"#1"}},
         "  n  \n"
         "  -- \n"
         "  #1 \n"},
        {"a width-0 column gets one blank in the rule",
         {{"a", "", "b"}, {"x", "", "y"}},
         "  a  b \n"
         "  -   - \n"
         "  x  y \n"},
        {"a short row stops at its last cell",
         {{"h1", "h2"}, {"only"}},
         "  h1   h2 \n"
         "  ---- -- \n"
         "  only \n"},
        {"header alone, closed", {{"h"}}, "  h \n  - \n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(print_rows(c.rows), c.want) << c.what;
}

TEST_F(Tp, UnclosedHeaderPrintsNothing)
{
    Capture c;
    TP *tp = tp_new(c.f);
    tp_cell(tp, "name");
    tp_cell(tp, "#value");
    tp_print(tp);
    tp_free(tp);
    EXPECT_EQ(c.str(), "");
}

TEST_F(Tp, ValueCells)
{
    const uint8_t v4[4] = {192, 0, 2, 10};
    uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8};
    v6[15] = 1;
    Capture c;
    TP *tp = tp_new(c.f);
    tp_cell(tp, "#i");
    tp_cell(tp, "#u");
    tp_cell(tp, "v4");
    tp_cell(tp, "v6");
    tp_newrow(tp);
    tp_int(tp, -42);
    tp_uint(tp, 4294967295u);
    tp_ipv4(tp, v4);
    tp_ipv6(tp, v6);
    tp_newrow(tp);
    tp_print(tp);
    tp_free(tp);
    EXPECT_EQ(c.str(),
              "    i          u v4         v6          \n"
              "  --- ---------- ---------- ----------- \n"
              "  -42 4294967295 192.0.2.10 2001:db8::1 \n");
}

TEST_F(Tp, SixteenColumnsFitSeventeenthReplacesLast)
{
    const char *warning = "current_col exeeded TP_MAXCOL, please contact support";
    Capture c;
    TP *tp = tp_new(c.f);
    for (int i = 0; i < TP_MAXCOL; i++)
        tp_cell(tp, std::to_string(i % 10).c_str());
    EXPECT_EQ(log_text().find(warning), std::string::npos) << "a full row is not an overflow";
    tp_cell(tp, "X");
    EXPECT_NE(log_text().find(warning), std::string::npos);
    tp_newrow(tp);
    tp_print(tp);
    tp_free(tp);
    EXPECT_EQ(c.str(),
              "  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 X \n"
              "  - - - - - - - - - - - - - - - - \n");
}

TEST_F(Tp, RowLimitKeepsLastRow)
{
    Capture c;
    TP *tp = tp_new(c.f);
    for (int r = 0; r < TP_MAXROW + 5; r++) {
        tp_int(tp, r);
        tp_newrow(tp);
    }
    EXPECT_NE(log_text().find("current_row exeeded TP_MAXROW, please contact support"), std::string::npos);
    tp_print(tp);
    tp_free(tp);
    std::string out = c.str();
    // Rows 0..1998 are finished; the last row keeps being overwritten.
    EXPECT_NE(out.find("  1998 \n"), std::string::npos);
    EXPECT_EQ(out.find("  1999 \n"), std::string::npos);
}

}  // namespace
