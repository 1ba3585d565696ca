// Instances seen from outside: the running test, stopping, purging and
// listing, and the lock and pid files a starting daemon takes.
#pragma once

#include <sys/types.h>

constexpr const char *PIDFILE_PATTERN = "/var/run/kvn%s.pid";
constexpr const char *LOCKFILE_PATTERN = "/var/run/kvn%s.lock";
constexpr const char *CONFFILE_PATTERN = "/etc/kvn%s.conf";

// 1 when the instance runs: another process holds the lock on its lock
// file, its pid file names that process, and /proc shows it. A pid file
// alone proves nothing: a stale one may name any live process. Leaves the
// pid read in dmn.running_pid. `listing` selects the form used by `kvn -I`,
// which opens /proc/<pid> instead of taking its status.
int instance_running_n(int instance, int listing);
// The same for dmn.instance.
int instance_running();

// `kvn stop`: SIGTERM, then SIGHUP, then SIGKILL, one second apart, until
// the running test says the instance is gone; prints the outcome.
void stop_instance();

// `kvn purge`: removes the configuration file of a stopped instance.
// Exits 0 on success and 77 (through daemon_exit) otherwise.
[[noreturn]] void purge_instance();

// `kvn -I`: "%3d running" or "%3d off" (configuration file present) for
// every instance number; exits 0.
[[noreturn]] void list_instances();

// What taking the lock and pid files came to.
enum LOCK_OUTCOME {
    LOCK_TAKEN,           // lock held, both files written
    LOCK_HELD,            // another process holds the lock: the instance runs
    LOCK_CREATE_FAILED,   // the lock file cannot be opened or created
    LOCK_REFUSED,         // the lock cannot be set for another reason
    PIDFILE_FAILED,       // the pid file cannot be opened or created
};

struct LOCKRESULT {
    int outcome;    // LOCK_OUTCOME
    pid_t holder;   // LOCK_HELD: the process holding the lock
    int err;        // errno of a failure
};

// Creates and locks the lock file and writes the pid into it and into the
// pid file. On LOCK_TAKEN the lock is held until the process ends; record
// locks are per process, so this must run in the process that stays the
// daemon, and that process must never open and close the lock file again
// (closing any descriptor of a file drops the process's locks on it).
// Prints nothing: the caller reports the outcome.
LOCKRESULT create_lock_and_pid_files();

// Prints the error line of a failed outcome other than LOCK_HELD to
// standard error, "ERROR: cannot create LOCKFILE %s, exiting." and the like.
void print_lock_failure(const LOCKRESULT &r);
