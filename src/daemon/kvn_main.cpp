// Program entry: the command line of `kvn`. The options are taken in order
// and the ones that answer at once (-r, -I, -g, -n, -s) need no root; then
// the word decides whether this process becomes a daemon instance, acts on
// one from outside, or becomes a control client of one.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "command/control.h"
#include "command/log.h"
#include "daemon/daemon.h"
#include "daemon/instance.h"
#include "daemon/startup.h"
#include "snmp/snmp.h"

[[noreturn]] static void usage()
{
    print_banner(stderr);
    fprintf(stderr, "  usage: kvn [-df] start|stop|restart|status|control [instance]\n\n");
    exit(EXIT_USAGE);
}

// Takes an instance number; anything but a decimal number from 0 to 128 is
// refused with exit 64.
static int parse_instance(const char *text)
{
    char *end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (text[0] == '\0' || *end != '\0' || errno != 0 || n < 0 || n > KVN_MAXINSTANCE) {
        fprintf(stderr, "Korvane: invalid instance number\n");
        exit(EXIT_USAGE);
    }
    return (int)n;
}

static void print_status()
{
    int running = instance_running();
    if (dmn.instance != 0) {
        if (running)
            printf("Korvane: instance %d running with PID %d\n", dmn.instance, (int)dmn.running_pid);
        else
            printf("Korvane: instance %d not running\n", dmn.instance);
    } else {
        if (running)
            printf("Korvane: running with PID %d\n", (int)dmn.running_pid);
        else
            printf("Korvane: not running\n");
    }
    fflush(stdout);
}

// A client word and the pipe pair it connects to.
struct CLIENTWORD {
    const char *word;     // exact word on the command line
    const char *in;       // input pipe pattern
    const char *out;      // output pipe pattern
    const char *preset;   // single line sent instead of standard input
};

static const CLIENTWORD client_words[] = {
    {"control", PIPE_MAIN_IN, PIPE_MAIN_OUT, nullptr},
    {"ctl", PIPE_MAIN_IN, PIPE_MAIN_OUT, nullptr},
    {"auxctl", PIPE_AUX_IN, PIPE_AUX_OUT, nullptr},
    {"cmdctl", PIPE_CMD_IN, PIPE_CMD_OUT, nullptr},
    {"imsctl", PIPE_IMS_IN, PIPE_IMS_OUT, nullptr},
    {"reload", PIPE_CMD_IN, PIPE_CMD_OUT, "! reload\n"},
};

int kvn_main(int argc, char **argv)
{
    process_setup();

    // '+': stop at the first word, so options are only those before it and
    // are handled strictly in order.
    opterr = 0;
    int c;
    while ((c = getopt(argc, argv, "+defi:rIg:n:s:")) != -1) {
        switch (c) {
        case 'd':
            dmn.debug = 1;
            dmn.foreground = 1;
            break;
        case 'e':
            dmn.exclusive = 1;
            break;
        case 'f':
            dmn.foreground = 1;
            break;
        case 'i':
            dmn.instance = parse_instance(optarg);
            break;
        case 'r':
            printf("%d.%03d\n", dmn.release_major, dmn.release_minor);
            exit(0);
        case 'I':
            list_instances();
        case 'g':
        case 'n':
            // The oid must be the last argument.
            if (optind != argc)
                usage();
            exit(snmp_client_get(optarg, c == 'n'));
        case 's':
            // The oid, then exactly the type and the value.
            if (optind + 2 != argc)
                usage();
            printf("not-writable\n");
            exit(0);
        default:
            usage();
        }
    }

    if (geteuid() != 0) {
        fprintf(stderr, "Korvane: root permissions required, exiting.\n");
        log_message(6, "root permissions required, exiting");
        daemon_exit(EXIT_NOPERM);
    }

    int words = argc - optind;
    if (words < 1 || words > 2)
        usage();
    const char *word = argv[optind];
    if (words == 2)
        dmn.instance = parse_instance(argv[optind + 1]);

    if (strcmp(word, "start") == 0) {
        log_message(6, "kvn start of instance %d", dmn.instance);
        daemon_start();
    }
    if (strcmp(word, "stop") == 0) {
        log_message(6, "kvn stop of instance %d", dmn.instance);
        stop_instance();
        exit(0);
    }
    if (strcmp(word, "restart") == 0) {
        log_message(6, "kvn restart of instance %d", dmn.instance);
        if (instance_running()) {
            stop_instance();
        } else {
            printf("Korvane: not yet running\n");
            fflush(stdout);
        }
        daemon_start();
    }
    if (strcmp(word, "status") == 0) {
        print_status();
        exit(0);
    }
    if (strcmp(word, "purge") == 0)
        purge_instance();
    for (const CLIENTWORD &cw : client_words)
        if (strcmp(word, cw.word) == 0)
            client_main(cw.in, cw.out, cw.preset);
    usage();
}
