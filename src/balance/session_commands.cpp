// The session table's commands and displays: rms, rmsession, rmt,
// sessiondump, sessionload, stfill, and the show items sessions, stinfo,
// maxbucket, nous and sizes.
//
// Listings copy sessions under the table's reader lock in bounded batches
// (st_walk_batch) and write them only after the lock is released, so a
// slow control client or a large dump never holds up the packet threads.
//
// During the dry run of a reload the commands that would change the table
// or write a file change nothing; sessionload still opens its file, so a
// file that cannot be read fails the dry run as it would fail pass 2.
//
// Files named to sessiondump and sessionload are opened under KVN_ROOT, a
// relative name relative to the root directory where the daemon runs.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "balance/session_table.h"
#include "command/command_table.h"
#include "command/interpreter.h"
#include "command/process.h"
#include "config/parameters.h"
#include "config/show.h"

namespace {

constexpr int RMSESSION_TEXT = 254;   // longest text rmsession searches for
constexpr int RMT_TARGETS = 100;      // most target numbers rmt takes
constexpr int LOAD_LINE = 1024;       // a session file line: 1023 characters and the NUL
constexpr int LOAD_IDMAX = 64;        // longest id a session file may hold

// A session as a listing prints it.
struct STLINE {
    int32_t server;
    int32_t target;
    int32_t age;         // seconds since the last use
    uint32_t timeout;    // the timeout that takes effect
    uint32_t ftimeout;
    uint32_t addr;       // attached address, host order; 0 = none
    bool acked;          // on the ACKED list
    char id[ST_IDLEN];
};

STLINE line_of(const SESSION *s, uint32_t now)
{
    STLINE l;
    l.server = s->server;
    l.target = s->target;
    l.age = (int32_t)(now - age_load(s->last_used));
    l.timeout = st_timeout(s);
    l.ftimeout = s->ftimeout;
    l.addr = s->addr;
    l.acked = s->list == ST_LIST_ACKED;
    memcpy(l.id, s->id, sizeof l.id);
    return l;
}

// The line shared by `show sessions` and the dump file.
void print_line(FILE *f, const STLINE &l)
{
    fprintf(f, "  %3d %3d %4d %7d %8d %s %s", l.server, l.target, l.age, (int)l.timeout, (int)l.ftimeout,
            l.acked ? "SYNC" : "    ", l.id);
    if (l.addr != 0)
        fprintf(f, " %d.%d.%d.%d", (int)(l.addr >> 24), (int)(l.addr >> 16 & 255), (int)(l.addr >> 8 & 255),
                (int)(l.addr & 255));
    fputc('\n', f);
}

// Copies of the sessions of one walk, up to a limit.
struct COLLECT {
    std::vector<STLINE> lines;
    size_t most;          // the walk ends once this many are collected
    const char *match;    // only ids containing this text; nullptr = all
    uint32_t now;
};

int collect(SESSION *s, void *arg)
{
    COLLECT *c = (COLLECT *)arg;
    if (c->match != nullptr && strstr(s->id, c->match) == nullptr)
        return 0;
    c->lines.push_back(line_of(s, c->now));
    return c->lines.size() >= c->most ? -1 : 0;
}

// The path a session file name is opened at.
void session_file_path(char *out, size_t size, const char *name)
{
    if (name[0] == '/') {
        kvn_root_path(out, size, name);
    } else {
        char rooted[PATH_MAX];
        snprintf(rooted, sizeof rooted, "/%s", name);
        kvn_root_path(out, size, rooted);
    }
}

// Marks every session fn's test picks.
struct MARK {
    const char *text;               // rmsession: the text ids are searched for
    int targets[RMT_TARGETS];       // rmt: the target numbers
    int ntargets;
};

int mark_matching(SESSION *s, void *arg)
{
    if (strstr(s->id, ((const MARK *)arg)->text) != nullptr)
        st_mark(s);
    return 0;
}

int mark_of_targets(SESSION *s, void *arg)
{
    const MARK *m = (const MARK *)arg;
    for (int i = 0; i < m->ntargets; i++)
        if (s->target == m->targets[i]) {
            st_mark(s);
            break;
        }
    return 0;
}

// Writes every live session to f in batches; 0, or the errno of the first
// failed write.
int dump_sessions(FILE *f)
{
    COLLECT c = {.lines = {}, .most = (size_t)ST_BATCH + 1, .match = nullptr, .now = st_now()};
    c.lines.reserve(ST_BATCH);
    STWALK w = {};
    errno = 0;
    while (!w.done) {
        c.lines.clear();
        st_walk_batch(session_table, &w, collect, &c);
        for (const STLINE &l : c.lines)
            print_line(f, l);
        if (ferror(f)) {
            st_walk_end(session_table, &w);
            return errno != 0 ? errno : EIO;
        }
    }
    return 0;
}

// Finishes a dump written to fd (temporary name tmp) and puts it in
// place of path; 0 or an errno. The temporary file is gone on failure.
int finish_dump(FILE *f, int fd, const char *tmp, const char *path, int err)
{
    errno = 0;
    if (err == 0 && fflush(f) != 0)
        err = errno != 0 ? errno : EIO;
    if (err == 0 && fsync(fd) != 0)
        err = errno;
    if (fclose(f) != 0 && err == 0)
        err = errno != 0 ? errno : EIO;
    // rename() replaces a symbolic link at `path` itself, never the file it
    // points to.
    if (err == 0 && rename(tmp, path) != 0)
        err = errno;
    if (err != 0) {
        unlink(tmp);
        return err;
    }
    char dir[PATH_MAX];
    snprintf(dir, sizeof dir, "%s", path);
    int dfd = open(dirname(dir), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return 0;
}

// One integer token of a session file line.
bool read_int(char *token, int *value)
{
    if (token == nullptr)
        return false;
    char *end;
    errno = 0;
    long v = strtol(token, &end, 10);
    if (end == token || *end != '\0' || errno != 0 || v < INT_MIN || v > INT_MAX)
        return false;
    *value = (int)v;
    return true;
}

// Outcome of one session file line.
enum class LOADLINE { OK, FORMAT, ID };

// Parses "server target age timeout ftimeout [SYNC] id ...": v gets the
// five numbers, *id the id.
LOADLINE parse_load_line(char *line, int v[5], char **id)
{
    const char *seps = "\t \n\r";
    char *save = nullptr;
    char *token = strtok_r(line, seps, &save);
    for (int i = 0; i < 5; i++) {
        if (!read_int(token, &v[i]))
            return LOADLINE::FORMAT;
        token = strtok_r(nullptr, seps, &save);
    }
    if (token != nullptr && strcmp(token, "SYNC") == 0)
        token = strtok_r(nullptr, seps, &save);
    if (token == nullptr)
        return LOADLINE::FORMAT;
    if (strlen(token) > (size_t)LOAD_IDMAX)
        return LOADLINE::ID;
    *id = token;
    return LOADLINE::OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// Removal marks

int cmd_rms(int, char **argv, FILE *)
{
    if (!reload_dry_run())
        st_mark_id(session_table, argv[1]);
    return 1;
}

int cmd_rmsession(int, char **argv, FILE *)
{
    if (reload_dry_run())
        return 1;
    char text[RMSESSION_TEXT + 1];
    snprintf(text, sizeof text, "%s", argv[1]);
    MARK m = {};
    m.text = text;
    st_foreach_batched(session_table, mark_matching, &m);
    return 1;
}

int cmd_rmt(int, char **argv, FILE *)
{
    if (reload_dry_run())
        return 1;
    MARK m = {};
    for (const char *p = argv[1]; *p != '\0' && m.ntargets < RMT_TARGETS;) {
        if (*p == ',') {
            p++;
            continue;
        }
        int n = atoi(p);
        if (n > 0)
            m.targets[m.ntargets++] = n;
        while (*p != '\0' && *p != ',')
            p++;
    }
    if (m.ntargets > 0)
        st_foreach_batched(session_table, mark_of_targets, &m);
    return 1;
}

// ---------------------------------------------------------------------------
// Dump, load, fill

int cmd_sessiondump(int, char **argv, FILE *out)
{
    if (reload_dry_run())
        return 1;
    char path[PATH_MAX];
    session_file_path(path, sizeof path, argv[1]);
    // A new file beside the old one: O_EXCL creates it afresh, so no link
    // planted under the temporary name is followed.
    char tmp[PATH_MAX + 8];
    snprintf(tmp, sizeof tmp, "%s.XXXXXX", path);
    int fd = mkostemp(tmp, O_CLOEXEC);
    FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (f == nullptr) {
        if (fd >= 0) {
            close(fd);
            unlink(tmp);
        }
        return cmd_error("cannot open %s for writing\n", argv[1]);
    }
    STCOUNTS c;
    st_counts(session_table, &c);
    fprintf(out, "dumping %d sessions to %s ...", c.total, argv[1]);
    fflush(out);
    int err = finish_dump(f, fd, tmp, path, dump_sessions(f));
    if (err != 0) {
        fputc('\n', out);
        return cmd_error("cannot write %s: %s\n", argv[1], strerror(err));
    }
    fprintf(out, "... done.\n");
    return 1;
}

namespace {

// A session file opened for reading; nullptr for anything but a regular
// file, so that a pipe or a device never holds up the command.
FILE *open_session_file(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    int flags = fcntl(fd, F_GETFL);
    FILE *f = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
        f = fdopen(fd, "r");
    if (f == nullptr)
        close(fd);
    return f;
}

}  // namespace

int cmd_sessionload(int, char **argv, FILE *out)
{
    char path[PATH_MAX];
    session_file_path(path, sizeof path, argv[1]);
    FILE *f = open_session_file(path);
    if (f == nullptr)
        return cmd_error("cannot open %s for reading\n", argv[1]);
    if (reload_dry_run()) {
        fclose(f);
        return 1;
    }
    char line[LOAD_LINE];
    int lines = 0;
    while (fgets(line, sizeof line, f) != nullptr) {
        lines++;
        int v[5];
        char *id = nullptr;
        LOADLINE r = parse_load_line(line, v, &id);
        if (r != LOADLINE::OK) {
            fprintf(out, r == LOADLINE::ID ? "format error (sessionid) in line %d\n" : "format error in line %d\n",
                    lines);
            break;
        }
        if (dmn.debug) {
            printf("about to insert: %d %d %d %d %d %s \n", v[0], v[1], v[2], v[3], v[4], id);
            fflush(stdout);
        }
        // Age and ftimeout are not taken over: a loaded session starts now.
        st_update(session_table, id, v[0], v[1], (uint32_t)v[3]);
    }
    fclose(f);
    fprintf(out, "ok, %d entries loaded.\n", lines);
    return 1;
}

int cmd_stfill(int, char **argv, FILE *)
{
    if (reload_dry_run())
        return 1;
    int n = atoi(argv[1]);
    char id[ST_IDLEN];
    for (int i = 0; i < n; i++) {
        snprintf(id, sizeof id, "TEST-DATA-%010d", i);
        st_update(session_table, id, 1, 1, 0);
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Displays

// `show sessions` and `show sessions <text>`. At most `sessiondlimit` + 1
// lines: the line that finds the budget spent is the last one, followed by
// the remark.
int show_sessions(int argc, char **argv, FILE *out)
{
    const char *match = argc >= 3 ? argv[2] : nullptr;
    STCOUNTS counts;
    st_counts(session_table, &counts);
    if (match == nullptr) {
        fprintf(out, counts.total == 1 ? "  %d session\n" : "  %d sessions\n", counts.total);
        if (counts.total == 0)
            return 1;
        fprintf(out, "  srv tgt  age timeout ftimeout SYNC session-id\n");
        fprintf(out, "  --- --- ---- ------- -------- ---- ------------------\n");
    } else {
        fprintf(out, "  srv tgt  age timeout SYNC session-id\n");
        fprintf(out, "  --- --- ---- ------- ---- ------------------\n");
    }
    size_t budget = (size_t)param_value(P_SESSIONDLIMIT);
    COLLECT c = {.lines = {}, .most = budget + 1, .match = match, .now = st_now()};
    c.lines.reserve(c.most);
    STWALK w = {};
    while (!w.done)
        st_walk_batch(session_table, &w, collect, &c);
    for (const STLINE &l : c.lines)
        print_line(out, l);
    if (c.lines.size() > budget)
        fprintf(out, "  ... remaining sessions not shown\n");
    return 1;
}

int show_stinfo(int, char **, FILE *out)
{
    st_info(session_table, out);
    return 1;
}

int show_maxbucket(int, char **, FILE *out)
{
    st_maxbucket(session_table, out);
    return 1;
}

int show_nous(int, char **, FILE *out)
{
    STCOUNTS c;
    st_counts(session_table, &c);
    fprintf(out, "%d\n", c.fresh + c.waitack);
    return 1;
}

// The table record and its bucket heads are one allocation, counted
// together as the table's size.
int show_sizes(int, char **, FILE *out)
{
    fprintf(out, "               STSIZE: %d\n", STSIZE);
    fprintf(out, " sizeof(SESSIONTABLE): %d\n", (int)(sizeof(SESSIONTABLE) + (size_t)STSIZE * sizeof(void *)));
    fprintf(out, "      sizeof(SESSION): %d\n", (int)sizeof(SESSION));
    return 1;
}
