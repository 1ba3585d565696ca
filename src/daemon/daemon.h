// Process-wide daemon state and the services every subsystem uses: the
// instance and its files, the uptime clock, detached threads and the one
// termination path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct DAEMON {
    int instance;            // 0..128, from -i or the last command-line word
    int debug;               // -d: debug output on stderr, implies foreground
    int foreground;          // -f or -d: do not detach
    int exclusive;           // -e: client refuses to wait for a busy pipe pair
    int release_major;       // release, printed as "%d.%03d"
    int release_minor;
    char created[11];        // build date yyyy/mm/dd
    pid_t running_pid;       // pid read by the last running test
    uint8_t own_hwaddr[6];   // 06:01:<instance>:<3 host bytes>
    int is_daemon;           // 1 once this process is the running daemon
};

extern DAEMON dmn;

constexpr int KVN_MAXINSTANCE = 128;
constexpr const char *PLATFORM_TAG = "ubuntu32-lts";

// Exit codes (BSD sysexits values).
constexpr int EX_OK_ = 0;
constexpr int EXIT_USAGE = 64;
constexpr int EXIT_UNAVAILABLE = 69;
constexpr int EXIT_OSERR = 71;
constexpr int EXIT_IOERR = 74;
constexpr int EXIT_TEMPFAIL = 75;
constexpr int EXIT_NOPERM = 77;

// The instance suffix of per-instance file names: "" for instance 0, the
// decimal number otherwise.
const char *instance_suffix();

// Formats a fixed path pattern with at most one "%s" (the instance suffix)
// as the daemon shows it in messages: "/var/run/kvn12.pid".
void kvn_shown_path(char *out, size_t outlen, const char *pattern);

// The same path as it is opened: the shown path under the prefix taken from
// the environment variable KVN_ROOT (unset or empty: no prefix).
void kvn_path(char *out, size_t outlen, const char *pattern);

// Prefixes an already formatted absolute path with KVN_ROOT.
void kvn_root_path(char *out, size_t outlen, const char *path);

// Whole seconds since the uptime thread started, read under its spin lock.
unsigned get_uptime();
// Replaces the uptime value; the uptime thread and tests driving a clock use it.
void set_uptime(unsigned value);
void uptime_init();
void *uptime_thread(void *);

// Starts a detached thread with the stack size of parameter
// pthreadstacksize (0 keeps the system default). A failure is logged and
// the caller goes on.
void run_thread_and_detach(void *(*routine)(void *), void *arg);

// The one termination path: a VRRP master hands mastership over first, then
// "exiting with returncode %d" is logged and the process ends. Tests may
// replace the final exit through daemon_exit_hook.
[[noreturn]] void daemon_exit(int rc);
