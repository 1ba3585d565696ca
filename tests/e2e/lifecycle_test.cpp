// The real kvn binary: options, instance numbers, the root test, start,
// status, stop, restart, purge and the instance listing. Each test has its
// own KVN_ROOT and instance numbers and stops every daemon it started by
// the pid from its pid file.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/support.h"

namespace {

using Clock = std::chrono::steady_clock;

// Exit code of the forked child when the binary could not be executed
// (a build tree below a directory other users cannot enter).
constexpr int EXEC_FAILED = 122;

struct Result {
    int rc;            // exit code, or -1 when not a normal exit
    std::string out;   // standard output and error, interleaved
};

bool alive(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty())
        return false;
    size_t p = stat.rfind(')');
    return p != std::string::npos && p + 2 < stat.size() && stat[p + 2] != 'Z';
}

// Polls cond until it holds or the deadline passes.
template <typename F>
bool poll_until(F cond, int seconds = 10)
{
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

class Lifecycle : public ::testing::Test {
  protected:
    TempRoot root;
    std::vector<pid_t> started;  // daemons to end at teardown
    std::vector<pid_t> children; // other children of the test, ended and reaped at teardown
    std::string other_dir;       // directory of the copy other users run

    // kvn refuses every word but its options unless it runs as root.
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
    }

    void TearDown() override
    {
        for (pid_t pid : children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (pid_t pid : started) {
            if (alive(pid)) {
                kill(pid, SIGKILL);
                poll_until([&] { return !alive(pid); }, 5);
            }
        }
        if (!other_dir.empty()) {
            unlink((other_dir + "/kvn").c_str());
            rmdir(other_dir.c_str());
        }
    }

    // The binary as another user runs it: a copy in a directory every user
    // may enter, since the build tree may lie below one they cannot (the
    // home of root). Empty when the copy could not be made.
    std::string binary_for_others()
    {
        if (other_dir.empty()) {
            char tmpl[] = "/tmp/kvn-bin-XXXXXX";
            if (mkdtemp(tmpl) == nullptr)
                return "";
            other_dir = tmpl;
        }
        std::string copy = other_dir + "/kvn";
        if (access(copy.c_str(), X_OK) != 0) {
            write_file(copy, read_file(KVN_BINARY));
            if (chmod(copy.c_str(), 0755) != 0 || chmod(other_dir.c_str(), 0755) != 0)
                return "";
        }
        return copy;
    }

    std::string suffix(int n) const { return n == 0 ? "" : std::to_string(n); }
    std::string pidfile(int n) const { return root.file("/var/run/kvn" + suffix(n) + ".pid"); }
    std::string lockfile(int n) const { return root.file("/var/run/kvn" + suffix(n) + ".lock"); }
    std::string conffile(int n) const { return root.file("/etc/kvn" + suffix(n) + ".conf"); }

    // A kvn process under way and the file its output goes to.
    struct Spawned {
        pid_t pid;
        std::string outpath;
    };

    // Starts kvn with the arguments; as_uid >= 0 drops to that user first.
    // Output goes to a file so that a detaching daemon cannot hold it open.
    // With a gate, the child waits until every write end of that pipe is
    // closed before it executes kvn, so that several can be let go at once.
    Spawned spawn(const std::vector<std::string> &args, int as_uid = -1, const int *gate = nullptr)
    {
        std::string outpath = root.file("/out." + std::to_string(counter++));
        std::string binary = as_uid >= 0 ? binary_for_others() : std::string(KVN_BINARY);
        pid_t pid = fork();
        if (pid == 0) {
            if (gate != nullptr) {
                close(gate[1]);
                char c;
                while (read(gate[0], &c, 1) > 0) {
                }
                close(gate[0]);
            }
            int fd = open(outpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (fd < 0)
                _exit(120);
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
            int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            if (as_uid >= 0 && (setgid(as_uid) != 0 || setuid(as_uid) != 0))
                _exit(121);
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(binary.c_str()));
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(binary.c_str(), argv.data());
            _exit(EXEC_FAILED);
        }
        return {pid, outpath};
    }

    // Waits for a spawned kvn to end and returns its exit code and output.
    Result finish(const Spawned &sp, int timeout = 20)
    {
        int status = 0;
        bool done = poll_until([&] { return waitpid(sp.pid, &status, WNOHANG) == sp.pid; }, timeout);
        if (!done) {
            kill(sp.pid, SIGKILL);
            waitpid(sp.pid, &status, 0);
            ADD_FAILURE() << "kvn did not end in time";
        }
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(sp.outpath)};
    }

    Result run(const std::vector<std::string> &args, int as_uid = -1, int timeout = 20)
    {
        return finish(spawn(args, as_uid), timeout);
    }

    // Ends the daemon of instance n by its pid and waits until it is gone
    // and its lock with it: the main thread can show as ended while other
    // threads still hold the process's files.
    void end_daemon(int n, pid_t pid)
    {
        kill(pid, SIGKILL);
        bool gone = poll_until([&] { return !alive(pid) && !lock_held(lockfile(n)); });
        EXPECT_TRUE(gone) << "daemon " << pid << " still alive";
        // Its pid may be reused now: the teardown must not signal it.
        if (gone)
            std::erase(started, pid);
    }

    // 1 while some process holds a record lock on the file.
    static bool lock_held(const std::string &path)
    {
        int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0)
            return false;
        struct flock fl;
        memset(&fl, 0, sizeof fl);
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        bool held = fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
        close(fd);
        return held;
    }

    // Starts instance n detached and returns the daemon's pid (0 on failure).
    pid_t start(int n)
    {
        Result r = run({"start", std::to_string(n)});
        EXPECT_EQ(r.rc, 0) << r.out;
        std::string want = n == 0 ? "Korvane: starting up ...\n"
                                  : "Korvane: starting up instance " + std::to_string(n) + " ...\n";
        EXPECT_EQ(r.out, want);
        return wait_started(n);
    }

    pid_t wait_started(int n)
    {
        pid_t pid = 0;
        poll_until([&] {
            std::string text = read_file(pidfile(n));
            pid = text.empty() || text.back() != '\n' ? 0 : atoi(text.c_str());
            return pid > 0 && alive(pid);
        });
        EXPECT_GT(pid, 0) << "no pid file for instance " << n;
        if (pid > 0)
            started.push_back(pid);
        return pid;
    }

    int counter = 0;
};

TEST_F(Lifecycle, ReleaseWithAndWithoutRoot)
{
    Result r = run({"-r"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex(R"(\d+\.\d{3}\n)"))) << r.out;
    Result n = run({"-r"}, 65534);
    if (n.rc == EXEC_FAILED)
        GTEST_SKIP() << "the binary is not reachable for uid 65534";
    EXPECT_EQ(n.rc, 0);
    EXPECT_EQ(n.out, r.out);
}

TEST_F(Lifecycle, NonRootIsRefused)
{
    // The root test comes before the word, so even a missing word gets it.
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"status"}, {"start", "3"}, {}}) {
        Result r = run(args, 65534);
        if (r.rc == EXEC_FAILED)
            GTEST_SKIP() << "the binary is not reachable for uid 65534";
        EXPECT_EQ(r.rc, 77);
        EXPECT_EQ(r.out, "Korvane: root permissions required, exiting.\n");
    }
}

TEST_F(Lifecycle, UsageErrors)
{
    struct Case {
        std::vector<std::string> args;
        const char *want;  // exact output, or null for the banner and usage
    } cases[] = {
        {{"start", "129"}, "Korvane: invalid instance number\n"},
        {{"-i", "200", "status"}, "Korvane: invalid instance number\n"},
        {{"-i", "x", "status"}, "Korvane: invalid instance number\n"},
        {{"status", "-1"}, "Korvane: invalid instance number\n"},
        {{"-g", "x", "extra"}, nullptr},
        {{"-n", "x", "extra"}, nullptr},
        {{"-s", "x", "int"}, nullptr},
        {{"-s", "x", "int", "1", "extra"}, nullptr},
        {{"-q", "status"}, nullptr},
        {{"-i"}, nullptr},
        {{}, nullptr},
        {{"status", "1", "2"}, nullptr},
        {{"stat"}, nullptr},
        {{"begin"}, nullptr},
    };
    for (const Case &c : cases) {
        std::string what;
        for (const std::string &a : c.args)
            what += a + " ";
        Result r = run(c.args);
        EXPECT_EQ(r.rc, 64) << what;
        if (c.want != nullptr) {
            EXPECT_EQ(r.out, c.want) << what;
        } else {
            EXPECT_NE(r.out.find("          This is Korvane "), std::string::npos) << what;
            const std::string usage = "  usage: kvn [-df] start|stop|restart|status|control [instance]\n\n";
            ASSERT_GE(r.out.size(), usage.size()) << what;
            EXPECT_EQ(r.out.substr(r.out.size() - usage.size()), usage) << what;
        }
    }
}

TEST_F(Lifecycle, SnmpOptionsAnswerAtOnce)
{
    Result r = run({"-s", ".1.3.6.1.4.1.32473.1", "integer", "5"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "not-writable\n");
    EXPECT_EQ(run({"-g", ".1.3.6.1.4.1.32473.1"}).rc, 0);
    EXPECT_EQ(run({"-n", ".1.3.6.1.4.1.32473"}).rc, 0);
}

TEST_F(Lifecycle, StartStatusStopInstanceZero)
{
    EXPECT_EQ(run({"status"}).out, "Korvane: not running\n");
    pid_t pid = start(0);
    ASSERT_GT(pid, 0);
    std::string p = std::to_string(pid);
    EXPECT_EQ(read_file(pidfile(0)), p + "\n");
    EXPECT_EQ(read_file(lockfile(0)), p + "\n");
    struct stat st;
    ASSERT_EQ(stat(pidfile(0).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    Result again = run({"start"});
    EXPECT_EQ(again.rc, 77);
    EXPECT_EQ(again.out, "Korvane: already running with PID " + p + "\n");
    EXPECT_TRUE(alive(pid));

    Result status = run({"status"});
    EXPECT_EQ(status.rc, 0);
    EXPECT_EQ(status.out, "Korvane: running with PID " + p + "\n");

    Result stop = run({"stop"});
    EXPECT_EQ(stop.rc, 0);
    EXPECT_EQ(stop.out, "Korvane: shutdown of PID " + p + " complete\n");
    EXPECT_FALSE(alive(pid));
    // Pid and lock files stay; the running test sees through them.
    EXPECT_EQ(read_file(pidfile(0)), p + "\n");
    EXPECT_EQ(run({"status"}).out, "Korvane: not running\n");
    EXPECT_EQ(run({"stop"}).out, "Korvane: not running\n");
}

TEST_F(Lifecycle, InstanceTwelveUsesItsOwnFiles)
{
    pid_t pid = start(12);
    ASSERT_GT(pid, 0);
    std::string p = std::to_string(pid);
    EXPECT_EQ(read_file(lockfile(12)), p + "\n");
    EXPECT_EQ(read_file(root.file("/var/run/kvn.pid")), "");
    EXPECT_EQ(run({"status"}).out, "Korvane: not running\n");
    EXPECT_EQ(run({"status", "12"}).out, "Korvane: instance 12 running with PID " + p + "\n");
    EXPECT_EQ(run({"-i", "12", "status"}).out, "Korvane: instance 12 running with PID " + p + "\n");
    Result stop = run({"-i", "12", "stop"});
    EXPECT_EQ(stop.out, "Korvane: shutdown of instance 12 PID " + p + " complete\n");
    EXPECT_EQ(run({"status", "12"}).out, "Korvane: instance 12 not running\n");
}

TEST_F(Lifecycle, StalePidFileReadsAsNotRunning)
{
    pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);
    write_file(lockfile(21), std::to_string(dead) + "\n");
    write_file(pidfile(21), std::to_string(dead) + "\n");
    Result r = run({"status", "21"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "Korvane: instance 21 not running\n");
    // A start over the stale files takes them over.
    pid_t pid = start(21);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(run({"stop", "21"}).rc, 0);
}

TEST_F(Lifecycle, RestartOfStoppedInstanceStartsIt)
{
    Result r = run({"restart", "22"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "Korvane: not yet running\nKorvane: starting up instance 22 ...\n");
    pid_t first = wait_started(22);
    ASSERT_GT(first, 0);

    Result again = run({"restart", "22"});
    EXPECT_EQ(again.rc, 0);
    EXPECT_EQ(again.out, "Korvane: shutdown of instance 22 PID " + std::to_string(first) +
                             " complete\nKorvane: starting up instance 22 ...\n");
    pid_t second = 0;
    poll_until([&] {
        second = atoi(read_file(pidfile(22)).c_str());
        return second != first && second > 0 && alive(second);
    });
    ASSERT_NE(second, first);
    started.push_back(second);
    EXPECT_FALSE(alive(first));
    EXPECT_EQ(run({"stop", "22"}).rc, 0);
}

TEST_F(Lifecycle, ListInstances)
{
    write_file(conffile(0), "");
    write_file(conffile(32), "");
    pid_t pid = start(31);
    ASSERT_GT(pid, 0);
    Result r = run({"-I"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "  0 off\n 31 running\n 32 off\n");
    if (geteuid() == 0) {
        chmod(root.path.c_str(), 0755);  // let the unprivileged user see the tree
        Result n = run({"-I"}, 65534);
        if (n.rc != EXEC_FAILED) {
            EXPECT_EQ(n.rc, 0);
            EXPECT_EQ(n.out, r.out);
        }
    }
    EXPECT_EQ(run({"stop", "31"}).rc, 0);
    EXPECT_EQ(run({"-I"}).out, "  0 off\n 32 off\n");
}

TEST_F(Lifecycle, Purge)
{
    write_file(conffile(41), "hostname x\n");
    pid_t pid = start(41);
    ASSERT_GT(pid, 0);
    Result running = run({"purge", "41"});
    EXPECT_EQ(running.rc, 77);
    EXPECT_EQ(running.out, "Korvane: cannot purge running instance 41\n");
    EXPECT_EQ(read_file(conffile(41)), "hostname x\n");
    EXPECT_EQ(run({"stop", "41"}).rc, 0);

    Result ok = run({"purge", "41"});
    EXPECT_EQ(ok.rc, 0);
    EXPECT_EQ(ok.out, "Korvane: /etc/kvn41.conf successfully deleted\n");
    EXPECT_NE(access(conffile(41).c_str(), F_OK), 0);

    Result missing = run({"purge", "41"});
    EXPECT_EQ(missing.rc, 77);
    EXPECT_EQ(missing.out, "Korvane: /etc/kvn41.conf of instance 41 not present\n");
    Result zero = run({"purge"});
    EXPECT_EQ(zero.rc, 77);
    EXPECT_EQ(zero.out, "Korvane: /etc/kvn.conf of instance 0 not present\n");
}

TEST_F(Lifecycle, ForegroundDebugRunsTheSequenceAndEndsOnSigint)
{
    // -d keeps the daemon in the foreground: it is our own child here.
    std::string outpath = root.file("/debug.out");
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(outpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        dup2(fd, 1);
        dup2(fd, 2);
        execl(KVN_BINARY, KVN_BINARY, "-d", "start", "51", (char *)nullptr);
        _exit(122);
    }
    ASSERT_GT(pid, 0);
    // The last line before the I/O loop: SIGINT earlier could cut the sequence short.
    const char *last = "parameter pthreadstacksize is ";
    bool up = poll_until([&] { return read_file(outpath).find(last) != std::string::npos; });
    EXPECT_TRUE(up) << read_file(outpath);
    EXPECT_EQ(read_file(pidfile(51)), std::to_string(pid) + "\n");
    kill(pid, SIGINT);
    int status = 0;
    bool ended = poll_until([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::string out = read_file(outpath);
    // A pair whose channel could not be opened gets no command thread.
    bool pipes = access(root.file("/var/run/kvn51.in").c_str(), F_OK) == 0;
    std::vector<const char *> order = {
        "kvn start of instance 51",
        "Korvane: starting up instance 51 ...",
        "load_config() done",
        "snmp_init() done",
        "run_thread_and_detach(uptime_thread) done",
        "get_uptime() done",
        "run_thread_and_detach(snmp_thread) done",
        "parameter pthreadstacksize is ",
        "sigint received",
    };
    if (pipes)
        order.insert(order.begin() + 6, {"run_thread_and_detach(command_thread,ctl) done",
                                         "run_thread_and_detach(command_thread,auxctl) done",
                                         "run_thread_and_detach(command_thread,cmdctl) done",
                                         "run_thread_and_detach(command_thread,imsctl) done"});
    size_t at = 0;
    for (const char *line : order) {
        size_t found = out.find(line, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << out;
        if (found != std::string::npos)
            at = found;
    }
}

TEST_F(Lifecycle, RacingStartsHaveOneWinner)
{
    const int n = 61;
    const std::string up = "Korvane: starting up instance 61 ...\n";
    for (int round = 0; round < 10; round++) {
        int gate[2];
        ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
        Spawned a = spawn({"start", std::to_string(n)}, -1, gate);
        Spawned b = spawn({"start", std::to_string(n)}, -1, gate);
        close(gate[0]);
        close(gate[1]);  // both go now
        Result ra = finish(a);
        Result rb = finish(b);

        // The winner reports only once its daemon holds the lock and has
        // written the pid file, so the pid file names the daemon now.
        std::string text = read_file(pidfile(n));
        pid_t pid = atoi(text.c_str());
        ASSERT_GT(pid, 0) << "round " << round;
        started.push_back(pid);
        EXPECT_EQ(text, std::to_string(pid) + "\n") << "round " << round;
        EXPECT_TRUE(alive(pid)) << "round " << round;

        const Result &win = ra.rc == 0 ? ra : rb;
        const Result &lose = ra.rc == 0 ? rb : ra;
        EXPECT_EQ(win.rc, 0) << "round " << round;
        EXPECT_EQ(win.out, up) << "round " << round;
        EXPECT_EQ(lose.rc, 77) << "round " << round << ": " << lose.out;
        EXPECT_EQ(lose.out, "Korvane: already running with PID " + std::to_string(pid) + "\n")
            << "round " << round;
        EXPECT_EQ(run({"status", std::to_string(n)}).out,
                  "Korvane: instance 61 running with PID " + std::to_string(pid) + "\n")
            << "round " << round;

        end_daemon(n, pid);
        EXPECT_EQ(run({"status", std::to_string(n)}).out, "Korvane: instance 61 not running\n")
            << "round " << round;
    }
}

// True while our child pid has not ended. An ended child is left unreaped,
// so that its pid cannot be reused before the teardown kills and reaps it.
bool child_alive(pid_t pid)
{
    siginfo_t info;
    memset(&info, 0, sizeof info);
    return waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

TEST_F(Lifecycle, PidFileNamingAnotherLiveProcess)
{
    const int n = 62;
    const std::string num = std::to_string(n);
    pid_t sleeper = fork();
    if (sleeper == 0) {
        execl("/bin/sleep", "sleep", "60", (char *)nullptr);
        _exit(EXEC_FAILED);
    }
    ASSERT_GT(sleeper, 0);
    children.push_back(sleeper);
    bool is_sleep = poll_until([&] {
        return read_file("/proc/" + std::to_string(sleeper) + "/comm") == "sleep\n" || !child_alive(sleeper);
    });
    if (!is_sleep || !child_alive(sleeper))
        GTEST_SKIP() << "cannot run /bin/sleep";
    std::string other = std::to_string(sleeper);

    // Left-over files naming the sleeper, with nobody holding the lock.
    write_file(lockfile(n), other + "\n");
    write_file(pidfile(n), other + "\n");
    Result status = run({"status", num});
    EXPECT_EQ(status.rc, 0);
    EXPECT_EQ(status.out, "Korvane: instance 62 not running\n");
    Result stop = run({"stop", num});
    EXPECT_EQ(stop.rc, 0);
    EXPECT_EQ(stop.out, "Korvane: not running\n");
    EXPECT_TRUE(child_alive(sleeper)) << "stop signalled an unrelated process";

    pid_t pid = start(n);
    ASSERT_GT(pid, 0);
    ASSERT_NE(pid, sleeper);
    std::string p = std::to_string(pid);
    EXPECT_EQ(run({"status", num}).out, "Korvane: instance 62 running with PID " + p + "\n");

    // The pid file made to name the sleeper while the daemon holds the
    // lock: the sleeper is still not the instance, and a start still finds
    // the daemon's lock.
    write_file(pidfile(n), other + "\n");
    EXPECT_EQ(run({"status", num}).out, "Korvane: instance 62 not running\n");
    EXPECT_EQ(run({"stop", num}).out, "Korvane: not running\n");
    EXPECT_TRUE(child_alive(sleeper)) << "stop signalled an unrelated process";
    EXPECT_TRUE(alive(pid));
    Result again = run({"start", num});
    EXPECT_EQ(again.rc, 77);
    EXPECT_EQ(again.out, "Korvane: already running with PID " + p + "\n");

    write_file(pidfile(n), p + "\n");
    Result down = run({"stop", num});
    EXPECT_EQ(down.rc, 0);
    EXPECT_EQ(down.out, "Korvane: shutdown of instance 62 PID " + p + " complete\n");
    EXPECT_FALSE(alive(pid));
    EXPECT_TRUE(child_alive(sleeper)) << "stop signalled an unrelated process";
}

TEST_F(Lifecycle, StartThatCannotMakeItsFilesFails)
{
    // A directory where the file should be cannot be opened as the file.
    struct Case {
        int instance;
        const char *option;   // "-f" for the foreground, "" to detach
        const char *blocked;  // ".lock" or ".pid"
        const char *want;
    } cases[] = {
        {63, "", ".lock", "ERROR: cannot create LOCKFILE /var/run/kvn63.lock, exiting.\n"},
        {64, "", ".pid", "ERROR: cannot create PIDFILE /var/run/kvn64.pid, exiting.\n"},
        {65, "-f", ".lock", "ERROR: cannot create LOCKFILE /var/run/kvn65.lock, exiting.\n"},
        {66, "-f", ".pid", "ERROR: cannot create PIDFILE /var/run/kvn66.pid, exiting.\n"},
    };
    for (const Case &c : cases) {
        std::string num = std::to_string(c.instance);
        std::string blocked = root.file("/var/run/kvn" + num + c.blocked);
        ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
        std::vector<std::string> args = {"start", num};
        if (c.option[0] != '\0')
            args.insert(args.begin(), c.option);
        Result r = run(args);
        EXPECT_EQ(r.rc, 69) << num;
        EXPECT_EQ(r.out, c.want) << num;
        EXPECT_EQ(run({"status", num}).out, "Korvane: instance " + num + " not running\n") << num;
    }
}

}  // namespace
