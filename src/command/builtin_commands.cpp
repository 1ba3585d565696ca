// Commands of the interpreter itself: exit/quit, hostname, log, coredump,
// clisync, stop/shutdown, bitwise_memcmp and the lone "}".
#include <cstdlib>
#include <cstring>

#include "command/command_table.h"
#include "command/log.h"
#include "command/process.h"
#include "config/addr.h"
#include "config/config_writer.h"

int cmd_exit(int, char **, FILE *out)
{
    // A session ends by end of input (^D), not by a command.
    fprintf(out, "please type EOF to exit\n");
    return 1;
}

int cmd_hostname(int, char **argv, FILE *)
{
    if (interp.loading && interp.nodename_set) {
        log_message(6, "maintaining node specific hostname \"%s\"", interp.nodename);
        return 1;
    }
    if (!cw_text_fits(argv[1], sizeof interp.nodename, CW_BARE_OR_QUOTED))
        return cw_text_refused(argv[1]);
    // The dry run of a reload changes nothing.
    if (reload_dry_run())
        return 1;
    snprintf(interp.nodename, sizeof interp.nodename, "%s", argv[1]);
    interp.nodename_set = interp.nodename[0] != '\0';
    return 1;
}

int cmd_no_hostname(int, char **, FILE *)
{
    if (reload_dry_run())
        return 1;
    interp.nodename[0] = '\0';
    interp.nodename_set = 0;
    return 1;
}

int cmd_log(int, char **argv, FILE *)
{
    // A `log` line in a configuration file is logged once per reload, in
    // pass 2.
    if (!reload_dry_run())
        log_message(6, "%s", argv[1]);
    return 1;
}

int cmd_coredump(int, char **, FILE *out)
{
    fflush(out);
    abort();
}

int cmd_clisync(int, char **, FILE *out)
{
    // The client of a non-interactive session reads up to this byte.
    fflush(out);
    fputc(0, out);
    fflush(out);
    return 1;
}

int cmd_stop(int, char **, FILE *out)
{
    fprintf(out, "ok\n");
    fflush(out);
    daemon_exit(0);
}

int cmd_close_block(int, char **, FILE *)
{
    block_close();
    return 1;
}

int cmd_bitwise_memcmp(int, char **argv, FILE *out)
{
    uint8_t a[16], b[16];
    char *end = nullptr;
    long bits = strtol(argv[3], &end, 10);
    if (!parse_ipv6(argv[1], a) || !parse_ipv6(argv[2], b) || end == argv[3] || *end != '\0' ||
        bits < 1 || bits > 128)
        return cmd_error("syntax error bitwise_memcmp\n");
    fprintf(out, "%d\n", bitwise_memcmp(a, b, (int)bits));
    return 1;
}
