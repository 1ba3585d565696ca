// Instances seen from outside: the running test, stop, purge, the listing,
// and the lock and pid files of a starting daemon.
//
// The lock file is opened read-only by the running test, and a record lock
// needs write access, so the lock attempt is refused as a rule and the pid
// file with /proc decides. A dead but unreaped daemon still has a /proc
// entry; its state letter tells it apart, so it does not count as running.
#include "daemon/instance.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "command/log.h"
#include "daemon/daemon.h"

static void debug_line(const char *text, const char *arg = nullptr)
{
    if (!dmn.debug)
        return;
    if (arg != nullptr)
        fprintf(stderr, "%s %s\n", arg, text);
    else
        fprintf(stderr, "%s\n", text);
}

// 1 when /proc/<pid>/stat names a zombie (ended, not yet reaped).
static int process_is_zombie(int pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return 0;
    char buf[512];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    // The command name in parentheses may hold blanks; the state follows
    // the last closing parenthesis.
    const char *p = strrchr(buf, ')');
    if (p == nullptr || p[1] != ' ')
        return 0;
    return p[2] == 'Z' || p[2] == 'X';
}

int instance_running_n(int instance, int listing)
{
    char path[512];
    kvn_instance_path(path, sizeof path, LOCKFILE_PATTERN, instance);
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return 0;
    if (lockf(fd, F_TLOCK, 0) == 0) {
        close(fd);
        debug_line("lock successful, no kvn instance running.");
        return 0;
    }
    debug_line("lock not successful, kvn instance running.");
    close(fd);

    kvn_instance_path(path, sizeof path, PIDFILE_PATTERN, instance);
    fd = open(path, O_RDONLY);
    if (fd < 0)
        return 0;
    char shown[512];
    kvn_instance_shown_path(shown, sizeof shown, PIDFILE_PATTERN, instance);
    debug_line("opened", shown);
    char buf[1024];
    ssize_t n = read(fd, buf, 1023);
    close(fd);
    if (n <= 0)
        return 0;
    buf[n] = '\0';
    long pid = strtol(buf, nullptr, 10);
    dmn.running_pid = (pid_t)pid;
    // A pid of 0 or less would name a process group to kill(), never a
    // daemon; a damaged pid file reads as not running.
    if (pid <= 0 || pid > 0x3fffffff)
        return 0;

    char proc[64];
    snprintf(proc, sizeof proc, "/proc/%ld", pid);
    int exists;
    if (listing) {
        int pfd = open(proc, O_RDONLY);
        exists = pfd >= 0;
        if (pfd >= 0)
            close(pfd);
    } else {
        struct stat st;
        exists = stat(proc, &st) == 0;
    }
    if (!exists || process_is_zombie((int)pid)) {
        debug_line("cannot stat proc file");
        return 0;
    }
    debug_line("stat proc file successful");
    return 1;
}

int instance_running()
{
    return instance_running_n(dmn.instance, 0);
}

// Prints the shutdown outcome for the current instance with a suffix such
// as " (SIGHUP)".
static void print_shutdown(pid_t pid, const char *suffix)
{
    if (dmn.instance != 0)
        printf("Korvane: shutdown of instance %d PID %d complete%s\n", dmn.instance, (int)pid, suffix);
    else
        printf("Korvane: shutdown of PID %d complete%s\n", (int)pid, suffix);
}

void stop_instance()
{
    if (!instance_running()) {
        printf("Korvane: not running\n");
        fflush(stdout);
        return;
    }
    pid_t pid = dmn.running_pid;
    static const struct {
        int sig;
        const char *suffix;
    } steps[] = {{SIGTERM, ""}, {SIGHUP, " (SIGHUP)"}, {SIGKILL, " (SIGKILL)"}};
    for (const auto &step : steps) {
        kill(pid, step.sig);
        sleep(1);
        if (!instance_running()) {
            print_shutdown(pid, step.suffix);
            fflush(stdout);
            return;
        }
    }
    if (dmn.instance != 0)
        printf("Korvane: cannot shutdown instance %d PID %d\n", dmn.instance, (int)pid);
    else
        printf("Korvane: cannot shutdown PID %d\n", (int)pid);
    fflush(stdout);
}

void purge_instance()
{
    if (instance_running()) {
        printf("Korvane: cannot purge running instance %d\n", dmn.instance);
        fflush(stdout);
        log_message(6, "cannot purge running instance %d", dmn.instance);
        daemon_exit(EXIT_NOPERM);
    }
    char path[512], shown[512];
    kvn_path(path, sizeof path, CONFFILE_PATTERN);
    kvn_shown_path(shown, sizeof shown, CONFFILE_PATTERN);
    FILE *f = fopen(path, "r");
    if (f == nullptr) {
        printf("Korvane: %s of instance %d not present\n", shown, dmn.instance);
        fflush(stdout);
        log_message(6, "%s of instance %d not present", shown, dmn.instance);
        daemon_exit(EXIT_NOPERM);
    }
    fclose(f);
    if (unlink(path) != 0) {
        printf("Korvane: unable to remove %s\n", shown);
        fflush(stdout);
        log_message(6, "unable to remove %s", shown);
        daemon_exit(EXIT_NOPERM);
    }
    printf("Korvane: %s successfully deleted\n", shown);
    fflush(stdout);
    exit(0);
}

void list_instances()
{
    for (int i = 0; i <= KVN_MAXINSTANCE; i++) {
        if (instance_running_n(i, 1)) {
            printf("%3d running\n", i);
            continue;
        }
        char path[512];
        kvn_instance_path(path, sizeof path, CONFFILE_PATTERN, i);
        if (access(path, F_OK) == 0)
            printf("%3d off\n", i);
    }
    fflush(stdout);
    exit(0);
}

// Writes "<pid>\n" at the start of the file. The file is not truncated: a
// longer earlier content leaves a tail after the newline, which the pid
// parser never reads.
static int write_pid(int fd)
{
    char text[32];
    int len = snprintf(text, sizeof text, "%d\n", (int)getpid());
    return pwrite(fd, text, (size_t)len, 0) == len;
}

static void file_failure(const char *fmt, const char *shown)
{
    int err = errno;
    fprintf(stderr, fmt, shown);
    fputc('\n', stderr);
    if (dmn.debug)
        fprintf(stderr, "perror: %s\n", strerror(err));
    fflush(stderr);
    daemon_exit(EXIT_UNAVAILABLE);
}

void create_lock_and_pid_files()
{
    char path[512], shown[512];
    kvn_path(path, sizeof path, LOCKFILE_PATTERN);
    kvn_shown_path(shown, sizeof shown, LOCKFILE_PATTERN);
    // Descriptor 0 counts as failure too: with 0..2 on /dev/null a new
    // descriptor is never 0 unless something closed standard input.
    int fd = open(path, O_RDWR | O_CREAT, 0644);
    if (fd <= 0)
        file_failure("ERROR: cannot create LOCKFILE %s, exiting.", shown);
    fchmod(fd, 0644);
    if (lockf(fd, F_TLOCK, 0) != 0)
        file_failure("ERROR: unable to set lock on %s, exiting.", shown);
    if (!write_pid(fd))
        log_message(3, "cannot write %s", shown);
    // fd stays open: the lock lives as long as this process.

    kvn_path(path, sizeof path, PIDFILE_PATTERN);
    kvn_shown_path(shown, sizeof shown, PIDFILE_PATTERN);
    int pfd = open(path, O_RDWR | O_CREAT, 0644);
    if (pfd <= 0)
        file_failure("ERROR: cannot create PIDFILE %s, exiting.", shown);
    fchmod(pfd, 0644);
    if (!write_pid(pfd))
        log_message(3, "cannot write %s", shown);
    close(pfd);
}
