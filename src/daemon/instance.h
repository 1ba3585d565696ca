// Instances seen from outside: the running test, stopping, purging and
// listing, and the lock and pid files a starting daemon takes.
#pragma once

constexpr const char *PIDFILE_PATTERN = "/var/run/kvn%s.pid";
constexpr const char *LOCKFILE_PATTERN = "/var/run/kvn%s.lock";
constexpr const char *CONFFILE_PATTERN = "/etc/kvn%s.conf";

// 1 when the instance runs: its lock file exists and is locked, its pid
// file names a pid, and that process is alive. Leaves the pid read in
// dmn.running_pid. `listing` selects the form used by `kvn -I`, which opens
// /proc/<pid> instead of taking its status.
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

// Creates and locks the lock file and writes the pid file; the lock is
// held until the process ends. Exits 69 when either file cannot be made.
void create_lock_and_pid_files();
