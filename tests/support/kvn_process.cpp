#include "support/kvn_process.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include "support/support.h"

static long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000;
}

// Writes what the pipe takes now; closes standard input once all is out.
static void feed(KvnRun &r)
{
    while (r.in >= 0 && !r.input.empty()) {
        ssize_t n = write(r.in, r.input.data(), r.input.size());
        if (n < 0 && errno == EAGAIN)
            break;
        if (n <= 0)
            r.input.clear();  // the process no longer reads it
        else
            r.input.erase(0, (size_t)n);
    }
    if (r.in >= 0 && r.input.empty() && r.close_input) {
        close(r.in);
        r.in = -1;
    }
}

KvnRun start_kvn(const std::vector<std::string> &args, const std::string &input, bool close_input)
{
    KvnRun r;
    int pin[2], pout[2], perr[2];
    if (pipe(pin) != 0 || pipe(pout) != 0 || pipe(perr) != 0)
        return r;
    r.pid = fork();
    if (r.pid == 0) {
        dup2(pin[0], 0);
        dup2(pout[1], 1);
        dup2(perr[1], 2);
        close_range(3, ~0U, 0);
        exec_kvn(args);
    }
    close(pin[0]);
    close(pout[1]);
    close(perr[1]);
    r.in = pin[1];
    r.out = pout[0];
    r.err = perr[0];
    fcntl(r.in, F_SETFL, O_NONBLOCK);
    r.input = input;
    r.close_input = close_input;
    feed(r);
    return r;
}

void finish_kvn(KvnRun &r, int ms)
{
    long deadline = now_ms() + ms;
    r.close_input = true;
    feed(r);
    std::string *dst[2] = {&r.stdout_text, &r.stderr_text};
    int *fds[2] = {&r.out, &r.err};
    while ((r.out >= 0 || r.err >= 0) && now_ms() < deadline) {
        struct pollfd p[3] = {{r.out, POLLIN, 0}, {r.err, POLLIN, 0}, {r.in, POLLOUT, 0}};
        if (poll(p, 3, (int)(deadline - now_ms())) <= 0)
            break;
        for (int i = 0; i < 2; i++) {
            if (*fds[i] < 0 || p[i].revents == 0)
                continue;
            char buf[65536];
            ssize_t n = read(*fds[i], buf, sizeof buf);
            if (n <= 0) {
                close(*fds[i]);
                *fds[i] = -1;
            } else {
                dst[i]->append(buf, n);
            }
        }
        if (p[2].revents & (POLLOUT | POLLERR))
            feed(r);
    }
    for (int *fd : {&r.in, &r.out, &r.err})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    long left = deadline - now_ms();
    r.code = wait_exit(r.pid, left > 0 ? (int)left : 0);
}

KvnRun run_kvn(const std::vector<std::string> &args, const std::string &input, int ms)
{
    KvnRun r = start_kvn(args, input);
    finish_kvn(r, ms);
    return r;
}

pid_t spawn_kvn_daemon(const std::vector<std::string> &args, const std::string &logpath)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        int log = open(logpath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(null, 0);
        dup2(log, 1);
        dup2(log, 2);
        close_range(3, ~0U, 0);
        exec_kvn(args);
    }
    return pid;
}

bool kvn_daemon_ready(pid_t pid, int instance, const TempRoot &root, int ms)
{
    std::string suffix = instance == 0 ? "" : std::to_string(instance);
    std::string pid_text = std::to_string(pid) + "\n";
    long deadline = now_ms() + ms;
    do {
        if (read_file(root.file("/var/run/kvn" + suffix + ".pid")) == pid_text &&
            run_kvn({"control", std::to_string(instance)}, "}\n", ms).stdout_text.ends_with("# "))
            return true;
        poll(nullptr, 0, 20);
    } while (now_ms() < deadline);
    return false;
}
