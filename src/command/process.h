// Process-wide state and the services every subsystem uses, from the
// command interpreter up: the instance and its file names, the uptime
// clock, table locks, the exit codes and the one termination path.
//
// This is the bottom of the layering. The daemon fills the record and
// registers what must happen before the process ends (a VRRP master hands
// mastership over) through set_termination_hook, so that the interpreter,
// the table printer and the tables can end the process without knowing the
// daemon.
#pragma once

#include <atomic>

#include <cstddef>
#include <cstdint>
#include <pthread.h>
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

// A per-instance path for an explicit instance number (the listing of all
// instances needs others than dmn.instance): shown form and opened form.
void kvn_instance_shown_path(char *out, size_t outlen, const char *pattern, int instance);
void kvn_instance_path(char *out, size_t outlen, const char *pattern, int instance);

// The uptime word: whole seconds since the uptime thread started. Only
// that thread (and tests driving a clock) writes it; every packet thread
// reads it per frame, so it is one atomic word, read without a lock that
// would make each read a write to a shared cache line.
extern std::atomic<unsigned> uptime_word;

inline unsigned get_uptime() { return uptime_word.load(std::memory_order_relaxed); }
// Replaces the uptime value; the uptime thread and tests driving a clock use it.
void set_uptime(unsigned value);
void *uptime_thread(void *);

// Initialises the reader-writer lock of a table that packet threads read
// all the time and commands change now and then: a waiting writer goes
// before new readers, so a busy packet path cannot starve a command.
void table_rwlock_init(pthread_rwlock_t *lock);

// What has to happen before the process ends; nullptr (the start value)
// for nothing. The daemon registers the VRRP handover at start-up.
using TERMINATION_HOOK = void (*)();
void set_termination_hook(TERMINATION_HOOK hook);

// The one termination path: runs the termination hook, logs "exiting with
// returncode %d" and ends the process with rc.
[[noreturn]] void daemon_exit(int rc);
