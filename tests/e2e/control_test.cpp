// The control client against the real daemon: `kvn -f start` runs in the
// background under a private KVN_ROOT, and `kvn control` is run on plain
// pipes or on a pseudo-terminal, the way an operator or a script uses it.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "support/kvn_process.h"
#include "support/support.h"

namespace {

constexpr int DEADLINE_MS = 10000;
const std::string UP = "\x1b[A", LEFT = "\x1b[D";

int wait_exit(pid_t pid)
{
    return ::wait_exit(pid, DEADLINE_MS);
}

KvnRun run_kvn(const std::vector<std::string> &args, const std::string &input)
{
    return ::run_kvn(args, input, DEADLINE_MS);
}

struct Tty {
    pid_t pid = -1;
    int master = -1;
    std::string seen;
};

Tty start_tty(const std::vector<std::string> &args)
{
    Tty t;
    t.pid = forkpty(&t.master, nullptr, nullptr, nullptr);
    if (t.pid == 0) {
        close_range(3, ~0U, 0);
        exec_kvn(args);
    }
    return t;
}

bool read_until(Tty &t, const std::string &needle, size_t from = 0)
{
    for (;;) {
        if (t.seen.find(needle, from) != std::string::npos)
            return true;
        struct pollfd p = {t.master, POLLIN, 0};
        if (poll(&p, 1, DEADLINE_MS) <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(t.master, buf, sizeof buf);
        if (n <= 0)
            return t.seen.find(needle, from) != std::string::npos;
        t.seen.append(buf, n);
    }
}

void type(Tty &t, const std::string &keys)
{
    ASSERT_EQ(write(t.master, keys.data(), keys.size()), (ssize_t)keys.size());
}

tcflag_t lflag(Tty &t)
{
    struct termios tio;
    return tcgetattr(t.master, &tio) == 0 ? tio.c_lflag : 0;
}

// The daemon's start-up may not be in this build yet; `kvn -r` tells.
bool startup_available()
{
    KvnRun r = run_kvn({"-r"}, "");
    return r.code == 0 && !r.stdout_text.empty();
}

class ControlE2E : public ::testing::Test {
  protected:
    TempRoot root;
    pid_t daemon_pid = -1;

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";  // the daemon starts only as root
        signal(SIGPIPE, SIG_IGN);
        if (!startup_available())
            GTEST_SKIP() << "kvn start-up is not part of this build";
        write_file(root.file("/etc/kvn.conf"), "");
    }
    void TearDown() override { stop_daemon(); }

    void start_daemon()
    {
        daemon_pid = spawn_kvn_daemon({"-f", "start", "0"}, root.path + "/daemon.log");
        ASSERT_TRUE(kvn_daemon_ready(daemon_pid, 0, root, DEADLINE_MS))
            << "daemon did not come up: " << read_file(root.path + "/daemon.log");
    }
    void stop_daemon()
    {
        if (daemon_pid > 0) {
            kill(daemon_pid, SIGTERM);
            wait_exit(daemon_pid);
            daemon_pid = -1;
        }
    }
};

TEST_F(ControlE2E, NoRunningInstance)
{
    KvnRun r = run_kvn({"control"}, "show version\n");
    EXPECT_EQ(r.stderr_text, "Korvane: no peer available\n");
    EXPECT_EQ(r.code, 69);
}

TEST_F(ControlE2E, PipedSessions)
{
    start_daemon();
    KvnRun r = run_kvn({"control"}, "show version\n");
    EXPECT_NE(r.stdout_text.find("This is Korvane"), std::string::npos) << r.stdout_text;
    EXPECT_TRUE(r.stdout_text.ends_with("kvn# ")) << r.stdout_text;
    EXPECT_EQ(r.code, 0);

    r = run_kvn({"control"}, "exit\nquit\n}\n");
    EXPECT_EQ(r.stdout_text, "please type EOF to exit\nkvn# please type EOF to exit\nkvn# kvn# ");
    EXPECT_EQ(r.code, 0);

    // Output nobody read is dropped by the next piped session.
    int fd = open(root.file("/var/run/kvn.in").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "exit\n", 5), 5);
    close(fd);
    fd = open(root.file("/var/run/kvn.out").c_str(), O_RDONLY | O_NONBLOCK);
    int pending = 0;
    for (int waited = 0; waited <= DEADLINE_MS && pending < 29; waited += 10) {
        if (ioctl(fd, FIONREAD, &pending) != 0)
            break;
        poll(nullptr, 0, 10);
    }
    close(fd);
    ASSERT_EQ(pending, 29);
    r = run_kvn({"control"}, "}\n");
    EXPECT_EQ(r.stdout_text, "kvn# ");

    // The other pairs answer too.
    for (const char *word : {"auxctl", "cmdctl", "imsctl"}) {
        r = run_kvn({word}, "exit\n");
        EXPECT_EQ(r.stdout_text, "please type EOF to exit\nkvn# ") << word;
        EXPECT_EQ(r.code, 0) << word;
    }
}

TEST_F(ControlE2E, InteractiveSession)
{
    start_daemon();
    Tty t = start_tty({"control"});
    ASSERT_TRUE(read_until(t, "Korvane: connected to PID " + std::to_string(daemon_pid)));
    ASSERT_TRUE(read_until(t, "kvn# "));
    EXPECT_EQ(lflag(t) & (ECHO | ICANON), 0u);

    size_t mark = t.seen.size();
    type(t, UP);
    ASSERT_TRUE(read_until(t, "\a", mark));
    mark = t.seen.size();
    type(t, "hostname zz\x17qq\n");
    ASSERT_TRUE(read_until(t, "qq# ", mark));
    mark = t.seen.size();
    type(t, "xit" + LEFT + LEFT + LEFT + "e\n");
    ASSERT_TRUE(read_until(t, "please type EOF to exit", mark));
    mark = t.seen.size();
    type(t, UP + UP + "\x17rr\n");  // recall "hostname qq", change the name
    ASSERT_TRUE(read_until(t, "rr# ", mark));

    // Meanwhile a second terminal and an exclusive script are refused, and
    // a plain script queues.
    Tty second = start_tty({"control"});
    EXPECT_TRUE(read_until(second, "Korvane: interactive session already active"));
    EXPECT_EQ(wait_exit(second.pid), 75);
    close(second.master);
    KvnRun excl = run_kvn({"-e", "control"}, "exit\n");
    EXPECT_EQ(excl.stderr_text, "Korvane: session already active\n");
    EXPECT_EQ(excl.code, 75);
    KvnRun queued = start_kvn({"control"}, "no hostname\n");
    struct pollfd p = {queued.out, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 300), 0) << "the queued script ran during the terminal session";

    mark = t.seen.size();
    type(t, "\x04");
    EXPECT_TRUE(read_until(t, "... bye", mark));
    EXPECT_EQ(wait_exit(t.pid), 0);
    EXPECT_EQ(lflag(t) & (ECHO | ICANON), (tcflag_t)(ECHO | ICANON));
    close(t.master);

    finish_kvn(queued, DEADLINE_MS);
    EXPECT_EQ(queued.stdout_text, "kvn# ");
    EXPECT_EQ(queued.code, 0);
}

TEST_F(ControlE2E, InterruptAndLostPeer)
{
    start_daemon();
    Tty t = start_tty({"control"});
    ASSERT_TRUE(read_until(t, "kvn# "));
    size_t mark = t.seen.size();
    type(t, "\x03");
    EXPECT_TRUE(read_until(t, "... interrupt", mark));
    EXPECT_EQ(wait_exit(t.pid), 0);
    EXPECT_EQ(lflag(t) & (ECHO | ICANON), (tcflag_t)(ECHO | ICANON));
    close(t.master);

    Tty u = start_tty({"control"});
    ASSERT_TRUE(read_until(u, "kvn# "));
    mark = u.seen.size();
    kill(daemon_pid, SIGKILL);
    wait_exit(daemon_pid);
    daemon_pid = -1;
    EXPECT_TRUE(read_until(u, "Korvane: no peer available", mark));
    EXPECT_EQ(wait_exit(u.pid), 0);
    EXPECT_EQ(lflag(u) & (ECHO | ICANON), (tcflag_t)(ECHO | ICANON));
    close(u.master);
}

}  // namespace
