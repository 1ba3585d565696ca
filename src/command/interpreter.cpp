// The command interpreter.
#include "command/interpreter.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "command/log.h"
#include "command/process.h"

CMDHASH *cmdhash;
INTERP interp;
char errbuf[ERRBUF_SIZE];

static pthread_mutex_t cmd_lock;
static char *token_pos;  // next_word's saved position

void command_lock() { pthread_mutex_lock(&cmd_lock); }
void command_unlock() { pthread_mutex_unlock(&cmd_lock); }

void interpreter_init()
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cmd_lock, &attr);
    pthread_mutexattr_destroy(&attr);
    cmdhash = cmdh_new();
}

CMDHASH *cmdh_new()
{
    CMDHASH *table = static_cast<CMDHASH *>(calloc(1, sizeof(CMDHASH)));
    if (table == nullptr) {
        log_message(0, "cannot malloc() CMDHASH");
        daemon_exit(EXIT_OSERR);
    }
    return table;
}

int cmdh_bucket(const char *word)
{
    // The first byte as a signed 8-bit value: ASCII letters use their own
    // code, bytes from 128 land in buckets 896 to 1023.
    return (int)(signed char)word[0] & 0x3FF;
}

void cmdh_insert(CMDHASH *table, const char *name, int argc, CMDHANDLER handler, CMDHANDLER revert)
{
    if (dmn.debug)
        fprintf(stderr, "inserting %s argc %d\n", name, argc);
    int b = cmdh_bucket(name);
    for (CMDENTRY *e = table->bucket[b]; e != nullptr; e = e->next) {
        if (e->argc == argc && strcmp(e->name, name) == 0) {
            char *copy = strdup(name);
            if (copy == nullptr) {
                perror("cmdh_insert(): cannot malloc");
                daemon_exit(EXIT_OSERR);
            }
            free(e->name);
            e->name = copy;
            e->handler = handler;
            return;
        }
    }
    CMDENTRY *e = static_cast<CMDENTRY *>(calloc(1, sizeof(CMDENTRY)));
    char *copy = strdup(name);
    if (e == nullptr || copy == nullptr) {
        perror("cmdh_insert(): cannot malloc");
        daemon_exit(EXIT_OSERR);
    }
    e->name = copy;
    e->argc = argc;
    e->handler = handler;
    e->revert = revert;
    e->next = table->bucket[b];
    table->bucket[b] = e;
}

CMDENTRY *cmdh_lookup(CMDHASH *table, const char *word, int argc)
{
    if (dmn.debug)
        fprintf(stderr, "looking up %s argc %d\n", word, argc);
    CMDENTRY *head = table->bucket[cmdh_bucket(word)];
    // A word typed in full reaches its own command, although a longer name
    // registered later (and so first in the bucket) also begins with it:
    // `rms` is not `rmsession`, `ipdb` not `ipdb6`.
    for (CMDENTRY *e = head; e != nullptr; e = e->next) {
        if (e->argc == argc && strcmp(e->name, word) == 0) {
            if (dmn.debug)
                fprintf(stderr, "found exact %s\n", word);
            return e;
        }
    }
    // An abbreviation means the most recently registered entry it fits.
    size_t len = strlen(word);
    for (CMDENTRY *e = head; e != nullptr; e = e->next) {
        if (e->argc == argc && strncmp(e->name, word, len) == 0) {
            if (dmn.debug)
                fprintf(stderr, "found %s\n", e->name);
            return e;
        }
    }
    if (dmn.debug)
        fprintf(stderr, "NOT found %s counter = %d\n", word, 0);
    return nullptr;
}

bool keyword_match(const char *word, const char *keyword)
{
    size_t len = strlen(word);
    return len <= strlen(keyword) && strncmp(word, keyword, len) == 0;
}

static bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

char *next_word(char *line)
{
    if (line != nullptr)
        token_pos = line;
    char *p = token_pos;
    if (p == nullptr)
        return nullptr;
    while (*p != '\0' && is_blank(*p))
        p++;
    if (*p == '\0' || (p[0] == '/' && p[1] == '/')) {
        token_pos = nullptr;
        return nullptr;
    }
    if (*p == '"') {
        char *close = strchr(p + 1, '"');
        if (close != nullptr && close[1] == ',') {
            // A list of quoted items stays one word, quotes included: it
            // runs from the closing quote on to the next white space, so a
            // quoted text with blanks (`"cmd -x",10,5`) arrives whole.
            char *end = close + 1;
            while (*end != '\0' && !is_blank(*end))
                end++;
            token_pos = *end != '\0' ? end + 1 : end;
            *end = '\0';
            return p;
        }
        if (close == nullptr) {
            token_pos = nullptr;
            return p + 1;
        }
        *close = '\0';
        token_pos = close + 1;
        return p + 1;
    }
    char *end = p;
    while (*end != '\0' && !is_blank(*end))
        end++;
    token_pos = *end != '\0' ? end + 1 : end;
    *end = '\0';
    return p;
}

void print_prompt(FILE *out)
{
    const char *name = interp.nodename_set ? interp.nodename : "kvn";
    bool in_block = interp.context_command[0] != '\0' || interp.context_object[0] != '\0';
    fprintf(out, "%s%s", name, in_block ? "+ " : "# ");
    fflush(out);
}

void block_open(const char *command, const char *object)
{
    snprintf(interp.context_command, sizeof interp.context_command, "%s", command);
    snprintf(interp.context_object, sizeof interp.context_object, "%s", object);
}

void block_close()
{
    interp.context_command[0] = '\0';
    interp.context_object[0] = '\0';
}

void report_error(FILE *out)
{
    if (errbuf[0] == '\0')
        return;
    char message[ERRBUF_SIZE];
    snprintf(message, sizeof message, "%s", errbuf);
    size_t len = strlen(message);
    if (len > 0 && message[len - 1] == '\n')
        message[len - 1] = '\0';
    fprintf(out, "  ERROR: %s\n", message);
    if (interp.loading) {
        char path[256];
        kvn_shown_path(path, sizeof path, "/etc/kvn%s.conf");
        log_message(3, "ERROR %s line %d: %s", path, interp.config_line, message);
    }
}

int cmd_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(errbuf, sizeof errbuf, fmt, ap);
    va_end(ap);
    report_error(interp.out != nullptr ? interp.out : stdout);
    return 0;
}

int process_command_line(const char *line, FILE *out)
{
    CommandLockGuard guard;
    FILE *saved_out = interp.out;  // a nested line (a handler running a command) restores it
    interp.out = out;

    size_t len = strlen(line);
    char *copy = static_cast<char *>(malloc(len + 1));
    if (copy == nullptr) {
        log_message(0, "cannot malloc() command line");
        daemon_exit(EXIT_OSERR);
    }
    memcpy(copy, line, len + 1);

    char *words[MAXWORDS + 2];
    int argc = 0;
    for (char *w = next_word(copy); w != nullptr; w = next_word(nullptr)) {
        if (argc == MAXWORDS) {
            argc = MAXWORDS + 1;  // a tenth word: the whole line is ignored
            break;
        }
        words[argc++] = w;
    }
    token_pos = nullptr;

    int result = 1;
    bool quiet = false;
    char **argv = words;
    if (argc == 0) {
        block_close();
        if (interp.config_error) {
            char path[256];
            kvn_shown_path(path, sizeof path, "/etc/kvn%s.conf");
            fprintf(out, "*WARNING*: Errors in %s, type \"show log\" for details\n", path);
        }
        print_prompt(out);
        goto done;
    }
    if (argc > MAXWORDS) {
        print_prompt(out);
        goto done;
    }
    if (strcmp(argv[0], "!") == 0) {
        quiet = true;
        argv++;
        argc--;
        if (argc == 0)
            goto done;
    }
    {
        bool revert = false;
        if (strcmp(argv[0], "no") == 0) {
            revert = true;
            argv++;
            argc--;
            if (argc == 0) {
                if (!quiet)
                    print_prompt(out);
                goto done;
            }
        }
        // Inside a block the context words stand in front of the line's
        // words: `protocol tcp` inside `server 1 {` runs `server 1 protocol tcp`.
        char *full[MAXWORDS + 2];
        int n = 0;
        int base = 2;
        for (int i = 0; i < argc; i++)
            full[base + i] = argv[i];
        n = argc;
        char **start = full + base;
        if (interp.context_object[0] != '\0' && n <= 8) {
            *--start = interp.context_object;
            n++;
        }
        if (interp.context_command[0] != '\0' && n <= 8) {
            *--start = interp.context_command;
            n++;
        }
        CMDENTRY *e = cmdh_lookup(cmdhash, start[0], n);
        if (e == nullptr) {
            result = cmd_error("invalid command (try help)");
        } else if (revert) {
            if (e->revert == nullptr)
                result = cmd_error("operation %s not revertable", start[0]);
            else
                result = e->revert(n, start, out);
        } else if (e->handler == nullptr) {
            result = cmd_error("invalid command (try help)");
        } else {
            result = e->handler(n, start, out);
        }
    }
    if (!quiet)
        print_prompt(out);
done:
    fflush(out);
    free(copy);
    interp.out = saved_out;
    return result;
}

// ---------------------------------------------------------------- sessions

// The block context of the lines around a session's line, kept aside while
// the session's own context stands in the interpreter.
struct OUTERBLOCK {
    char command[CONTEXT_SIZE];
    char object[CONTEXT_SIZE];
};

static void session_enter(CMDSESSION *s, OUTERBLOCK *outer)
{
    memcpy(outer->command, interp.context_command, CONTEXT_SIZE);
    memcpy(outer->object, interp.context_object, CONTEXT_SIZE);
    memcpy(interp.context_command, s->context_command, CONTEXT_SIZE);
    memcpy(interp.context_object, s->context_object, CONTEXT_SIZE);
}

static void session_leave(CMDSESSION *s, const OUTERBLOCK *outer)
{
    memcpy(s->context_command, interp.context_command, CONTEXT_SIZE);
    memcpy(s->context_object, interp.context_object, CONTEXT_SIZE);
    memcpy(interp.context_command, outer->command, CONTEXT_SIZE);
    memcpy(interp.context_object, outer->object, CONTEXT_SIZE);
}

int process_session_line(CMDSESSION *s, const char *line, FILE *out)
{
    CommandLockGuard guard;
    OUTERBLOCK outer;
    session_enter(s, &outer);
    int result = process_command_line(line, out);
    session_leave(s, &outer);
    if (result == 0)
        s->failed++;
    return result;
}

void session_reset(CMDSESSION *s)
{
    memset(s, 0, sizeof *s);
}

// A refused line fails like a command: its error report, then the prompt
// unless the line began with the quiet word "!".
static void refuse_line(CMDSESSION *s, FILE *out)
{
    CommandLockGuard guard;
    OUTERBLOCK outer;
    session_enter(s, &outer);
    FILE *saved_out = interp.out;
    interp.out = out;
    if (s->refused == SESSION_REFUSED_LONG)
        cmd_error("line longer than %d characters refused\n", CMDLINE_MAX);
    else
        cmd_error("line holding a zero byte refused\n");
    const char *p = s->line;
    while (*p != '\0' && is_blank(*p))
        p++;
    if (!(p[0] == '!' && (p[1] == '\0' || is_blank(p[1]))))
        print_prompt(out);
    fflush(out);
    interp.out = saved_out;
    session_leave(s, &outer);
    s->failed++;
}

static void end_line(CMDSESSION *s, FILE *out)
{
    s->line[s->used] = '\0';
    if (s->refused != 0) {
        refuse_line(s, out);
    } else {
        if (dmn.debug)
            printf("processing [%s]\n", s->line);
        process_session_line(s, s->line, out);
    }
    s->used = 0;
    s->refused = 0;
}

void process_command_buffer(CMDSESSION *s, const char *buffer, int len, FILE *out)
{
    if (dmn.debug)
        printf("command line len %d received: [%.*s]\n", len, len, buffer);
    for (int i = 0; i < len; i++) {
        char c = buffer[i];
        if (c == '\n' || c == '\r') {
            // CR LF is one line end; CR alone and LF alone are one each.
            bool second_half = c == '\n' && s->after_cr;
            s->after_cr = c == '\r';
            if (!second_half)
                end_line(s, out);
            continue;
        }
        s->after_cr = 0;
        if (c == '\0' && s->refused == 0)
            s->refused = SESSION_REFUSED_ZERO;
        if (s->used < CMDLINE_MAX)
            s->line[s->used++] = c;
        else if (s->refused == 0)
            s->refused = SESSION_REFUSED_LONG;
    }
}
