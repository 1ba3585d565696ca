// Show items of the daemon: instance, version, uptime.
#include "command/command_table.h"
#include "config/show.h"
#include "daemon/daemon.h"

int show_instance(int, char **, FILE *out)
{
    fprintf(out, "  this is Korvane instance %d\n", dmn.instance);
    return 1;
}

int show_version(int, char **, FILE *out)
{
    print_banner(out);
    return 1;
}

// The unit word, singular for exactly one.
static const char *unit(unsigned n, const char *one, const char *many)
{
    return n == 1 ? one : many;
}

int show_uptime(int, char **, FILE *out)
{
    unsigned up = get_uptime();
    unsigned days = up / 86400, hours = up / 3600 % 24, minutes = up / 60 % 60, seconds = up % 60;
    fprintf(out, "  current uptime is %u %s\n", up, unit(up, "second", "seconds"));
    fprintf(out, "  which is %u %s %u %s %u %s %u %s\n", days, unit(days, "day", "days"), hours,
            unit(hours, "hour", "hours"), minutes, unit(minutes, "minute", "minutes"), seconds,
            unit(seconds, "second", "seconds"));
    return 1;
}
