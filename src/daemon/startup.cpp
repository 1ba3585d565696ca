// The daemon's start-up sequence, in the order the pieces depend on each
// other: tables before commands, the running test before detaching, the
// lock and pid files before the configuration, the configuration before the
// service threads, and the I/O loop last.
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
    open_syslog();
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = sigusr1_handler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, nullptr);
    initialize_release_variables(kvn_revision_text, kvn_date_text());
    log_init();
    interpreter_init();
    uptime_init();
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

static void detach()
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "cannot fork\n");
        exit(EXIT_OSERR);
    }
    if (pid > 0)
        exit(0);
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

    if (instance_running()) {
        printf("Korvane: already running with PID %d\n", (int)dmn.running_pid);
        fflush(stdout);
        log_message(3, "exiting due to already running process with PID %d", (int)dmn.running_pid);
        daemon_exit(EXIT_NOPERM);
    }
    if (dmn.instance != 0)
        printf("Korvane: starting up instance %d ...\n", dmn.instance);
    else
        printf("Korvane: starting up ...\n");
    fflush(stdout);

    if (!dmn.foreground) {
        detach();
    } else {
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

    create_lock_and_pid_files();

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
