// The release and build date of this program, the banner that shows them,
// and the host-specific bytes of the daemon's own hardware address.
#include "daemon/daemon.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "command/log.h"

// The one place the release number is kept; the format is the one the
// release parser below expects.
const char *const kvn_revision_text = "$Revision: 1.042 $";

const char *kvn_date_text()
{
    // __DATE__ is "Mmm dd yyyy"; the banner wants yyyy/mm/dd.
    static char text[40];
    if (text[0] != '\0')
        return text;
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const char *d = __DATE__;
    int month = 1;
    for (int m = 0; m < 12; m++)
        if (strncmp(d, months + 3 * m, 3) == 0)
            month = m + 1;
    int day = atoi(d + 4);
    int year = atoi(d + 7);
    snprintf(text, sizeof text, "$Date: %04d/%02d/%02d %s $", year % 10000, month % 100, day % 100,
             __TIME__);
    return text;
}

void initialize_release_variables(const char *revision, const char *date)
{
    char *copy = strdup(revision);
    if (copy == nullptr) {
        log_message(0, "malloc problem in initialize_release_variables()");
        daemon_exit(EXIT_UNAVAILABLE);
    }
    dmn.release_major = 0;
    dmn.release_minor = 0;
    char *save = nullptr;
    char *token = strtok_r(copy, " ", &save);
    if (token != nullptr)
        token = strtok_r(nullptr, " ", &save);
    if (token != nullptr) {
        dmn.release_major = atoi(token);
        // The minor number follows the dot; with a one-digit major this is
        // the token's third character, and a longer major still reads right.
        const char *dot = strchr(token, '.');
        if (dot != nullptr)
            dmn.release_minor = atoi(dot + 1);
    }
    free(copy);

    memset(dmn.created, 0, sizeof dmn.created);
    const char *start = strstr(date, "$Date: ");
    if (start != nullptr)
        strncpy(dmn.created, start + 7, sizeof dmn.created - 1);
}

static const char *const banner_art[] = {
    "  _  __",
    " | |/ / ___  _ _ __ __ __ _  _ _   ___",
    " | ' < / _ \\| '_|\\ V // _` || ' \\ / -_)",
    " |_|\\_\\\\___/|_|   \\_/ \\__,_||_||_|\\___|",
};

static const char *const notice_lines[] = {
    "          Korvane load balancer, copyright the Korvane authors.",
    "          Provided as is, without warranty of any kind.",
};

void print_banner(FILE *out)
{
    for (const char *line : banner_art)
        fprintf(out, "%s\n", line);
    fprintf(out, "          This is Korvane %d.%03d (created %s)\n", dmn.release_major,
            dmn.release_minor, dmn.created);
    fputc('\n', out);
    for (const char *line : notice_lines)
        fprintf(out, "%s\n", line);
    fputc('\n', out);
}

void host_bytes_from_text(const char *text, uint8_t out[3])
{
    // FNV-1a: stable across builds and hosts, and spreads similar ids apart.
    uint32_t h = 2166136261u;
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; p++) {
        h ^= *p;
        h *= 16777619u;
    }
    out[0] = (uint8_t)(h >> 16);
    out[1] = (uint8_t)(h >> 8);
    out[2] = (uint8_t)h;
}

void host_unique_bytes(uint8_t out[3])
{
    // The machine id is a fact of the host, not of the daemon's file tree,
    // so it is read at its real place even when KVN_ROOT relocates files.
    char text[256] = "";
    FILE *f = fopen("/etc/machine-id", "r");
    if (f != nullptr) {
        if (fgets(text, sizeof text, f) == nullptr)
            text[0] = '\0';
        fclose(f);
        text[strcspn(text, "\r\n")] = '\0';
    }
    if (text[0] == '\0' && gethostname(text, sizeof text - 1) != 0)
        text[0] = '\0';
    text[sizeof text - 1] = '\0';
    host_bytes_from_text(text, out);
}

void form_own_hwaddr()
{
    dmn.own_hwaddr[0] = 0x06;
    dmn.own_hwaddr[1] = 0x01;
    dmn.own_hwaddr[2] = (uint8_t)dmn.instance;
    host_unique_bytes(dmn.own_hwaddr + 3);
}
