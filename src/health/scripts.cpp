// External commands: interface init commands, the co-process start and
// the server plugins with their line exchange.
//
// A plugin is a long-running shell command that reads one request line on
// its standard input and answers one line on its standard output. The
// daemon trusts nothing about it: it may never answer, answer late, stop
// reading or end at any time. So every exchange is bounded: the pipe ends
// on our side are non-blocking, and a request that cannot be written or an
// answer that has not arrived within PLUGIN_TIMEOUT_MS is a failed
// exchange, which removes the plugin for good (until the server is enabled
// again). Writing into the pipe of a plugin that has ended raises SIGPIPE,
// whose default action would end the daemon; start_plugin makes sure the
// signal is ignored, so such a write fails with EPIPE and counts as a
// failed exchange. Commands started by the daemon get the default action
// back before they run.
//
// The plugin's process is signalled through a pidfd where the kernel has
// them: the daemon reaps ended children in its SIGCHLD handler, and once a
// plugin that ended by itself has been reaped its pid may belong to an
// unrelated process, which a plain kill() would hit.
//
// The script runner is not built yet: an init command is not run.
#include "health/scripts.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "command/log.h"
#include "config/config_state.h"
#include "config/parameters.h"

void run_init_command(int)
{
    // Needs the script runner; the interface comes up without it.
}

// ---------------------------------------------------------------------------
// Co-process start

void exec_shell_command(const char *text)
{
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    // An ignored signal stays ignored across exec; a command's pipelines
    // rely on SIGPIPE ending their writers.
    sigaction(SIGPIPE, &dfl, nullptr);
    sigaction(SIGCHLD, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl("/bin/sh", "sh", "-c", text, (char *)nullptr);
    _exit(127);
}

// Ignores SIGPIPE unless someone already chose what it does.
static void ignore_sigpipe()
{
    struct sigaction cur;
    if (sigaction(SIGPIPE, nullptr, &cur) != 0)
        return;
    if ((cur.sa_flags & SA_SIGINFO) != 0 || cur.sa_handler != SIG_DFL)
        return;
    struct sigaction ign;
    memset(&ign, 0, sizeof ign);
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, nullptr);
}

static void set_nonblocking(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0)
        fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

pid_t start_plugin(const char *text, FILE **to, FILE **from)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        log_message(3, "error creating input pipe");
        return -1;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        log_message(3, "error creating output pipe");
        return -1;
    }
    ignore_sigpipe();
    pid_t pid = fork();
    if (pid < 0) {
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        log_message(3, "error at fork");
        return -1;
    }
    if (pid == 0) {
        // Copies above 2 first: with standard input or output closed in
        // the daemon, a pipe end may itself be 0 or 1 and a dup2 onto it
        // would close the other one.
        int r = fcntl(in[0], F_DUPFD, 3);
        int w = fcntl(out[1], F_DUPFD, 3);
        if (r < 0 || w < 0 || dup2(r, 0) < 0 || dup2(w, 1) < 0)
            _exit(127);
        close(r);
        close(w);
        exec_shell_command(text);
    }
    close(in[0]);
    close(out[1]);
    set_nonblocking(in[1]);
    set_nonblocking(out[0]);
    *to = fdopen(in[1], "w");
    *from = fdopen(out[0], "r");
    if (*to == nullptr || *from == nullptr) {
        // No stream, no exchange: the child must not run on unattended.
        kill(pid, SIGKILL);
        if (*to != nullptr)
            fclose(*to);
        else
            close(in[1]);
        if (*from != nullptr)
            fclose(*from);
        else
            close(out[0]);
        *to = *from = nullptr;
        log_message(3, "error creating input pipe");
        return -1;
    }
    return pid;
}

// ---------------------------------------------------------------------------
// Server plugins

constexpr int PIDFD_GONE = -1;     // the process had ended before its pidfd was taken
constexpr int PIDFD_USE_KILL = -2; // the kernel has no pidfds: signal by pid

constexpr int PLUGIN_LINEMAX = 1023;  // longest reply line read

// What the daemon keeps per plugin beside the server record.
struct PLUGINLINK {
    std::mutex lock;                  // one exchange at a time; start and stop take it too
    int pidfd = PIDFD_GONE;           // pidfd of the running plugin
    int len = 0;                      // bytes held in buf
    char buf[PLUGIN_LINEMAX + 1];     // reply bytes read but not yet taken as a line
};

static std::array<PLUGINLINK, MAXSERVER + 1> links;

static int open_pidfd(pid_t pid)
{
#ifdef SYS_pidfd_open
    int fd = (int)syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0)
        return fd;
    return errno == ESRCH ? PIDFD_GONE : PIDFD_USE_KILL;
#else
    (void)pid;
    return PIDFD_USE_KILL;
#endif
}

static void kill_plugin(pid_t pid, int pidfd)
{
#ifdef SYS_pidfd_send_signal
    if (pidfd >= 0) {
        syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
        return;
    }
#endif
    if (pidfd != PIDFD_GONE && pid > 0)
        kill(pid, SIGKILL);
}

// Kills server n's plugin and clears what the record and the link hold of
// it. The link's lock is held.
static void end_plugin(int n)
{
    SERVER &s = cfg.servers[n];
    PLUGINLINK &k = links[n];
    pid_t pid = s.plugin_pid;
    __atomic_store_n(&s.plugin_pid, 0, __ATOMIC_RELEASE);
    kill_plugin(pid, k.pidfd);
    if (k.pidfd >= 0)
        close(k.pidfd);
    k.pidfd = PIDFD_GONE;
    k.len = 0;
    if (s.plugin_in != nullptr)
        fclose(s.plugin_in);
    if (s.plugin_out != nullptr)
        fclose(s.plugin_out);
    s.plugin_in = s.plugin_out = nullptr;
}

int external_commands = 1;

int plugin_start(int n)
{
    if (!external_commands) {
        log_message(6, "plugin of server %d not started: external commands are off", n);
        return 0;
    }
    SERVER &s = cfg.servers[n];
    PLUGINLINK &k = links[n];
    std::lock_guard<std::mutex> hold(k.lock);
    if (s.plugin_pid != 0)
        return 1;
    FILE *to = nullptr, *from = nullptr;
    pid_t pid = start_plugin(s.plugin, &to, &from);
    if (pid < 0)
        return 0;
    k.pidfd = open_pidfd(pid);
    k.len = 0;
    s.plugin_in = to;
    s.plugin_out = from;
    __atomic_store_n(&s.plugin_pid, pid, __ATOMIC_RELEASE);
    return 1;
}

void plugin_stop(int n)
{
    std::lock_guard<std::mutex> hold(links[n].lock);
    if (cfg.servers[n].plugin_pid != 0)
        end_plugin(n);
}

static long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is ready for events or the deadline passes. True when ready.
static bool wait_ready(int fd, short events, long long deadline)
{
    for (;;) {
        long long left = deadline - now_ms();
        if (left <= 0)
            return false;
        struct pollfd p = {fd, events, 0};
        int r = poll(&p, 1, (int)left);
        if (r > 0)
            return true;
        if (r == 0 || errno != EINTR)
            return false;
    }
}

// Writes the whole request. False on a closed pipe (EPIPE), another write
// error, or a plugin that stopped reading until the deadline.
static bool write_request(int fd, const char *line, int len, long long deadline)
{
    int off = 0;
    while (off < len) {
        ssize_t w = write(fd, line + off, (size_t)(len - off));
        if (w > 0) {
            off += (int)w;
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno == EAGAIN) {
            if (!wait_ready(fd, POLLOUT, deadline))
                return false;
            continue;
        }
        return false;
    }
    return true;
}

// Takes one line (newline removed) from the link's buffer into out, as a
// stream's line read would: up to and including a newline, or
// PLUGIN_LINEMAX characters, or what is left at end of file. Bytes after
// it stay for the next exchange.
static void take_line(PLUGINLINK &k, int take, char *out)
{
    int keep = take;
    if (keep > 0 && k.buf[keep - 1] == '\n')
        keep--;
    memcpy(out, k.buf, (size_t)keep);
    out[keep] = '\0';
    memmove(k.buf, k.buf + take, (size_t)(k.len - take));
    k.len -= take;
}

// Reads one reply line into out (PLUGIN_LINEMAX + 1 bytes). False at end
// of file with nothing read, on a read error, or when no complete line
// arrived by the deadline.
static bool read_reply(PLUGINLINK &k, int fd, char *out, long long deadline)
{
    for (;;) {
        const char *nl = (const char *)memchr(k.buf, '\n', (size_t)k.len);
        if (nl != nullptr || k.len >= PLUGIN_LINEMAX) {
            take_line(k, nl != nullptr ? (int)(nl - k.buf) + 1 : PLUGIN_LINEMAX, out);
            return true;
        }
        ssize_t r = read(fd, k.buf + k.len, (size_t)(PLUGIN_LINEMAX - k.len));
        if (r > 0) {
            k.len += (int)r;
            continue;
        }
        if (r == 0) {
            if (k.len == 0)
                return false;
            take_line(k, k.len, out);
            return true;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN || !wait_ready(fd, POLLIN, deadline))
            return false;
    }
}

bool plugin_running(int n)
{
    return n >= 1 && n <= MAXSERVER && __atomic_load_n(&cfg.servers[n].plugin_pid, __ATOMIC_ACQUIRE) != 0;
}

bool plugin_exchange(int n, const char *line, int len, long long *reply)
{
    // Servers without a plugin do not touch its lock.
    if (!plugin_running(n))
        return false;
    SERVER &s = cfg.servers[n];
    PLUGINLINK &k = links[n];
    std::lock_guard<std::mutex> hold(k.lock);
    if (s.plugin_pid == 0 || s.plugin_in == nullptr || s.plugin_out == nullptr)
        return false;
    bool debug = param_value(P_DEBUGSCOPE) == 3;
    if (debug)
        log_message(7, "trying to communicate with plugin, server %d", n);
    long long deadline = now_ms() + PLUGIN_TIMEOUT_MS;
    char text[PLUGIN_LINEMAX + 1];
    bool ok = write_request(fileno(s.plugin_in), line, len, deadline);
    if (ok && debug) {
        log_message(7, "plugin request data sent, server %d", n);
        log_message(7, "fflush executed, waiting for data, server %d", n);
    }
    ok = ok && read_reply(k, fileno(s.plugin_out), text, deadline);
    if (!ok) {
        end_plugin(n);
        log_message(6, "plugin disabled (server %d)", n);
        return false;
    }
    if (debug)
        log_message(7, "data received, server %d", n);
    *reply = strtoll(text, nullptr, 10);
    return true;
}

void plugin_report_vrrp_state(const char *state)
{
    char line[32];
    int len = snprintf(line, sizeof line, "%s\n", state);
    if (len <= 0 || len >= (int)sizeof line)
        return;
    for (int n = 1; n <= MAXSERVER; n++) {
        const SERVER &s = cfg.servers[n];
        if (!s.enabled || s.plugin[0] == '\0')
            continue;
        long long reply;
        if (plugin_exchange(n, line, len, &reply) && reply != 0)
            log_message(6, "WARNING: response not 0 at vrrp state plugin for server %d", n);
    }
}
