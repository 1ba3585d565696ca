// Control sessions against the real daemon: `kvn reload` waits for its own
// reload and reports its failure, a block an ended session left open does
// not reach later sessions, a stream of ten thousand commands (lines
// longer than a pipe read among them) runs exactly, and a client killed in
// the middle of a long answer holds up nobody. Each test has its own
// KVN_ROOT and instance number; the configurations name only an interface
// with vpn access (no device) and documentation addresses. Every daemon is
// started in the foreground by this process and ended by its pid.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/kvn_process.h"
#include "support/support.h"

namespace {

constexpr int DEADLINE_MS = 15000;
constexpr int STREAM_DEADLINE_MS = 120000;  // ten thousand commands, generously

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

int count(const std::string &text, const std::string &part)
{
    int k = 0;
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1))
        k++;
    return k;
}

// An interface and a network for the servers, in the file's own words.
std::string base_config(int inst)
{
    return "interface 1 {\n name vpn" + std::to_string(inst) +
           "\n access vpn\n}\nregister interface 1\nenable interface 1\n"
           "network 1 {\n addr 203.0.113.0\n mask 255.255.255.0\n real 203.0.113.202\n interface 1\n}\n"
           "register network 1\nenable network 1\n";
}

// 1024 servers on one address: `show conf` then runs to about 120 KB, more
// than a pipe holds.
std::string all_servers()
{
    std::string t = "target 1 {\n ipaddr 203.0.113.101\n}\nregister target 1\nenable target 1\n";
    for (int n = 1; n <= 1024; n++)
        t += "server " + std::to_string(n) + " {\n ipaddr 203.0.113.10\n port " + std::to_string(1000 + n) +
             "\n target 1\n}\n";
    for (int first = 1; first <= 1024; first += 16) {
        std::string list;
        for (int n = first; n < first + 16; n++)
            list += (n == first ? "" : ",") + std::to_string(n);
        t += "register servers " + list + "\nenable servers " + list + "\n";
    }
    return t;
}

class SessionsE2E : public ::testing::Test {
  protected:
    TempRoot root;
    pid_t daemon_pid = -1;
    int inst = 0;

    void SetUp() override { signal(SIGPIPE, SIG_IGN); }
    void TearDown() override
    {
        if (daemon_pid > 0) {
            kill(daemon_pid, SIGTERM);
            wait_exit(daemon_pid, DEADLINE_MS);
        }
    }

    std::string n() const { return std::to_string(inst); }
    std::string conf() const { return root.file("/etc/kvn" + n() + ".conf"); }
    std::string daemon_log() const { return read_file(root.path + "/daemon" + n() + ".log"); }

    KvnRun kvn(const std::string &word, const std::string &input, int ms = DEADLINE_MS)
    {
        return run_kvn({word, n()}, input, ms);
    }

    // Starts the instance in the foreground (-d: its log goes to a file)
    // and waits until it answers.
    void start()
    {
        daemon_pid = spawn_kvn_daemon({"-d", "start", n()}, root.path + "/daemon" + n() + ".log");
        ASSERT_TRUE(kvn_daemon_ready(daemon_pid, inst, root, DEADLINE_MS)) << daemon_log();
    }
    bool daemon_alive()
    {
        int status;
        return daemon_pid > 0 && waitpid(daemon_pid, &status, WNOHANG) == 0;
    }
    // Bytes waiting in the instance's main output pipe.
    int output_pending()
    {
        int fd = open(root.file("/var/run/kvn" + n() + ".out").c_str(), O_RDONLY | O_NONBLOCK);
        int pending = -1;
        if (fd >= 0 && ioctl(fd, FIONREAD, &pending) != 0)
            pending = -1;
        if (fd >= 0)
            close(fd);
        return pending;
    }
};

// A reload that takes longer than any short wait (several hundred thousand
// lines, then a mask change that fails pass 1): `kvn reload` shows its
// errors and fails; the next reload shows only its own outcome.
TEST_F(SessionsE2E, ReloadWaitsForItsOwnEndAndReportsFailure)
{
    inst = 71;
    const std::string good = base_config(inst) + "remark first\n";
    write_file(conf(), good);
    start();

    std::string padding;
    for (int i = 0; i < 250000; i++)
        padding += "set arprefresh 300\n";
    write_file(conf(), good + padding + "network 1 mask 255.255.255.128\n");
    const std::string failure = "  /etc/kvn71.conf line 250016: invalid network mask change during reload\n"
                                "  ERROR: unable to reload, restart required\n";
    for (int round = 0; round < 2; round++) {
        KvnRun r = kvn("reload", "", 120000);
        EXPECT_EQ(r.stdout_text, failure) << round;
        EXPECT_EQ(r.stderr_text, "") << round;
        EXPECT_EQ(r.code, 65) << round;
    }

    write_file(conf(), base_config(inst) + "remark second\n");
    KvnRun r = kvn("reload", "", 120000);
    EXPECT_EQ(r.stdout_text, "");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(count(daemon_log(), "CLI reload finished"), 1) << daemon_log();
    EXPECT_TRUE(contains(kvn("control", "show conf\n").stdout_text, "\"second\"\n"));
}

// `server 5 {` from a client that then ends: the next session on the same
// pair and a reload on the command pair run their own lines.
TEST_F(SessionsE2E, BlockEndsWithItsSession)
{
    inst = 72;
    write_file(conf(), base_config(inst));
    start();
    KvnRun opened = kvn("control", "server 5 {\n");
    EXPECT_EQ(opened.stdout_text, "kvn+ ");

    KvnRun reload = kvn("reload", "");
    EXPECT_EQ(reload.stdout_text, "");
    EXPECT_EQ(reload.code, 0);
    EXPECT_EQ(count(daemon_log(), "CLI reload finished"), 1) << daemon_log();

    KvnRun next = kvn("control", "set arprefresh 1200\nshow parameters\n");
    EXPECT_TRUE(next.stdout_text.starts_with("kvn# ")) << next.stdout_text;
    EXPECT_FALSE(contains(next.stdout_text, "ERROR")) << next.stdout_text;
    EXPECT_TRUE(next.stdout_text.ends_with("kvn# ")) << next.stdout_text;
    EXPECT_TRUE(contains(kvn("auxctl", "show conf\n").stdout_text, "arprefresh 1200")) << next.stdout_text;
}

// Ten thousand commands through one `kvn control`, a hundred of them longer
// than a read of the pipe and two longer than a line may be; then a client
// that stops reading in the middle of three long answers and is killed.
// Every command ran exactly once, whole (any cut line would have failed or
// set another value), the refused lines changed nothing, and the next
// clients on every pair see only their own output.
TEST_F(SessionsE2E, CommandStreamAndKilledClient)
{
    inst = 73;
    write_file(conf(), base_config(inst) + all_servers());
    start();
    const std::string refused = "  ERROR: line longer than 32766 characters refused\n";

    std::string input, expect;
    int last_arprefresh = 300;
    for (int i = 0; i < 10000; i++) {
        std::string line;
        if (i % 100 == 50) {
            // Longer than a read; blanks between the words, so that a cut
            // anywhere makes pieces that fail or set another value.
            int value = 1000 + i / 100;
            line = "set" + std::string(4000 + i / 10, ' ') + "arprefresh" + std::string(6000, ' ') +
                   std::to_string(value);
            last_arprefresh = value;
        } else if (i == 7777 || i == 9998) {
            line = "set arprefresh 3000" + std::string(40000, ' ') + "// refused";
        } else if (i % 2 == 0) {
            line = "remark r" + std::to_string(i);
        } else {
            line = "set arprefresh " + std::to_string(60 + i % 3000);
            last_arprefresh = 60 + i % 3000;
        }
        input += line + "\n";
        expect += line.size() > 32766 ? refused + "kvn# " : "kvn# ";
    }
    input += "show conf\n";
    KvnRun stream = kvn("control", input, STREAM_DEADLINE_MS);
    ASSERT_EQ(stream.code, 0) << stream.stderr_text;
    EXPECT_EQ(stream.stderr_text, "");
    ASSERT_TRUE(stream.stdout_text.starts_with(expect))
        << count(stream.stdout_text, "ERROR") << " errors in the stream's output";
    std::string conf_text = stream.stdout_text.substr(expect.size());
    EXPECT_TRUE(contains(conf_text, "\"r9996\"\n")) << conf_text.substr(0, 2000);
    EXPECT_TRUE(contains(conf_text, "arprefresh " + std::to_string(last_arprefresh) + "\n"));
    ASSERT_GT(conf_text.size(), 100000u);

    // The dead client reads a hundred bytes of three answers of `show
    // conf` and stops; once the daemon's output pipe fills (the pipe's
    // pages are not all filled to the last byte) it is killed. What is
    // left of the answers is several times what the pipe holds.
    KvnRun dead = start_kvn({"control", n()}, "show conf\nshow conf\nshow conf\n");
    std::string first;
    struct pollfd p = {dead.out, POLLIN, 0};
    while (first.size() < 100 && poll(&p, 1, DEADLINE_MS) > 0) {
        char buf[100];
        ssize_t got = read(dead.out, buf, sizeof buf - first.size());
        if (got <= 0)
            break;
        first.append(buf, got);
    }
    ASSERT_EQ(first.size(), 100u);
    EXPECT_TRUE(first.starts_with("  //        configuration taken ")) << first;
    bool full = false;
    for (int waited = 0; waited <= DEADLINE_MS && !full; waited += 10) {
        full = output_pending() >= 32768;
        if (!full)
            poll(nullptr, 0, 10);
    }
    ASSERT_TRUE(full) << "the daemon's output pipe did not fill";
    kill(dead.pid, SIGKILL);
    EXPECT_EQ(wait_exit(dead.pid, DEADLINE_MS), 128 + SIGKILL);
    close(dead.out);
    close(dead.err);

    // Every pair answers, and each client sees only its own output.
    KvnRun aux = kvn("auxctl", "remark after\n");
    EXPECT_EQ(aux.stdout_text, "kvn# ");
    EXPECT_EQ(aux.code, 0);
    KvnRun reload = kvn("reload", "");
    EXPECT_EQ(reload.stdout_text, "");
    EXPECT_EQ(reload.code, 0);
    KvnRun next = kvn("control", "exit\n");
    EXPECT_EQ(next.stdout_text, "please type EOF to exit\nkvn# ");
    EXPECT_EQ(next.stderr_text, "");
    EXPECT_EQ(next.code, 0);
    EXPECT_TRUE(daemon_alive());
}

}  // namespace
