// The session table's commands and displays: the listing and its display
// budget, stinfo with a second chunk, the removal commands, stfill, dump
// and load (round trip with SYNC markers, format errors and the count of
// lines, numbers outside the object tables), a dump through a symbolic
// link and dumps whose writes fail, and the dry run of a reload.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "balance/session_table.h"
#include "command/interpreter.h"
#include "command/process.h"
#include "config/config_state.h"
#include "config/parameters.h"
#include "support/support.h"

namespace {

// A command's output without the prompt that follows it.
std::string output(const std::string &line, int *result = nullptr)
{
    std::string out = run_line(line, result);
    const std::string prompt = "kvn# ";
    if (out.size() >= prompt.size() && out.compare(out.size() - prompt.size(), prompt.size(), prompt) == 0)
        out.resize(out.size() - prompt.size());
    return out;
}

const std::string HEADER = "  srv tgt  age timeout ftimeout SYNC session-id\n"
                           "  --- --- ---- ------- -------- ---- ------------------\n";
const std::string FILTERED_HEADER = "  srv tgt  age timeout SYNC session-id\n"
                                    "  --- --- ---- ------- ---- ------------------\n";

bool found(const char *id, int server)
{
    return st_lookup_locked(session_table, id, server) != nullptr;
}

int total()
{
    STCOUNTS c;
    st_counts(session_table, &c);
    return c.total;
}

int count_lines(const std::string &text)
{
    int n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

// Names in a directory other than . and ..
int entries_in(const std::string &dir)
{
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            n += strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
        closedir(d);
    }
    return n;
}

struct SessionCommands : ::testing::Test {
    TempRoot root;
    void SetUp() override
    {
        kvn_test_reset();
        set_uptime(1000);
        mkdir(root.file("/var/dumps").c_str(), 0755);
    }
    void TearDown() override { kvn_test_reset(); }
};

}  // namespace

TEST_F(SessionCommands, ShowSessionsLines)
{
    EXPECT_EQ(output("show sessions"), "  0 sessions\n");
    st_update(session_table, "192.0.2.7:40000", 1, 2, 0);
    EXPECT_EQ(output("show sessions"), "  1 session\n" + HEADER + "    1   2    0     600        0      192.0.2.7:40000\n");

    st_update(session_table, "b", 12, 345, 30);
    st_wrlock(session_table);
    SESSION *s = st_lookup(session_table, "b", 12);
    s->ftimeout = 5;
    s->addr = 0xC6336407;  // 198.51.100.7
    st_set_acked_unlocked(session_table, s);
    st_unlock(session_table);
    set_uptime(1007);
    EXPECT_EQ(output("show sessions"), "  2 sessions\n" + HEADER +
                                           "   12 345    7      30        5 SYNC b 198.51.100.7\n"
                                           "    1   2    7     600        0      192.0.2.7:40000\n");
    // The filtered form: the same lines under its own header.
    EXPECT_EQ(output("show sessions 192.0"), FILTERED_HEADER + "    1   2    7     600        0      192.0.2.7:40000\n");
    EXPECT_EQ(output("show sessions nothing"), FILTERED_HEADER);
}

TEST_F(SessionCommands, FirstSecondSessionAgeZero)
{
    set_uptime(0);
    run_line("stfill 1");
    EXPECT_EQ(output("show sessions"), "  1 session\n" + HEADER + "    1   1    0     600        0      TEST-DATA-0000000000\n");
}

TEST_F(SessionCommands, ShowSessionsDisplayBudget)
{
    struct Case {
        int limit, sessions, lines;
        bool remark;
    } cases[] = {
        {10, 12, 11, true},
        {10, 11, 11, true},
        {10, 10, 10, false},
        {20, 12, 12, false},
    };
    for (const Case &c : cases) {
        kvn_test_reset();
        params[P_SESSIONDLIMIT].current = c.limit;
        run_line("stfill " + std::to_string(c.sessions));
        std::string out = output("show sessions");
        const std::string remark = "  ... remaining sessions not shown\n";
        bool has_remark = out.size() >= remark.size() && out.compare(out.size() - remark.size(), remark.size(), remark) == 0;
        EXPECT_EQ(has_remark, c.remark) << c.sessions;
        // The count line and the two header lines come first.
        EXPECT_EQ(count_lines(out) - 3 - (has_remark ? 1 : 0), c.lines) << c.sessions;
    }
    // In the filtered form only matching sessions count.
    kvn_test_reset();
    run_line("stfill 30");
    std::string out = output("show sessions TEST-DATA-000000001");   // TEST-DATA-0000000010 .. 19
    EXPECT_EQ(count_lines(out), 2 + 10);
    EXPECT_EQ(out.find("remaining"), std::string::npos);
}

TEST_F(SessionCommands, StinfoCountsChunks)
{
    run_line("stfill 65536");
    const std::string counts = "  current number of TOTAL sessions ......... :      65536\n"
                               "  sessions created since startup ........... :          0\n"
                               "  current number of NEW (unsynched) sessions :      65536\n"
                               "  current number of sessions waiting for ACK :          0\n"
                               "  current number of ACK'ed sessions ........ :          0\n";
    const std::string bytes = "  bytes/session: " + std::to_string(sizeof(SESSION)) + "\n";
    EXPECT_EQ(output("show stinfo"), bytes + "  allocated 1 chunks of 65536 entries\n" + counts);
    run_line("stfill 65537");   // the first 65536 exist already: one new session
    std::string out = output("show stinfo");
    EXPECT_NE(out.find("  allocated 2 chunks of 65536 entries\n"), std::string::npos) << out;
    EXPECT_NE(out.find("TOTAL sessions ......... :      65537\n"), std::string::npos) << out;
    EXPECT_EQ(output("show nous"), "65537\n");
    EXPECT_EQ(output("show maxbucket").rfind("  length of longest session table bucket list: ", 0), 0u);
}

TEST_F(SessionCommands, SizesAndMaxbucket)
{
    EXPECT_EQ(output("show sizes"), "               STSIZE: 16777216\n sizeof(SESSIONTABLE): " +
                                        std::to_string(sizeof(SESSIONTABLE) + 16777216 * sizeof(void *)) +
                                        "\n      sizeof(SESSION): " + std::to_string(sizeof(SESSION)) + "\n");
    EXPECT_EQ(output("show maxbucket"), "  length of longest session table bucket list: 0\n");
    // Two ids of one bucket: "a" + "B" and "b" + "!" (33 * 'a' + 'B' == 33 * 'b' + '!').
    st_update(session_table, "aB", 1, 1, 0);
    st_update(session_table, "b!", 1, 1, 0);
    EXPECT_EQ(output("show maxbucket"), "  length of longest session table bucket list: 2\n");
}

TEST_F(SessionCommands, NousCountsNewAndWaitack)
{
    run_line("stfill 3");
    st_set_waitack(session_table, st_lookup_locked(session_table, "TEST-DATA-0000000000", 1));
    st_set_acked(session_table, st_lookup_locked(session_table, "TEST-DATA-0000000001", 1));
    EXPECT_EQ(output("show nous"), "2\n");
}

TEST_F(SessionCommands, RemovalCommands)
{
    run_line("stfill 3");   // TEST-DATA-0000000000 .. 2, target 1
    st_update(session_table, "192.0.2.1:1000", 1, 4, 0);
    st_update(session_table, "192.0.2.2:1000", 1, 9, 0);
    st_update(session_table, "198.51.100.1:80", 1, 12, 0);

    EXPECT_EQ(output("rms TEST-DATA-000000000"), "");   // not an exact id
    EXPECT_TRUE(found("TEST-DATA-0000000000", 1));
    EXPECT_EQ(output("rms TEST-DATA-0000000000"), "");
    EXPECT_FALSE(found("TEST-DATA-0000000000", 1));
    EXPECT_EQ(total(), 6);   // marked, not reclaimed

    output("rmsession DATA-0000000001");
    EXPECT_FALSE(found("TEST-DATA-0000000001", 1));
    EXPECT_TRUE(found("TEST-DATA-0000000002", 1));

    output("rmt ,,4,0,-9,,12,x,");
    EXPECT_FALSE(found("192.0.2.1:1000", 1));
    EXPECT_TRUE(found("192.0.2.2:1000", 1));
    EXPECT_FALSE(found("198.51.100.1:80", 1));
    EXPECT_EQ(cfg.targets[4].cur_sessions, 1);   // lowered by the garbage collection only

    for (int i = 0; i < 20; i++)
        st_gc_step_locked(session_table);
    EXPECT_EQ(total(), 2);
    EXPECT_EQ(cfg.targets[4].cur_sessions, 0);
}

TEST_F(SessionCommands, StfillCreatesTestSessions)
{
    EXPECT_EQ(output("stfill 0"), "");
    EXPECT_EQ(output("stfill -5"), "");
    EXPECT_EQ(total(), 0);
    EXPECT_EQ(output("stfill 2"), "");
    EXPECT_TRUE(found("TEST-DATA-0000000000", 1));
    EXPECT_TRUE(found("TEST-DATA-0000000001", 1));
    EXPECT_EQ(cfg.targets[1].cur_sessions, 2);
    EXPECT_EQ(cfg.servers[1].cur_sessions, 2);
}

TEST_F(SessionCommands, DumpAndLoadRoundTrip)
{
    st_update(session_table, "192.0.2.7:40000", 1, 2, 0);
    st_update(session_table, "acked", 3, 4, 120);
    st_update(session_table, "waiting", 5, 6, 30);
    st_set_acked(session_table, st_lookup_locked(session_table, "acked", 3));
    st_set_waitack(session_table, st_lookup_locked(session_table, "waiting", 5));
    set_uptime(1003);
    EXPECT_EQ(output("sessiondump /var/dumps/s.txt"), "dumping 3 sessions to /var/dumps/s.txt ...... done.\n");
    EXPECT_EQ(read_file(root.file("/var/dumps/s.txt")), "    5   6    3      30        0      waiting\n"
                                                         "    3   4    3     120        0 SYNC acked\n"
                                                         "    1   2    3     600        0      192.0.2.7:40000\n");
    struct stat st;
    ASSERT_EQ(stat(root.file("/var/dumps/s.txt").c_str(), &st), 0);
    EXPECT_EQ(entries_in(root.file("/var/dumps")), 1);   // no temporary file left

    kvn_test_reset();
    set_uptime(2000);
    EXPECT_EQ(output("sessionload /var/dumps/s.txt"), "ok, 3 entries loaded.\n");
    SESSION *s = st_lookup_locked(session_table, "acked", 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->target, 4);
    EXPECT_EQ(s->timeout, 120u);
    EXPECT_EQ(s->last_used, 2000u);
    EXPECT_EQ(st_is_new(session_table, s), 1);   // a loaded session starts unsynchronised
    EXPECT_TRUE(found("waiting", 5));
    EXPECT_TRUE(found("192.0.2.7:40000", 1));
    EXPECT_EQ(cfg.targets[4].cur_sessions, 1);

    // A relative name is taken from the root directory.
    EXPECT_EQ(output("sessiondump var/dumps/r.txt"), "dumping 3 sessions to var/dumps/r.txt ...... done.\n");
    EXPECT_EQ(count_lines(read_file(root.file("/var/dumps/r.txt"))), 3);
}

TEST_F(SessionCommands, DumpOfManySessionsInBatches)
{
    const int n = 3 * ST_BATCH + 5;
    run_line("stfill " + std::to_string(n));
    st_mark_id(session_table, "TEST-DATA-0000000007");
    output("sessiondump /var/dumps/many.txt");
    std::string text = read_file(root.file("/var/dumps/many.txt"));
    EXPECT_EQ(count_lines(text), n - 1);
    EXPECT_EQ(text.find("TEST-DATA-0000000007"), std::string::npos);
    EXPECT_NE(text.find("TEST-DATA-0000012292\n"), std::string::npos);
    EXPECT_EQ(session_table->pin, nullptr);
}

TEST_F(SessionCommands, LoadFormatErrors)
{
    struct Case {
        const char *text;
        const char *reply;
        int loaded;   // sessions in the table afterwards
    } cases[] = {
        {"1 1 0 600 0 a\n1 1 0 600 0 SYNC b\n\n1 1 0 600 0 c\n", "format error in line 3\nok, 3 entries loaded.\n", 2},
        {"1 1 0 600 0\n", "format error in line 1\nok, 1 entries loaded.\n", 0},
        {"1 1 0 600 0 SYNC\n", "format error in line 1\nok, 1 entries loaded.\n", 0},
        {"1 1 x 600 0 a\n", "format error in line 1\nok, 1 entries loaded.\n", 0},
        {"1 1 0 600\n", "format error in line 1\nok, 1 entries loaded.\n", 0},
        {"1\t1 0 600 0 a 192.0.2.1 more\r\n2 2 0 0 0 b\n", "ok, 2 entries loaded.\n", 2},
        {"", "ok, 0 entries loaded.\n", 0},
        {"1 1 0 600 0 a\n1 1 0 600 0 "
         "x234567890123456789012345678901234567890123456789012345678901234X\n",
         "format error (sessionid) in line 2\nok, 2 entries loaded.\n", 1},
        {"1 1 0 600 0 "
         "x234567890123456789012345678901234567890123456789012345678901234\n",
         "ok, 1 entries loaded.\n", 1},
    };
    for (const Case &c : cases) {
        kvn_test_reset();
        write_file(root.file("/var/dumps/in.txt"), c.text);
        EXPECT_EQ(output("sessionload /var/dumps/in.txt"), c.reply) << c.text;
        EXPECT_EQ(total(), c.loaded) << c.text;
    }
    // A 64-character id is kept as its first 63 characters.
    EXPECT_TRUE(found("x23456789012345678901234567890123456789012345678901234567890123", 1));
    EXPECT_EQ(output("sessionload /var/dumps/missing.txt"), "  ERROR: cannot open /var/dumps/missing.txt for reading\n");
    // Only regular files: a pipe with no writer would hold the command up.
    ASSERT_EQ(mkfifo(root.file("/var/dumps/fifo").c_str(), 0600), 0);
    EXPECT_EQ(output("sessionload /var/dumps/fifo"), "  ERROR: cannot open /var/dumps/fifo for reading\n");
    EXPECT_EQ(output("sessionload /var/dumps"), "  ERROR: cannot open /var/dumps for reading\n");
}

TEST_F(SessionCommands, LoadedNumbersOutsideTheTables)
{
    write_file(root.file("/var/dumps/in.txt"), "0 1 0 600 0 a\n5000 1 0 600 0 b\n1 -4 0 600 0 c\n1 99999 0 600 0 d\n"
                                               "2 3 0 600 0 e\n");
    EXPECT_EQ(output("sessionload /var/dumps/in.txt"), "ok, 5 entries loaded.\n");
    EXPECT_EQ(total(), 5);
    EXPECT_TRUE(found("b", 5000));
    // Each count is raised for a number inside its own table only.
    EXPECT_EQ(cfg.targets[1].cur_sessions, 2);   // a and b
    EXPECT_EQ(cfg.servers[1].cur_sessions, 2);   // c and d
    EXPECT_EQ(cfg.targets[3].cur_sessions, 1);
    EXPECT_EQ(cfg.servers[2].cur_sessions, 1);
    // They list, dump and go like any other.
    EXPECT_NE(output("show sessions").find(" 5000   1 "), std::string::npos);
    output("sessiondump /var/dumps/out.txt");
    EXPECT_EQ(count_lines(read_file(root.file("/var/dumps/out.txt"))), 5);
    st_foreach(session_table, [](SESSION *s, void *) { return st_mark(s), 0; }, nullptr);
    for (int i = 0; i < 20; i++)
        st_gc_step_locked(session_table);
    EXPECT_EQ(total(), 0);
    EXPECT_EQ(cfg.targets[1].cur_sessions, 0);
    EXPECT_EQ(cfg.servers[1].cur_sessions, 0);
    EXPECT_EQ(cfg.targets[3].cur_sessions, 0);
}

TEST_F(SessionCommands, DumpDoesNotFollowLinks)
{
    st_update(session_table, "a", 1, 1, 0);
    write_file(root.file("/var/victim"), "keep me\n");
    ASSERT_EQ(symlink(root.file("/var/victim").c_str(), root.file("/var/dumps/link.txt").c_str()), 0);
    EXPECT_EQ(output("sessiondump /var/dumps/link.txt"), "dumping 1 sessions to /var/dumps/link.txt ...... done.\n");
    EXPECT_EQ(read_file(root.file("/var/victim")), "keep me\n");
    struct stat st;
    ASSERT_EQ(lstat(root.file("/var/dumps/link.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(root.file("/var/dumps/link.txt")), "    1   1    0     600        0      a\n");
}

TEST_F(SessionCommands, DumpFailuresReported)
{
    run_line("stfill 200");
    write_file(root.file("/var/dumps/old.txt"), "old\n");
    // Writes beyond the file size limit fail (EFBIG), whoever the user is.
    struct rlimit was;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = was;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int result = 1;
    std::string out = output("sessiondump /var/dumps/old.txt", &result);
    setrlimit(RLIMIT_FSIZE, &was);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "dumping 200 sessions to /var/dumps/old.txt ...\n"
                   "  ERROR: cannot write /var/dumps/old.txt: " + std::string(strerror(EFBIG)) + "\n");
    EXPECT_EQ(read_file(root.file("/var/dumps/old.txt")), "old\n");
    EXPECT_EQ(entries_in(root.file("/var/dumps")), 1);

    // A directory in the file's place: written, but not put in place.
    mkdir(root.file("/var/dumps/dir").c_str(), 0755);
    out = output("sessiondump /var/dumps/dir", &result);
    EXPECT_EQ(result, 0);
    EXPECT_NE(out.find("  ERROR: cannot write /var/dumps/dir: "), std::string::npos) << out;
    EXPECT_EQ(out.find("done"), std::string::npos);
    EXPECT_EQ(entries_in(root.file("/var/dumps")), 2);

    EXPECT_EQ(output("sessiondump /var/nowhere/s.txt", &result), "  ERROR: cannot open /var/nowhere/s.txt for writing\n");
    EXPECT_EQ(result, 0);
}

TEST_F(SessionCommands, DryRunChangesNothing)
{
    run_line("stfill 2");
    write_file(root.file("/var/dumps/in.txt"), "1 1 0 600 0 loaded\n");
    interp.reload_pass = 1;
    int result = 0;
    for (const char *line : {"stfill 5", "rms TEST-DATA-0000000000", "rmsession DATA", "rmt 1",
                             "sessionload /var/dumps/in.txt", "sessiondump /var/dumps/out.txt"}) {
        output(line, &result);
        EXPECT_EQ(result, 1) << line;
    }
    output("sessionload /var/dumps/missing.txt", &result);
    EXPECT_EQ(result, 0);
    interp.reload_pass = 0;
    EXPECT_EQ(total(), 2);
    EXPECT_TRUE(found("TEST-DATA-0000000000", 1));
    EXPECT_TRUE(found("TEST-DATA-0000000001", 1));
    EXPECT_FALSE(found("loaded", 1));
    EXPECT_EQ(read_file(root.file("/var/dumps/out.txt")), "");
    EXPECT_EQ(entries_in(root.file("/var/dumps")), 1);
}
