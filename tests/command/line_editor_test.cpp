// The interactive line editor and its history ring, fed byte by byte with
// the echo captured in a memory file.
#include <gtest/gtest.h>

#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "command/line_editor.h"

namespace {

const std::string UP = "\x1b[A", DOWN = "\x1b[B", RIGHT = "\x1b[C", LEFT = "\x1b[D";

// One editor for all tests: the record holds the 32 MB history ring.
LINEEDITOR le;

class LineEditor : public ::testing::Test {
  protected:
    int echo_fd = -1;
    void SetUp() override
    {
        echo_fd = memfd_create("echo", 0);
        ASSERT_GE(echo_fd, 0);
        le_init(&le, echo_fd);
    }
    void TearDown() override { close(echo_fd); }

    // Feeds the bytes; returns the result of the last one.
    int feed(const std::string &keys)
    {
        int r = LE_MORE;
        for (unsigned char c : keys)
            r = le_feed(&le, c);
        return r;
    }
    // Everything echoed since the last call.
    std::string echo()
    {
        off_t size = lseek(echo_fd, 0, SEEK_END);
        std::string s(size, '\0');
        if (size > 0 && pread(echo_fd, s.data(), size, 0) != size)
            s.clear();
        if (ftruncate(echo_fd, 0) != 0 || lseek(echo_fd, 0, SEEK_SET) != 0)
            ADD_FAILURE() << "cannot reset echo file";
        return s;
    }
    std::string line() { return std::string(le.line, le.len); }
    std::string finished()
    {
        int len = 0;
        const char *text = le_finished_text(&le, &len);
        return std::string(text, len);
    }
    // Types a line and finishes it as the client does.
    void enter(const std::string &text)
    {
        ASSERT_EQ(feed(text + "\n"), LE_LINE);
        hist_enter(&le);
        le_clear(&le);
    }
};

TEST_F(LineEditor, EditingKeys)
{
    struct Case {
        const char *what;
        std::string keys;
        std::string line;   // current line afterwards
        int cursor;         // cursor afterwards
        std::string echo;   // exact echo, when it matters
    } cases[] = {
        {"plain typing", "abc", "abc", 3, "abc"},
        {"insert in the middle", "ac" + LEFT + "b", "abc", 2, "ac\bbc\b"},
        {"right moves over a character", "abc" + LEFT + LEFT + RIGHT + "X", "abXc", 3, ""},
        {"backspace at the end", "abc\b", "ab", 2, "abc\b \b"},
        {"DEL in the middle", "abc" + LEFT + "\x7f", "ac", 1, "abc\b\bc \b\b"},
        {"backspace at column 0", "\b", "", 0, ""},
        {"left at column 0", LEFT, "", 0, ""},
        {"right at the end", "ab" + RIGHT, "ab", 2, "ab"},
        {"^W removes blanks and a word", "foo bar  \x17", "foo ", 4, ""},
        {"two ^W remove two words", "foo bar\x17\x17", "", 0, ""},
        {"^W stops at the cursor", "ab cd" + LEFT + "\x17", "ab d", 3, ""},
        {"^U removes left of the cursor", "abc def" + LEFT + LEFT + LEFT + "\x15", "def", 0, ""},
        {"ESC and another byte drop it", "\x1bxy", "y", 1, "y"},
        {"unknown bracket key is dropped", "\x1b[Zq", "q", 1, "q"},
        {"tab redraws and rings", "ab" + LEFT + "\t", "ab", 1, "ab\b\bab\b\a"},
        {"other control bytes are ignored", "a\x01\r\x7f\x02" "b", "b", 1, ""},
        {"bytes above 126 are ignored", "a\xc3\xa9", "a", 1, "a"},
    };
    for (const Case &c : cases) {
        le_clear(&le);
        echo();
        EXPECT_EQ(feed(c.keys), LE_MORE) << c.what;
        EXPECT_EQ(line(), c.line) << c.what;
        EXPECT_EQ(le.cursor, c.cursor) << c.what;
        std::string e = echo();
        if (!c.echo.empty()) {
            EXPECT_EQ(e, c.echo) << c.what;
        }
        EXPECT_EQ(le.escape, LE_NORMAL) << c.what;
    }
}

TEST_F(LineEditor, NewlineAndEndOfSession)
{
    EXPECT_EQ(feed("show vips"), LE_MORE);
    echo();
    EXPECT_EQ(feed("\n"), LE_LINE);
    EXPECT_EQ(echo(), "\r\n");
    int len = 0;
    EXPECT_EQ(std::string(le_finished_text(&le, &len)), "show vips");
    EXPECT_EQ(len, 9);
    hist_enter(&le);
    le_clear(&le);

    // An empty line goes to the daemon as a single newline and stays out of
    // the history.
    EXPECT_EQ(feed("\n"), LE_LINE);
    EXPECT_EQ(finished(), "\n");
    hist_enter(&le);
    EXPECT_EQ(hist_count(&le), 1);

    EXPECT_EQ(feed("abc\x04"), LE_END);
}

TEST_F(LineEditor, HistoryBrowsing)
{
    // Both arrows ring the bell on an empty history.
    feed(UP);
    EXPECT_EQ(echo(), "\a");
    feed(DOWN);
    EXPECT_EQ(echo(), "\a");
    EXPECT_EQ(line(), "");

    enter("one");
    enter("two");
    feed("ab");
    echo();
    feed(UP);
    // Erase the shown "ab" (cursor at 2), then show the history line.
    EXPECT_EQ(echo(), "\b\b  \b\btwo");
    EXPECT_EQ(line(), "two");
    EXPECT_EQ(le.cursor, 3);
    feed(UP);
    EXPECT_EQ(line(), "one");
    echo();
    feed(UP);
    EXPECT_EQ(echo(), "\a");
    EXPECT_EQ(line(), "one");
    feed(DOWN);
    EXPECT_EQ(line(), "two");
    feed(DOWN);
    EXPECT_EQ(line(), "");  // back at the slot being typed into
    echo();
    feed(DOWN);
    EXPECT_EQ(echo(), "\a");

    // A recalled line can be edited and sent; it becomes the newest entry.
    feed(UP + UP + "s" + "\n");
    EXPECT_EQ(finished(), "ones");
    hist_enter(&le);
    le_clear(&le);
    feed(UP);
    EXPECT_EQ(line(), "ones");
    feed(UP);
    EXPECT_EQ(line(), "two");
}

TEST_F(LineEditor, RepeatedLineStoredOnce)
{
    enter("show vips");
    enter("show vips");
    EXPECT_EQ(hist_count(&le), 1);
    enter("show conf");
    enter("show vips");
    EXPECT_EQ(hist_count(&le), 3);
    feed(UP + UP + UP);
    EXPECT_EQ(line(), "show vips");
    echo();
    feed(UP);
    EXPECT_EQ(echo(), "\a");
}

TEST_F(LineEditor, RingKeepsLast999Lines)
{
    for (int i = 1; i <= 1200; i++)
        enter("line " + std::to_string(i));
    EXPECT_EQ(hist_count(&le), 999);
    for (int i = 0; i < 999; i++) {
        feed(UP);
        ASSERT_EQ(line(), "line " + std::to_string(1200 - i)) << i;
    }
    echo();
    feed(UP);
    EXPECT_EQ(echo(), "\a");
    EXPECT_EQ(line(), "line 202");
    for (int i = 0; i < 999; i++)
        feed(DOWN);
    EXPECT_EQ(line(), "");
    echo();
    feed(DOWN);
    EXPECT_EQ(echo(), "\a");
}

TEST_F(LineEditor, LongestLineRingsOnNextCharacter)
{
    std::string full(LE_MAXLINE, 'a');
    feed(full);
    EXPECT_EQ(le.len, 32766);
    EXPECT_EQ(echo().find('\a'), std::string::npos);
    feed("b");
    EXPECT_EQ(echo(), "\a");
    EXPECT_EQ(le.len, 32766);
    EXPECT_EQ(line(), full);
    // A full line still goes into the history whole.
    enter("");
    feed(UP);
    EXPECT_EQ(line(), full);
}

}  // namespace
