// The daemon's start-up sequence, in the order the pieces depend on each
// other: tables before commands, the running test and the lock before
// "starting up" is claimed, the lock and pid files before the
// configuration, the configuration before the service threads, and the I/O
// loop last.
#include "daemon/startup.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "balance/select.h"
#include "command/command_table.h"
#include "command/control.h"
#include "command/interpreter.h"
#include "command/log.h"
#include "config/config_files.h"
#include "config/config_state.h"
#include "config/parameters.h"
#include "config/threads.h"
#include "daemon/daemon.h"
#include "daemon/instance.h"
#include "ha/vrrp.h"
#include "packet/interface_io.h"
#include "snmp/snmp.h"

// The four pipe pairs in opening order: main, auxiliary, command, fourth.
static const struct {
    const char *in;     // input pipe pattern
    const char *out;    // output pipe pattern
    const char *word;   // client word, for the debug line
} channel_pairs[4] = {
    {PIPE_MAIN_IN, PIPE_MAIN_OUT, "ctl"},
    {PIPE_AUX_IN, PIPE_AUX_OUT, "auxctl"},
    {PIPE_CMD_IN, PIPE_CMD_OUT, "cmdctl"},
    {PIPE_IMS_IN, PIPE_IMS_OUT, "imsctl"},
};
static CMDCHANNEL *channels[4];

static void open_syslog()
{
    // LOG_ODELAY: the connection opens with the first message.
    openlog("Korvane", LOG_PID | LOG_CONS | LOG_ODELAY, LOG_DAEMON);
}

// SIGUSR1 only interrupts blocking calls (no SA_RESTART); nothing else.
static void sigusr1_handler(int) {}

void process_setup()
{
    if (setuid(geteuid()) != 0) {
        // Only fails for a set-uid program without the right; the effective
        // id still decides the root test that follows.
    }
    srand((unsigned)getpid());
    select_seed((uint64_t)getpid());
    open_syslog();
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = sigusr1_handler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, nullptr);
    initialize_release_variables(kvn_revision_text, kvn_date_text());
    log_init();
    interpreter_init();
    // From process start until the first configuration load ends.
    interp.loading = 1;
}

static void debug_line(const char *text)
{
    if (dmn.debug) {
        fprintf(stderr, "%s\n", text);
        fflush(stderr);
    }
}

static void sigint_handler(int)
{
    if (dmn.debug) {
        static const char text[] = "sigint received\n";
        ssize_t n = write(2, text, sizeof text - 1);
        (void)n;
    }
    _exit(0);
}

static void sigchld_handler(int)
{
    int saved = errno;
    int status;
    while (waitpid(-1, &status, WNOHANG) > 0) {
    }
    errno = saved;
}

static void close_inherited_descriptors()
{
    closelog();
    int max = getdtablesize();
    // A huge descriptor limit would make this loop long; nothing a daemon
    // inherits sits that high in practice.
    if (max > 65536)
        max = 65536;
    for (int fd = 3; fd < max; fd++)
        close(fd);
    open_syslog();
}

// Prints the already-running message for pid, logs it and ends with 77.
[[noreturn]] static void refuse_running(pid_t pid)
{
    printf("Korvane: already running with PID %d\n", (int)pid);
    fflush(stdout);
    log_message(3, "exiting due to already running process with PID %d", (int)pid);
    daemon_exit(EXIT_NOPERM);
}

// Ends a start whose lock and pid files could not be taken: a lock held by
// another process is the instance already running, anything else a file
// failure (69).
[[noreturn]] static void refuse_start(const LOCKRESULT &r)
{
    if (r.outcome == LOCK_HELD)
        refuse_running(r.holder);
    print_lock_failure(r);
    daemon_exit(EXIT_UNAVAILABLE);
}

static void print_starting_up()
{
    if (dmn.instance != 0)
        printf("Korvane: starting up instance %d ...\n", dmn.instance);
    else
        printf("Korvane: starting up ...\n");
    fflush(stdout);
}

// Sends the child's lock outcome to the waiting parent. A parent that is
// gone must not end the daemon with SIGPIPE.
static void report_to_parent(int fd, const LOCKRESULT &r)
{
    struct sigaction ignore, old;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &old);
    ssize_t n;
    do
        n = write(fd, &r, sizeof r);
    while (n < 0 && errno == EINTR);
    sigaction(SIGPIPE, &old, nullptr);
    close(fd);
}

// The parent's half of detaching: waits until the child has taken the lock
// (or failed to), then reports the start as the user sees it and ends.
// Printing "starting up" only now means two starts racing for one instance
// cannot both claim it: the loser's child finds the winner's lock.
[[noreturn]] static void parent_wait_for_child(pid_t child, int fd)
{
    LOCKRESULT r;
    size_t got = 0;
    while (got < sizeof r) {
        ssize_t n = read(fd, (char *)&r + got, sizeof r - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    close(fd);
    if (got < sizeof r) {
        // The child ended before it reported; its exit code tells why.
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        exit(WIFEXITED(status) ? WEXITSTATUS(status) : EXIT_OSERR);
    }
    if (r.outcome != LOCK_TAKEN) {
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        refuse_start(r);
    }
    print_starting_up();
    exit(0);
}

// Forks the process that stays the daemon. The child takes the lock and pid
// files first (a record lock is not inherited, so only the child can hold
// it) and tells the parent through a pipe before it leaves the terminal.
static void detach()
{
    fflush(nullptr);
    int report[2];
    if (pipe(report) != 0) {
        fprintf(stderr, "cannot create pipe\n");
        exit(EXIT_OSERR);
    }
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "cannot fork\n");
        exit(EXIT_OSERR);
    }
    if (pid > 0) {
        close(report[1]);
        parent_wait_for_child(pid, report[0]);
    }
    close(report[0]);
    LOCKRESULT r = create_lock_and_pid_files();
    report_to_parent(report[1], r);
    if (r.outcome != LOCK_TAKEN)
        _exit(r.outcome == LOCK_HELD ? EXIT_NOPERM : EXIT_UNAVAILABLE);

    setpgrp();
    int tty = open("/dev/tty", O_RDWR);
    if (tty >= 0) {
        if (ioctl(tty, TIOCNOTTY, 0) < 0) {
            fprintf(stderr, "error: cannot ioctl(IOCNOTTY)\n");
            exit(EXIT_OSERR);
        }
        close(tty);
    }
    int null = open("/dev/null", O_RDWR);
    if (null < 0) {
        log_message(2, "unable to open /dev/null");
        exit(EXIT_OSERR);
    }
    if (dup2(null, 0) < 0)
        log_message(3, "unable to set /dev/null as stdin");
    if (dup2(null, 1) < 0)
        log_message(3, "unable to set /dev/null as stdout");
    if (dup2(null, 2) < 0)
        log_message(3, "unable to set /dev/null as stderr");
    if (null > 2)
        close(null);
    if (chdir("/") != 0)
        log_message(3, "unable to chdir() to /");
    if (dmn.instance != 0)
        log_message(6, "Korvane (%s) %d.%03d: starting background operation (instance %d)",
                    PLATFORM_TAG, dmn.release_major, dmn.release_minor, dmn.instance);
    else
        log_message(6, "Korvane (%s) %d.%03d: starting background operation", PLATFORM_TAG,
                    dmn.release_major, dmn.release_minor);
}

void daemon_start()
{
    form_own_hwaddr();
    close_inherited_descriptors();

    // Tables: the configuration records in their initial state (the
    // parameter table is static and the command table was made with the
    // global locks). The packet and session tables are set up by their own
    // subsystems when they are first used.
    config_init_tables();

    for (int i = 0; i < 4; i++)
        channels[i] = open_command_channel(channel_pairs[i].in, channel_pairs[i].out);

    register_commands();

    if (instance_running())
        refuse_running(dmn.running_pid);

    // The lock and pid files are taken before "starting up" is printed, by
    // the process that stays the daemon: the child when detaching, this
    // process in the foreground.
    if (!dmn.foreground) {
        detach();
    } else {
        LOCKRESULT r = create_lock_and_pid_files();
        if (r.outcome != LOCK_TAKEN)
            refuse_start(r);
        print_starting_up();
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = sigint_handler;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
    }
    dmn.is_daemon = 1;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = sigchld_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGCHLD, &sa, nullptr);

    if (chdir("/") != 0)
        log_message(3, "unable to chdir() to /");

    // From here on a VRRP master hands mastership over before the process ends.
    set_termination_hook(vrrp_resign_if_master);
    vrrp_setup_addresses();

    load_config();
    interp.loading = 0;
    debug_line("load_config() done");

    snmp_init();
    debug_line("snmp_init() done");

    run_thread_and_detach(uptime_thread, nullptr);
    debug_line("run_thread_and_detach(uptime_thread) done");
    get_uptime();
    debug_line("get_uptime() done");

    // Every pair gets a command thread, the fourth one included, so that
    // `imsctl` answers like the others. A pair without a channel is skipped.
    for (int i = 0; i < 4; i++) {
        if (channels[i] == nullptr)
            continue;
        run_thread_and_detach(command_thread, channels[i]);
        if (dmn.debug) {
            fprintf(stderr, "run_thread_and_detach(command_thread,%s) done\n", channel_pairs[i].word);
            fflush(stderr);
        }
    }

    run_thread_and_detach(snmp_thread, nullptr);
    debug_line("run_thread_and_detach(snmp_thread) done");

    log_message(6, "parameter pthreadstacksize is %d", param_value(P_PTHREADSTACKSIZE));

    if (param_value(P_MULTITHREADING) == 1)
        interface_loop_multithreading();
    interface_loop();
}
