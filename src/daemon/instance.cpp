// Instances seen from outside: the running test, stop, purge, the listing,
// and the lock and pid files of a starting daemon.
//
// The daemon holds a record lock on its lock file for its whole life, and
// the lock is what tells a running instance: the kernel drops it when the
// process ends, however it ends, and names the process that holds it. The
// pid file is only believed when it names that holder, so a stale pid file
// naming some other live process is never taken for the daemon (and never
// signalled by `stop`).
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

// The process holding a lock on the whole file behind fd: its pid, 0 when
// no other process holds one, -1 when one is held by a process this pid
// namespace cannot name. The test works on a read-only descriptor (a lock
// attempt would need write access) and never sees the caller's own locks.
static pid_t lock_holder(int fd)
{
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    if (fcntl(fd, F_GETLK, &fl) != 0 || fl.l_type == F_UNLCK)
        return 0;
    return fl.l_pid > 0 ? fl.l_pid : -1;
}

int instance_running_n(int instance, int listing)
{
    char path[512];
    kvn_instance_path(path, sizeof path, LOCKFILE_PATTERN, instance);
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return 0;
    pid_t holder = lock_holder(fd);
    close(fd);
    if (holder == 0) {
        debug_line("lock successful, no kvn instance running.");
        return 0;
    }
    debug_line("lock not successful, kvn instance running.");

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
    // Only the lock holder is the daemon; a daemon that has ended but is not
    // yet reaped lost its locks with its end. A pid of 0 or less names a
    // process group (or every process) to kill(), never a daemon, even when
    // it matches the -1 of a holder this namespace cannot name.
    if (pid <= 0 || pid != holder) {
        debug_line("pid file does not name the lock holder");
        return 0;
    }

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
    if (!exists) {
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
        // Gone, or the lock now belongs to another process: either way the
        // pid signalled is no longer the instance and gets no further signal.
        if (!instance_running() || dmn.running_pid != pid) {
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

// Opens (creating it if needed) a per-instance file for reading and writing
// with mode 0644. Descriptor 0 counts as failure too: with 0..2 on
// /dev/null a new descriptor is never 0 unless something closed standard
// input.
static int open_instance_file(const char *pattern)
{
    char path[512];
    kvn_path(path, sizeof path, pattern);
    int fd = open(path, O_RDWR | O_CREAT, 0644);
    if (fd == 0)
        close(fd);
    if (fd <= 0)
        return -1;
    fchmod(fd, 0644);
    return fd;
}

// Logs a file that was made but could not be written.
static void write_pid_or_log(int fd, const char *pattern)
{
    if (write_pid(fd))
        return;
    char shown[512];
    kvn_shown_path(shown, sizeof shown, pattern);
    log_message(3, "cannot write %s", shown);
}

LOCKRESULT create_lock_and_pid_files()
{
    LOCKRESULT r = {LOCK_TAKEN, 0, 0};
    int fd = open_instance_file(LOCKFILE_PATTERN);
    if (fd < 0)
        return {LOCK_CREATE_FAILED, 0, errno};
    // A holder that ends between the refused lock and the test leaves
    // nothing to name; try again, a bounded number of times.
    for (int attempt = 0; attempt < 3; attempt++) {
        if (lockf(fd, F_TLOCK, 0) == 0) {
            r.outcome = LOCK_TAKEN;
            break;
        }
        r = {LOCK_REFUSED, 0, errno};
        if (r.err != EACCES && r.err != EAGAIN)
            break;
        pid_t holder = lock_holder(fd);
        if (holder != 0) {
            r = {LOCK_HELD, holder, r.err};
            break;
        }
    }
    if (r.outcome != LOCK_TAKEN) {
        close(fd);
        return r;
    }
    write_pid_or_log(fd, LOCKFILE_PATTERN);
    // fd stays open: the lock lives as long as this process.

    int pfd = open_instance_file(PIDFILE_PATTERN);
    if (pfd < 0)
        return {PIDFILE_FAILED, 0, errno};
    write_pid_or_log(pfd, PIDFILE_PATTERN);
    close(pfd);
    return r;
}

void print_lock_failure(const LOCKRESULT &r)
{
    static const struct {
        int outcome;
        const char *fmt;
        const char *pattern;
    } lines[] = {
        {LOCK_CREATE_FAILED, "ERROR: cannot create LOCKFILE %s, exiting.", LOCKFILE_PATTERN},
        {LOCK_REFUSED, "ERROR: unable to set lock on %s, exiting.", LOCKFILE_PATTERN},
        {PIDFILE_FAILED, "ERROR: cannot create PIDFILE %s, exiting.", PIDFILE_PATTERN},
    };
    for (const auto &line : lines) {
        if (line.outcome != r.outcome)
            continue;
        char shown[512];
        kvn_shown_path(shown, sizeof shown, line.pattern);
        fprintf(stderr, line.fmt, shown);
        fputc('\n', stderr);
        if (dmn.debug)
            fprintf(stderr, "perror: %s\n", strerror(r.err));
    }
    fflush(stderr);
}
