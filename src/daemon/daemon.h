// Process-wide daemon state and the services every subsystem uses: the
// instance and its files, the uptime clock, detached threads and the one
// termination path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// Initialises the reader-writer lock of a table that packet threads read
// all the time and commands change now and then: a waiting writer goes
// before new readers, so a busy packet path cannot starve a command.
void table_rwlock_init(pthread_rwlock_t *lock);

// Starts a detached thread with the stack size of parameter
// pthreadstacksize (0 keeps the system default). A failure is logged and
// the caller goes on.
void run_thread_and_detach(void *(*routine)(void *), void *arg);

// The one termination path: a VRRP master hands mastership over first, then
// "exiting with returncode %d" is logged and the process ends.
[[noreturn]] void daemon_exit(int rc);

// A per-instance path for an explicit instance number (the listing of all
// instances needs others than dmn.instance): shown form and opened form.
void kvn_instance_shown_path(char *out, size_t outlen, const char *pattern, int instance);
void kvn_instance_path(char *out, size_t outlen, const char *pattern, int instance);

// The release as a revision text "$Revision: M.NNN $" and the build date
// as "$Date: yyyy/mm/dd hh:mm:ss $".
extern const char *const kvn_revision_text;
const char *kvn_date_text();

// Sets release_major, release_minor and created from the two texts. The
// token after "Revision:" gives the major number and, after its dot, the
// minor number; a text without them gives 0.000. The created date is the
// first 10 characters after "$Date: ".
void initialize_release_variables(const char *revision, const char *date);

// The banner: block letters, "This is Korvane M.NNN (created ...)" and the
// notice lines. Printed before the usage text and by `show version`.
void print_banner(FILE *out);

// Three bytes that tell this host apart, from the machine id (fallback: the
// host name) hashed so that the raw id does not leak onto the wire.
void host_unique_bytes(uint8_t out[3]);
// The same bytes from a given text; a pure function for the above.
void host_bytes_from_text(const char *text, uint8_t out[3]);
// Fills dmn.own_hwaddr: 06:01:<instance>:<host bytes>.
void form_own_hwaddr();
