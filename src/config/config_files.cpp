// Configuration files: loading at start-up and in the two passes of
// `reload`, `remark`, `save` and the writers behind `save`, `show conf`
// and `show private`.
//
// Loading feeds every line through the interpreter with its output on
// /dev/null; what the operator sees of a load is the log (start-up) or the
// reload output (the session that typed `reload`). Saving never overwrites
// a configuration in place: the text goes to a temporary file beside it,
// which replaces the old file only once it is completely on disk.
#include "config/config_files.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include "balance/session_table.h"
#include "command/command_table.h"
#include "command/log.h"
#include "command/process.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "config/config_writer.h"
#include "config/index_registry.h"
#include "config/parameters.h"
#include "config/show.h"

CONFFILES conffiles = {
    .remark = "", .remark_set = 0, .reload_out = nullptr, .lineformat = LINEFMT_FILE, .given_real = {}, .given_real6 = {}, .given_priority = 0};

int (*save_rename_hook)(const char *from, const char *to) = rename;

// Numbers per written `register`/`enable` line of servers and targets.
constexpr int NUMBERS_PER_LINE = 16;

static void forget_given_values()
{
    memset(conffiles.given_real, 0, sizeof conffiles.given_real);
    memset(conffiles.given_real6, 0, sizeof conffiles.given_real6);
    conffiles.given_priority = 0;
}

void config_files_reset()
{
    conffiles.remark[0] = '\0';
    conffiles.remark_set = 0;
    conffiles.reload_out = nullptr;
    conffiles.lineformat = LINEFMT_FILE;
    forget_given_values();
}

// ---------------------------------------------------------------------------
// Loading

// Every command a load or a reload runs writes its output here; exits
// the process (69) when it cannot be opened.
static FILE *open_devnull()
{
    FILE *devnull = fopen("/dev/null", "w");
    if (devnull == nullptr) {
        log_message(0, "cannot open /dev/null in load_config()");
        daemon_exit(EXIT_UNAVAILABLE);
    }
    return devnull;
}

// The error buffer without its trailing newline, for the reload output.
static const char *errbuf_line(char *buf, size_t n)
{
    snprintf(buf, n, "%s", errbuf);
    size_t len = strlen(buf);
    if (len > 0 && buf[len - 1] == '\n')
        buf[len - 1] = '\0';
    return buf;
}

// The two header lines a saved file starts with say when and by which
// release it was written; they go to the log so the operator can tell which
// configuration a daemon started from.
static void log_header_line(const char *line)
{
    if (interp.config_line >= 2 || strncmp(line, "//", 2) != 0 || strlen(line) <= 10)
        return;
    if (interp.config_line == 0)
        log_message(6, "%s", line + 10);
    else
        log_message(6, "configuration saved by %s", line + 10);
}

// What read_line found.
enum LINEREAD {
    LINE_TEXT,  // a line, now in the buffer
    LINE_NUL,   // a line holding a NUL byte
    LINE_LONG,  // a line longer than CONF_LINE_MAX characters
    LINE_EOF,   // no more lines
};

// Reads the next line of a file into buf (CONF_LINE_MAX + 1 bytes), without
// its line end. "\n", "\r\n" and a lone "\r" each end a line, so files
// written on any system read line by line. A line with a NUL byte or one
// too long is read to its end and reported, with nothing of it kept: run
// in part, it would apply a command other than the one written.
static LINEREAD read_line(FILE *f, char *buf)
{
    int c = getc(f);
    if (c == EOF)
        return LINE_EOF;
    size_t len = 0;
    bool nul = false, long_line = false;
    for (; c != EOF && c != '\n' && c != '\r'; c = getc(f)) {
        if (c == '\0')
            nul = true;
        else if (len < (size_t)CONF_LINE_MAX)
            buf[len++] = (char)c;
        else
            long_line = true;
    }
    if (c == '\r') {
        int next = getc(f);
        if (next != '\n' && next != EOF)
            ungetc(next, f);
    }
    buf[nul || long_line ? 0 : len] = '\0';
    return nul ? LINE_NUL : long_line ? LINE_LONG : LINE_TEXT;
}

// The result of a line read_line refused, reported as a command's error.
static int refuse_line(LINEREAD r, FILE *devnull)
{
    if (r == LINE_NUL)
        snprintf(errbuf, sizeof errbuf, "invalid NUL byte in line\n");
    else
        snprintf(errbuf, sizeof errbuf, "line too long (more than %d characters)\n", CONF_LINE_MAX);
    report_error(devnull);
    return 0;
}

// Runs every line of one file. The configuration file (main) counts its
// lines, logs its header lines and records load errors; the global and
// private files run with line 0 (their messages are logged but are no load
// errors). Outside a reload every line runs whatever its outcome; during a
// reload the first failing line stops the load. Returns 1 when the file was
// read to the end, 0 when a reload stopped it, -1 when it does not exist.
static int run_file(const char *pattern, FILE *devnull, bool main, char *shown, size_t shown_size)
{
    char path[PATH_MAX];
    kvn_path(path, sizeof path, pattern);
    kvn_shown_path(shown, shown_size, pattern);
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return -1;
    log_message(6, "loading %s", shown);
    char line[CONF_LINE_MAX + 1];
    for (LINEREAD r = read_line(f, line); r != LINE_EOF; r = read_line(f, line)) {
        if (main) {
            log_header_line(line);
            interp.config_line++;
        }
        errbuf[0] = '\0';
        int result = r == LINE_TEXT ? process_command_line(line, devnull) : refuse_line(r, devnull);
        if (interp.reload_pass == 0) {
            if (main && errbuf[0] != '\0')
                interp.config_error = 1;
        } else if (result != 1) {
            char msg[ERRBUF_SIZE];
            if (conffiles.reload_out != nullptr) {
                if (main)
                    fprintf(conffiles.reload_out, "  %s line %d: %s\n", shown, interp.config_line,
                            errbuf_line(msg, sizeof msg));
                else
                    fprintf(conffiles.reload_out, "  %s: %s\n", shown, errbuf_line(msg, sizeof msg));
            }
            fclose(f);
            return 0;
        }
    }
    fclose(f);
    // A block left open at the end of a file must not swallow the next
    // file's lines or the operator's next command.
    block_close();
    return 1;
}

static int load_side_file(const char *pattern, FILE *devnull)
{
    char shown[256];
    return run_file(pattern, devnull, false, shown, sizeof shown) != 0;
}

// The configuration file; 1 when read to the end (or missing).
static int load_main_file(FILE *devnull)
{
    char shown[256];
    int read = run_file(CONF_MAIN, devnull, true, shown, sizeof shown);
    if (read != 1)
        return read == -1 ? 1 : 0;

    if (interp.reload_pass == 0) {
        // The check's warnings count as load errors: they name combinations
        // that loaded but cannot work.
        errbuf[0] = '\0';
        process_command_line("check", devnull);
        if (errbuf[0] != '\0')
            interp.config_error = 1;
    }
    if (interp.config_error)
        log_message(3, "%s loaded with ERRORs", shown);
    else
        log_message(6, "%s successfully loaded", shown);
    return 1;
}

int load_config()
{
    interp.config_line = 0;
    forget_given_values();
    FILE *devnull = open_devnull();
    if (interp.reload_pass == 0)
        process_command_line(DEFAULT_MODULES_LINE, devnull);
    interp.loading = 1;
    int ok = load_side_file(CONF_GLOBAL, devnull) && load_side_file(CONF_PRIVATE, devnull) &&
             load_main_file(devnull);
    interp.loading = 0;
    fclose(devnull);
    return ok;
}

// ---------------------------------------------------------------------------
// reload

bool reload_session_survives(int server, int target)
{
    if (!valid_server(server) || !valid_target(target))
        return false;
    const SERVER &s = cfg.servers[server];
    const SERVER &olds = cfg.shadow_servers[server];
    const TARGET &t = cfg.targets[target];
    const TARGET &oldt = cfg.shadow_targets[target];
    if (memcmp(s.ipaddr, olds.ipaddr, 4) != 0 || memcmp(s.ipaddr6, olds.ipaddr6, 16) != 0 ||
        memcmp(t.ipaddr, oldt.ipaddr, 4) != 0 || memcmp(t.ipaddr6, oldt.ipaddr6, 16) != 0)
        return false;
    for (int i = 0; i < s.ntargets && i < MAXSRVTARGETS; i++)
        if (s.targets[i] == target)
            return true;
    for (int i = 0; i < s.nbackups && i < MAXSRVTARGETS; i++)
        if (s.backups[i] == target)
            return true;
    return false;
}

// Disables and unregisters every target, then every server, of cfg_edit().
// On the running tables each record is first copied to its shadow copy.
static void tear_down_servers_and_targets()
{
    FILE *devnull = open_devnull();
    CONFIG &c = cfg_edit();
    bool running = &c == &cfg;
    char line[64];
    for (int n = 1; n <= MAXTARGET; n++) {
        if (running)
            cfg.shadow_targets[n] = cfg.targets[n];
        if (c.targets[n].enabled) {
            snprintf(line, sizeof line, "disable target %d", n);
            process_command_line(line, devnull);
        }
        if (c.targets[n].registered) {
            snprintf(line, sizeof line, "unregister target %d", n);
            process_command_line(line, devnull);
        }
    }
    for (int n = 1; n <= MAXSERVER; n++) {
        if (running)
            cfg.shadow_servers[n] = cfg.servers[n];
        if (c.servers[n].enabled) {
            snprintf(line, sizeof line, "disable server %d", n);
            process_command_line(line, devnull);
        }
        if (c.servers[n].registered) {
            snprintf(line, sizeof line, "unregister server %d", n);
            process_command_line(line, devnull);
        }
    }
    fclose(devnull);
}

// Runs one reload pass: servers and targets torn down, then the files
// loaded. Returns load_config's result.
static int reload_pass(int pass)
{
    interp.reload_pass = pass;
    tear_down_servers_and_targets();
    int ok = load_config();
    interp.reload_pass = 0;
    interp.loading = 0;
    return ok;
}

// The end of a failed reload: the failing line may stand inside a block,
// and the session that typed `reload` must not go on inside it.
static int reload_failed(const char *message)
{
    log_message(4, "%s", message);
    cmd_error("%s\n", message);
    block_close();
    interp.config_error = 1;
    conffiles.reload_out = nullptr;
    return 0;
}

// Pass 1 is a dry run of the whole reload on a scratch copy of the
// configuration: servers and targets are torn down and rebuilt from the
// files, every line runs in full, and the network, interface, gateway and
// vrrp commands accept only the running values. Whatever would fail in
// pass 2 fails here, while the running configuration and the packet path
// have seen nothing. Only then does pass 2 tear down the running servers
// and targets and rebuild them.
int cmd_reload(int, char **, FILE *out)
{
    // A `reload` line inside a configuration file would load the files
    // again from within their own load, without end.
    if (interp.loading)
        return cmd_error("reload not allowed while a configuration file is loading\n");
    conffiles.reload_out = out;
    log_message(6, "CLI reload pass 1 started");
    cfg_scratch_begin();
    if (!reload_pass(1))
        return reload_failed("unable to reload, restart required");

    log_message(6, "CLI reload pass 2 started");
    // Pass 2 can still fail when the world changed in between (the files,
    // an address taken by the host).
    if (!reload_pass(2))
        return reload_failed("unable to reload in pass 2, restart required");
    reload_session_sweep();
    log_message(6, "CLI reload finished");
    conffiles.reload_out = nullptr;
    return 1;
}

// ---------------------------------------------------------------------------
// remark

int cmd_remark(int, char **argv, FILE *)
{
    if (!cw_text_fits(argv[1], sizeof conffiles.remark, CW_QUOTED))
        return cw_text_refused(argv[1]);
    // The dry run of a reload changes nothing.
    if (reload_dry_run())
        return 1;
    snprintf(conffiles.remark, sizeof conffiles.remark, "%s", argv[1]);
    conffiles.remark_set = conffiles.remark[0] != '\0';
    return 1;
}

int cmd_no_remark(int, char **, FILE *)
{
    if (reload_dry_run())
        return 1;
    conffiles.remark[0] = '\0';
    conffiles.remark_set = 0;
    return 1;
}

// ---------------------------------------------------------------------------
// The writers

void registry_counts(REGKIND kind, int *entries, int *enabled)
{
    const INDEXREGISTRY *r = kind == REGKIND_SERVER ? server_registry : target_registry;
    *entries = r != nullptr ? r->count : 0;
    *enabled = r != nullptr ? r->enabled : 0;
}

// `register`/`enable` lines: the numbers joined by ",", at most per_line of
// them on one line. A line's keyword is the singular one when the numbers
// written on earlier lines plus one make the count, the plural otherwise.
static void write_number_lines(FILE *out, const char *fmt, const char *verb, const char *singular,
                               const char *plural, const int *numbers, int n, int count, int per_line)
{
    for (int first = 0; first < n; first += per_line) {
        cw_word(out, fmt, verb);
        fputs(first + 1 == count ? singular : plural, out);
        for (int i = first; i < n && i < first + per_line; i++)
            fprintf(out, i > first ? ",%d" : "%d", numbers[i]);
        fputc('\n', out);
    }
}

// The `register` and `enable` lines of servers or targets. A registered
// server in GSLB `enable` mode occupies no registry key, so the lines are
// written whenever an object is registered, not only when the registry has
// entries: otherwise such a server would come back unregistered.
static void write_registry_lines(FILE *out, const char *fmt, REGKIND kind)
{
    static int registered[MAXTARGET];
    static int enabled[MAXTARGET];
    int nreg = 0, nen = 0;
    int max = kind == REGKIND_SERVER ? MAXSERVER : MAXTARGET;
    for (int n = 1; n <= max; n++) {
        bool reg = kind == REGKIND_SERVER ? cfg.servers[n].registered : cfg.targets[n].registered;
        bool en = kind == REGKIND_SERVER ? cfg.servers[n].enabled : cfg.targets[n].enabled;
        if (reg)
            registered[nreg++] = n;
        if (en)
            enabled[nen++] = n;
    }
    int entries, enabled_count;
    registry_counts(kind, &entries, &enabled_count);
    const char *one = kind == REGKIND_SERVER ? "server " : "target ";
    const char *many = kind == REGKIND_SERVER ? "servers " : "targets ";
    write_number_lines(out, fmt, "register", one, many, registered, nreg, entries, NUMBERS_PER_LINE);
    if (enabled_count > 0)
        write_number_lines(out, fmt, "enable", one, many, enabled, nen, enabled_count, NUMBERS_PER_LINE);
}

// The `register` and `enable` lines of interfaces or networks: one line
// each, written when its count is above 0.
static void write_table_lines(FILE *out, const char *fmt, const char *one, const char *many, int max,
                              bool interfaces)
{
    int registered[MAXINTERFACE], enabled[MAXINTERFACE];
    int nreg = 0, nen = 0;
    for (int n = 1; n <= max; n++) {
        bool reg = interfaces ? cfg.interfaces[n].registered : cfg.networks[n].registered;
        bool en = interfaces ? cfg.interfaces[n].enabled : cfg.networks[n].enabled;
        if (reg)
            registered[nreg++] = n;
        if (en)
            enabled[nen++] = n;
    }
    int reg_count = interfaces ? cfg.registered_interfaces : cfg.registered_networks;
    int en_count = interfaces ? cfg.enabled_interfaces : cfg.enabled_networks;
    if (reg_count > 0)
        write_number_lines(out, fmt, "register", one, many, registered, nreg, reg_count, MAXINTERFACE);
    if (en_count > 0)
        write_number_lines(out, fmt, "enable", one, many, enabled, nen, en_count, MAXINTERFACE);
}

static void write_header(FILE *out, const char *fmt, const char *what)
{
    time_t now = time(nullptr);
    char when[64];
    if (ctime_r(&now, when) == nullptr)
        snprintf(when, sizeof when, "?\n");
    cw_word(out, fmt, "//");
    fprintf(out, "%s %s", what, when);
    cw_word(out, fmt, "//");
    fprintf(out, "Korvane %d.%03d (created %s)\n", dmn.release_major, dmn.release_minor, dmn.created);
    if (interp.nodename_set) {
        cw_word(out, fmt, "hostname");
        cw_string(out, interp.nodename);
        fputc('\n', out);
    }
}

void write_configuration(FILE *out)
{
    const char *fmt = conffiles.lineformat;
    write_header(out, fmt, "configuration taken");
    if (conffiles.remark_set) {
        cw_word(out, fmt, "remark");
        fprintf(out, "\"%s\"\n", conffiles.remark);
    }
    write_module_chain(out, fmt);
    write_parameters(out, fmt);
    for (int n = 1; n <= MAXINTERFACE; n++)
        if (cfg.interfaces[n].registered)
            write_interface_block(out, fmt, n);
    write_table_lines(out, fmt, "interface ", "interfaces ", MAXINTERFACE, true);
    if (cfg.vrrp.vrid != 0 || cfg.vrrp.priority != 0 || cfg.vrrp.network != 0)
        write_vrrp_block(out, fmt);
    write_filter_lists(out, fmt);
    for (int n = 1; n <= MAXNETWORK; n++)
        if (cfg.networks[n].registered)
            write_network_block(out, fmt, n);
    write_table_lines(out, fmt, "network ", "networks ", MAXNETWORK, false);
    write_ipdb(out, fmt);
    if (cfg.gateway.configured)
        write_gateway_block(out, fmt);
    write_snatrange(out, fmt);
    write_static_arps(out, fmt);
    write_tnat(out, fmt);
    for (int n = 1; n <= MAXSERVER; n++)
        if (cfg.servers[n].registered)
            write_server_block(out, fmt, n);
    write_registry_lines(out, fmt, REGKIND_SERVER);
    for (int n = 1; n <= MAXTARGET; n++)
        if (cfg.targets[n].registered)
            write_target_block(out, fmt, n);
    write_registry_lines(out, fmt, REGKIND_TARGET);
    cw_word(out, fmt, "//");
    fprintf(out, "end of configuration\n");
}

void write_private(FILE *out)
{
    const char *fmt = conffiles.lineformat;
    write_header(out, fmt, "private configuration data");
    if (cfg.vrrp.priority != 0) {
        cw_word(out, fmt, "vrrp");
        fprintf(out, "priority %d\n", cfg.vrrp.priority);
    }
    char text[64];
    for (int n = 1; n <= MAXNETWORK; n++) {
        const NETWORK &net = cfg.networks[n];
        if (!net.registered)
            continue;
        if (!ipv4_is_zero(net.real)) {
            cw_word(out, fmt, "network");
            fprintf(out, "%d real %s\n", n, format_ipv4(text, sizeof text, net.real));
        }
        if (!ipv6_is_zero(net.real6)) {
            cw_word(out, fmt, "network");
            fprintf(out, "%d real6 %s\n", n, format_ipv6(text, sizeof text, net.real6));
        }
    }
    cw_word(out, fmt, "//");
    fprintf(out, "end of private configuration data\n");
}

// ---------------------------------------------------------------------------
// save

static void write_configuration_file(FILE *out) { write_configuration(out); }
static void write_private_file(FILE *out) { write_private(out); }

int save_file(const char *pattern, void (*writer)(FILE *))
{
    char path[PATH_MAX];
    kvn_path(path, sizeof path, pattern);
    // Through a symbolic link the link stays and the file it names is replaced.
    char resolved[PATH_MAX];
    if (realpath(path, resolved) != nullptr)
        snprintf(path, sizeof path, "%s", resolved);
    char tmp[PATH_MAX + 8];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);

    struct stat old;
    bool had_old = stat(path, &old) == 0;
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return 0;
    // The new file keeps the old one's permissions (a private file may be
    // readable by its owner only).
    if (had_old && fchmod(fd, old.st_mode & 07777) != 0) {
        // Not fatal: the content matters more than the mode.
    }
    FILE *f = fdopen(fd, "w");
    if (f == nullptr) {
        int err = errno;
        close(fd);
        unlink(tmp);
        errno = err;
        return 0;
    }
    errno = 0;
    writer(f);
    int err = 0;
    if (fflush(f) != 0 || ferror(f))
        err = errno != 0 ? errno : EIO;
    if (err == 0 && fsync(fd) != 0)
        err = errno;
    if (fclose(f) != 0 && err == 0)
        err = errno;
    if (err == 0 && save_rename_hook(tmp, path) != 0)
        err = errno != 0 ? errno : EIO;
    if (err != 0) {
        unlink(tmp);
        errno = err;
        return 0;
    }
    // The rename itself reaches the disk with the directory.
    char dir[PATH_MAX];
    snprintf(dir, sizeof dir, "%s", path);
    int dfd = open(dirname(dir), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return 1;
}

static int save_conf(FILE *out)
{
    conffiles.lineformat = LINEFMT_FILE;
    if (!save_file(CONF_MAIN, write_configuration_file))
        return cmd_error("problem saving configuration, please check (errno=%d)\n", errno);
    char shown[256];
    kvn_shown_path(shown, sizeof shown, CONF_MAIN);
    fprintf(out, "  saved %s\n", shown);
    return 1;
}

static int save_private(FILE *out)
{
    conffiles.lineformat = LINEFMT_FILE;
    if (!save_file(CONF_PRIVATE, write_private_file)) {
        cmd_error("problem saving private configuration, please check (errno=%d)\n", errno);
        return 1;
    }
    char shown[256];
    kvn_shown_path(shown, sizeof shown, CONF_PRIVATE);
    fprintf(out, "  saved %s\n", shown);
    return 1;
}

int cmd_save(int argc, char **argv, FILE *out)
{
    if (argc == 1)
        return save_conf(out);
    if (keyword_match(argv[1], "conf"))
        return save_conf(out);
    if (keyword_match(argv[1], "private"))
        return save_private(out);
    if (keyword_match(argv[1], "all")) {
        int result = save_conf(out);
        save_private(out);
        return result;
    }
    cmd_error("unknown save instruction\n");
    return 1;
}

// ---------------------------------------------------------------------------
// show conf / run / private

int show_conf(int, char **, FILE *out)
{
    conffiles.lineformat = LINEFMT_SCREEN;
    write_configuration(out);
    return 1;
}

int show_private(int, char **, FILE *out)
{
    conffiles.lineformat = LINEFMT_SCREEN;
    write_private(out);
    return 1;
}
