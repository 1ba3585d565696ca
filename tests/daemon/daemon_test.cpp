// Daemon state seen from inside the process: release parsing, the show
// items, per-instance paths, the own hardware address and the running test.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon/daemon.h"
#include "daemon/instance.h"
#include "support/support.h"

namespace {

class Daemon : public ::testing::Test {
  protected:
    DAEMON saved;
    void SetUp() override
    {
        kvn_test_reset();
        saved = dmn;
    }
    void TearDown() override
    {
        dmn = saved;
        set_uptime(0);
    }
};

TEST_F(Daemon, ReleaseParsing)
{
    struct Case {
        const char *revision;
        int major, minor;
    } cases[] = {
        {"$Revision: 1.042 $", 1, 42},
        {"$Revision: 2.5 $", 2, 5},
        {"$Revision: 3 $", 3, 0},
        {"$Revision: 12.007 $", 12, 7},
        {"$Revision: $", 0, 0},
        {"", 0, 0},
    };
    for (const Case &c : cases) {
        initialize_release_variables(c.revision, "$Date: 2024/03/07 10:11:12 $");
        EXPECT_EQ(dmn.release_major, c.major) << c.revision;
        EXPECT_EQ(dmn.release_minor, c.minor) << c.revision;
        EXPECT_STREQ(dmn.created, "2024/03/07") << c.revision;
    }
    initialize_release_variables("$Revision: 1.0 $", "no date");
    EXPECT_STREQ(dmn.created, "");
}

TEST_F(Daemon, BuiltInReleaseAndDate)
{
    initialize_release_variables(kvn_revision_text, kvn_date_text());
    EXPECT_GT(dmn.release_major * 1000 + dmn.release_minor, 0);
    ASSERT_EQ(strlen(dmn.created), 10u);
    for (int i : {4, 7})
        EXPECT_EQ(dmn.created[i], '/');
    EXPECT_STRNE(dmn.created, "0000/01/00");
}

TEST_F(Daemon, ShowUptime)
{
    struct Case {
        unsigned uptime;
        const char *want;
    } cases[] = {
        {0, "  current uptime is 0 seconds\n  which is 0 days 0 hours 0 minutes 0 seconds\n"},
        {1, "  current uptime is 1 second\n  which is 0 days 0 hours 0 minutes 1 second\n"},
        {90061, "  current uptime is 90061 seconds\n  which is 1 day 1 hour 1 minute 1 second\n"},
        {180122, "  current uptime is 180122 seconds\n  which is 2 days 2 hours 2 minutes 2 seconds\n"},
        {4294967295u,
         "  current uptime is 4294967295 seconds\n  which is 49710 days 6 hours 28 minutes 15 seconds\n"},
    };
    for (const Case &c : cases) {
        set_uptime(c.uptime);
        EXPECT_EQ(run_line("show uptime"), std::string(c.want) + "kvn# ") << c.uptime;
    }
}

TEST_F(Daemon, ShowInstance)
{
    for (int instance : {0, 7, 128}) {
        dmn.instance = instance;
        EXPECT_EQ(run_line("show instance"), "  this is Korvane instance " + std::to_string(instance) + "\nkvn# ");
    }
}

TEST_F(Daemon, ShowVersionPrintsBanner)
{
    initialize_release_variables("$Revision: 4.009 $", "$Date: 2023/11/30 01:02:03 $");
    std::string out = run_line("show version");
    std::string line = "          This is Korvane 4.009 (created 2023/11/30)\n\n";
    size_t at = out.find(line);
    ASSERT_NE(at, std::string::npos) << out;
    // Four lines of block letters come first.
    EXPECT_EQ(std::count(out.begin(), out.begin() + (long)at, '\n'), 4);
    // Notice lines, an empty line, then the prompt.
    EXPECT_EQ(out.substr(out.size() - 7), "\n\nkvn# ");
    EXPECT_GT(out.size(), at + line.size() + 7);
}

TEST_F(Daemon, InstancePaths)
{
    TempRoot root;
    char path[512];
    struct Case {
        int instance;
        const char *pattern, *shown;
    } cases[] = {
        {0, PIDFILE_PATTERN, "/var/run/kvn.pid"},
        {0, LOCKFILE_PATTERN, "/var/run/kvn.lock"},
        {0, CONFFILE_PATTERN, "/etc/kvn.conf"},
        {12, PIDFILE_PATTERN, "/var/run/kvn12.pid"},
        {12, LOCKFILE_PATTERN, "/var/run/kvn12.lock"},
        {128, CONFFILE_PATTERN, "/etc/kvn128.conf"},
    };
    for (const Case &c : cases) {
        kvn_instance_shown_path(path, sizeof path, c.pattern, c.instance);
        EXPECT_STREQ(path, c.shown);
        kvn_instance_path(path, sizeof path, c.pattern, c.instance);
        EXPECT_EQ(std::string(path), root.path + c.shown);
        dmn.instance = c.instance;
        kvn_path(path, sizeof path, c.pattern);
        EXPECT_EQ(std::string(path), root.path + c.shown);
    }
}

TEST_F(Daemon, OwnHardwareAddress)
{
    uint8_t a[3], b[3], host[3];
    host_bytes_from_text("3d1219c7c4c5404aaa1f6d2a48adfda4", a);
    host_bytes_from_text("3d1219c7c4c5404aaa1f6d2a48adfda5", b);
    EXPECT_NE(memcmp(a, b, 3), 0) << "ids one digit apart give different bytes";
    host_bytes_from_text("3d1219c7c4c5404aaa1f6d2a48adfda4", b);
    EXPECT_EQ(memcmp(a, b, 3), 0) << "stable";

    host_unique_bytes(host);
    std::string id = read_file("/etc/machine-id");
    if (!id.empty()) {
        id.erase(id.find_last_not_of("\r\n") + 1);
        host_bytes_from_text(id.c_str(), a);
        EXPECT_EQ(memcmp(a, host, 3), 0);
    }

    // The machine id stays the host's even under a relocated root.
    TempRoot root;
    write_file(root.file("/etc/machine-id"), "other\n");
    for (int instance : {0, 12, 128}) {
        dmn.instance = instance;
        form_own_hwaddr();
        const uint8_t *m = dmn.own_hwaddr;
        EXPECT_EQ(m[0], 0x06);
        EXPECT_EQ(m[1], 0x01);
        EXPECT_EQ(m[2], instance);
        EXPECT_EQ(memcmp(m + 3, host, 3), 0);
        EXPECT_EQ(m[0] & 0x03, 0x02) << "locally administered unicast";
    }
}

std::string instance_file(const TempRoot &root, int n, const char *ext)
{
    return root.file("/var/run/kvn" + (n == 0 ? std::string() : std::to_string(n)) + ext);
}

// Writes lock and pid files for instance n with the given pid text.
void write_instance_files(const TempRoot &root, int n, const std::string &pid_text)
{
    write_file(instance_file(root, n, ".lock"), pid_text);
    write_file(instance_file(root, n, ".pid"), pid_text);
}

// A child that has ended; reaped unless keep_zombie.
pid_t ended_child(bool keep_zombie)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    if (!keep_zombie)
        waitpid(pid, nullptr, 0);
    return pid;
}

TEST_F(Daemon, RunningTest)
{
    TempRoot root;
    EXPECT_EQ(instance_running_n(3, 0), 0) << "no files";

    std::string self = std::to_string(getpid()) + "\n";
    // Files naming a live process, but nobody holds the lock: stale files
    // that happen to name a live process are no daemon.
    write_instance_files(root, 3, self);
    EXPECT_EQ(instance_running_n(3, 0), 0) << "unlocked, naming a live process";
    EXPECT_EQ(instance_running_n(3, 1), 0) << "listing form, unlocked";

    std::string lock = instance_file(root, 3, ".lock");
    char locked = 'n';
    HoldingChild holder(hold_lock, lock.c_str(), &locked, 1);
    ASSERT_GT(holder.pid, 0);
    ASSERT_EQ(locked, 'y');
    std::string held = std::to_string(holder.pid) + "\n";
    write_file(instance_file(root, 3, ".pid"), held);
    EXPECT_EQ(instance_running_n(3, 0), 1);
    EXPECT_EQ(dmn.running_pid, holder.pid);
    EXPECT_EQ(instance_running_n(3, 1), 1) << "listing form";

    // A pid file longer than the pid (never truncated) still reads right.
    write_file(instance_file(root, 3, ".pid"), held + "99999\n");
    EXPECT_EQ(instance_running_n(3, 0), 1);

    // The lock is held, but the pid file names someone else: that process
    // is not the instance, whether alive, dead, ended unreaped or damaged.
    pid_t dead = ended_child(false);
    pid_t zombie = ended_child(true);
    // Wait (bounded) until the child has really ended.
    for (int i = 0; i < 2000 && read_file("/proc/" + std::to_string(zombie) + "/stat").find(") Z") == std::string::npos; i++)
        usleep(1000);
    struct Case {
        std::string pid_text;
        const char *what;
    } cases[] = {
        {self, "a live process that is not the lock holder"},
        {std::to_string(dead) + "\n", "stale pid file"},
        {std::to_string(zombie) + "\n", "an ended, unreaped process"},
        {"", "empty"},
        {"0\n", "zero"},
        {"-1\n", "negative"},
        {"abc\n", "not a number"},
    };
    for (const Case &c : cases) {
        write_file(instance_file(root, 3, ".pid"), c.pid_text);
        EXPECT_EQ(instance_running_n(3, 0), 0) << c.what;
        EXPECT_EQ(instance_running_n(3, 1), 0) << c.what << ", listing form";
    }
    waitpid(zombie, nullptr, 0);

    // Without a lock file the pid file is not consulted.
    write_file(instance_file(root, 4, ".pid"), held);
    EXPECT_EQ(instance_running_n(4, 0), 0);
}

// Work for a HoldingChild: create_lock_and_pid_files for the instance
// number in arg.
void take_instance_files(const void *arg, void *result)
{
    dmn.instance = *(const int *)arg;
    *(LOCKRESULT *)result = create_lock_and_pid_files();
}

TEST_F(Daemon, LockAndPidFiles)
{
    TempRoot root;
    const int n = 5;
    LOCKRESULT first = {-1, 0, 0}, second = {-1, 0, 0}, third = {-1, 0, 0};
    HoldingChild a(take_instance_files, &n, &first, sizeof first);
    ASSERT_GT(a.pid, 0);
    pid_t a_pid = a.pid;
    EXPECT_EQ(first.outcome, LOCK_TAKEN);
    EXPECT_EQ(read_file(instance_file(root, n, ".lock")), std::to_string(a_pid) + "\n");
    EXPECT_EQ(read_file(instance_file(root, n, ".pid")), std::to_string(a_pid) + "\n");
    EXPECT_EQ(instance_running_n(n, 0), 1);
    EXPECT_EQ(dmn.running_pid, a_pid);

    // A second taker finds the first one's lock and names it, writing nothing.
    {
        HoldingChild b(take_instance_files, &n, &second, sizeof second);
        ASSERT_GT(b.pid, 0);
        EXPECT_EQ(second.outcome, LOCK_HELD);
        EXPECT_EQ(second.holder, a_pid);
        EXPECT_EQ(read_file(instance_file(root, n, ".pid")), std::to_string(a_pid) + "\n");
    }

    // The lock goes with its holder; the next taker gets it.
    a.end();
    EXPECT_EQ(instance_running_n(n, 0), 0);
    HoldingChild c(take_instance_files, &n, &third, sizeof third);
    ASSERT_GT(c.pid, 0);
    EXPECT_EQ(third.outcome, LOCK_TAKEN);
    EXPECT_EQ(instance_running_n(n, 0), 1);
    EXPECT_EQ(dmn.running_pid, c.pid);

    // Files that cannot be made are failures of their own, not "running".
    struct Case {
        int instance;
        const char *blocked;   // made a directory so that it cannot be opened
        int outcome;
    } cases[] = {
        {6, ".lock", LOCK_CREATE_FAILED},
        {7, ".pid", PIDFILE_FAILED},
    };
    for (const Case &cs : cases) {
        ASSERT_EQ(mkdir(instance_file(root, cs.instance, cs.blocked).c_str(), 0755), 0);
        LOCKRESULT r = {-1, 0, 0};
        HoldingChild p(take_instance_files, &cs.instance, &r, sizeof r);
        ASSERT_GT(p.pid, 0);
        EXPECT_EQ(r.outcome, cs.outcome) << cs.blocked;
        EXPECT_NE(r.err, 0) << cs.blocked;
    }
}

}  // namespace
