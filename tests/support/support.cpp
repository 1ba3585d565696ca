#include "support/support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "balance/session_table.h"
#include "command/command_table.h"
#include "command/interpreter.h"
#include "command/log.h"
#include "config/config_files.h"
#include "config/config_state.h"
#include "config/local_address.h"
#include "config/parameters.h"
#include "config/pool.h"
#include "daemon/daemon.h"
#include "health/scripts.h"
#include "packet/interface_io.h"
#include "packet/snat.h"

Capture::Capture() { f = open_memstream(&buf, &len); }

Capture::~Capture()
{
    fclose(f);
    free(buf);
}

std::string Capture::str()
{
    fflush(f);
    return std::string(buf, len);
}

void kvn_test_reset()
{
    static bool once = false;
    if (!once) {
        once = true;
        log_init();
        interpreter_init();
        register_commands();
    }
    // A plugin a test left running goes before its server record does.
    for (int n = 1; n <= MAXSERVER; n++)
        plugin_stop(n);
    config_init_tables();
    // The readers' frame counters live beside the interface records.
    for (int slot = 0; slot < IFSLOTS; slot++)
        interface_counts_clear(slot);
    config_files_reset();
    params_reset();
    snat_clear();
    st_clear(session_table);
    // The build host may itself use documentation addresses; in-process
    // tests see no local addresses unless they install their own test
    // (which a reset inside the test leaves in place).
    if (local_address_test == local_address_configured)
        local_address_test = [](const uint8_t *) { return false; };
    block_close();
    interp.nodename[0] = '\0';
    interp.nodename_set = 0;
    interp.loading = 0;
    interp.config_error = 0;
    interp.config_line = 0;
    interp.reload_pass = 0;
    errbuf[0] = '\0';
    log_reset();
}

std::string run_line(const std::string &line, int *result)
{
    Capture c;
    int r = process_command_line(line.c_str(), c.f);
    if (result != nullptr)
        *result = r;
    return c.str();
}

std::string run_output(const std::string &line, int *result)
{
    std::string out = run_line(line, result);
    const std::string prompt = "kvn# ";
    if (out.size() >= prompt.size() && out.compare(out.size() - prompt.size(), prompt.size(), prompt) == 0)
        out.resize(out.size() - prompt.size());
    return out;
}

int log_count(const std::string &needle)
{
    std::string log = run_line("show log");
    int n = 0;
    for (size_t p = log.find(needle); p != std::string::npos; p = log.find(needle, p + 1))
        n++;
    return n;
}

TempRoot::TempRoot()
{
    char tmpl[] = "/tmp/kvn-test-XXXXXX";
    char *dir = mkdtemp(tmpl);
    path = dir != nullptr ? dir : "/tmp";
    mkdir((path + "/etc").c_str(), 0755);
    mkdir((path + "/var").c_str(), 0755);
    mkdir((path + "/var/run").c_str(), 0755);
    mkdir((path + "/opt").c_str(), 0755);
    setenv("KVN_ROOT", path.c_str(), 1);
}

TempRoot::~TempRoot()
{
    unsetenv("KVN_ROOT");
    if (path.rfind("/tmp/kvn-test-", 0) == 0) {
        std::string cmd = "rm -rf '" + path + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::vector<std::string> corpus_files(const std::string &corpus)
{
    std::vector<std::string> files;
    std::string dir = std::string(KVN_SOURCE_DIR) + "/fuzz/" + corpus;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                files.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

void exec_kvn(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(KVN_BINARY));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(KVN_BINARY, argv.data());
    _exit(127);
}

int wait_exit(pid_t pid, int ms)
{
    for (int waited = 0; waited <= ms; waited += 10) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        poll(nullptr, 0, 10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

HoldingChild::HoldingChild(void (*work)(const void *arg, void *result), const void *arg,
                           void *result, size_t size)
{
    int report[2], hold[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return;
    if (pipe2(hold, O_CLOEXEC) != 0) {
        close(report[0]);
        close(report[1]);
        return;
    }
    pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        close(hold[1]);
        work(arg, result);
        if (write(report[1], result, size) != (ssize_t)size)
            _exit(1);
        char c;
        while (read(hold[0], &c, 1) > 0) {
        }
        _exit(0);
    }
    close(report[1]);
    close(hold[0]);
    keep = hold[1];
    pid = child;
    struct pollfd p = {report[0], POLLIN, 0};
    bool reported = child > 0 && poll(&p, 1, 10000) == 1 && read(report[0], result, size) == (ssize_t)size;
    close(report[0]);
    if (!reported) {
        end();
        pid = -1;
    }
}

HoldingChild::~HoldingChild()
{
    end();
}

void HoldingChild::end()
{
    if (keep >= 0)
        close(keep);
    keep = -1;
    if (pid <= 0)
        return;
    // A later child may have inherited the pipe end; end the child by pid.
    kill(pid, SIGKILL);
    wait_exit(pid, 10000);
    pid = -1;
}

void hold_lock(const void *path, void *result)
{
    int fd = open((const char *)path, O_RDWR | O_CREAT, 0644);
    *(char *)result = fd >= 0 && lockf(fd, F_TLOCK, 0) == 0 ? 'y' : 'n';
}

namespace {

struct HELDLOCK {
    void (*warm)(void *arg);
    void (*fn)(void *arg);
    void *arg;
    std::atomic<int> stage{0};  // 1 warmed, 2 writer lock held, 3 fn returned
};

void *run_held(void *p)
{
    auto *h = (HELDLOCK *)p;
    h->warm(h->arg);
    h->stage.store(1);
    while (h->stage.load() != 2)
        sched_yield();
    h->fn(h->arg);
    h->stage.store(3);
    return nullptr;
}

// Waits until the stage is reached or the time is up.
bool reach(const std::atomic<int> &stage, int want, int seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (stage.load() != want && std::chrono::steady_clock::now() < deadline)
        sched_yield();
    return stage.load() == want;
}

} // namespace

bool runs_while_write_locked(LOCKEDPOOL *t, void (*warm)(void *arg), void (*fn)(void *arg), void *arg)
{
    HELDLOCK h;
    h.warm = warm;
    h.fn = fn;
    h.arg = arg;
    pthread_t th;
    if (pthread_create(&th, nullptr, run_held, &h) != 0)
        return false;
    bool warmed = reach(h.stage, 1, 10);
    pthread_rwlock_wrlock(&t->lock);
    h.stage.store(2);
    bool ran = warmed && reach(h.stage, 3, 5);
    pthread_rwlock_unlock(&t->lock);
    pthread_join(th, nullptr);
    return ran;
}
