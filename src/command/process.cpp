// Process-wide state, instance file names, the uptime clock, table locks
// and the common termination path.
#include "command/process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "command/log.h"

DAEMON dmn;

std::atomic<unsigned> uptime_word{0};

const char *instance_suffix()
{
    static char suffix[8];
    if (dmn.instance == 0)
        return "";
    snprintf(suffix, sizeof suffix, "%d", dmn.instance);
    return suffix;
}

void kvn_shown_path(char *out, size_t outlen, const char *pattern)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(out, outlen, pattern, instance_suffix());
#pragma GCC diagnostic pop
}

void kvn_root_path(char *out, size_t outlen, const char *path)
{
    const char *root = getenv("KVN_ROOT");
    if (root == nullptr)
        root = "";
    snprintf(out, outlen, "%s%s", root, path);
}

void kvn_path(char *out, size_t outlen, const char *pattern)
{
    char shown[512];
    kvn_shown_path(shown, sizeof shown, pattern);
    kvn_root_path(out, outlen, shown);
}

void kvn_instance_shown_path(char *out, size_t outlen, const char *pattern, int instance)
{
    char suffix[8] = "";
    if (instance != 0)
        snprintf(suffix, sizeof suffix, "%d", instance);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(out, outlen, pattern, suffix);
#pragma GCC diagnostic pop
}

void kvn_instance_path(char *out, size_t outlen, const char *pattern, int instance)
{
    char shown[512];
    kvn_instance_shown_path(shown, sizeof shown, pattern, instance);
    kvn_root_path(out, outlen, shown);
}

void set_uptime(unsigned value)
{
    uptime_word.store(value, std::memory_order_relaxed);
}

void *uptime_thread(void *)
{
    unsigned count = 0;
    for (;;) {
        // A signal (SIGCHLD of a finished script, SIGUSR1) may land on this
        // thread and cut a plain sleep short; sleep the rest of the second
        // so the clock does not run fast.
        struct timespec left = {1, 0};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
        count++;
        set_uptime(count);
    }
    return nullptr;
}

void table_rwlock_init(pthread_rwlock_t *lock)
{
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(lock, &attr);
    pthread_rwlockattr_destroy(&attr);
}

static TERMINATION_HOOK termination_hook;

void set_termination_hook(TERMINATION_HOOK hook)
{
    termination_hook = hook;
}

void daemon_exit(int rc)
{
    if (termination_hook != nullptr)
        termination_hook();
    log_message(6, "exiting with returncode %d", rc);
    exit(rc);
}
