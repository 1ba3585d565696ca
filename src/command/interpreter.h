// The command interpreter: tokenising, the command table CMDHASH with its
// lookup (exact name first, then abbreviation by registration order), block
// context, `no` and `!`, the error buffer and report, the prompt, command
// sessions and the command lock.
//
// Every command line, from a configuration file, a control pipe or an
// internal caller, goes through process_command_line under the one command
// lock, so handlers run one at a time in the whole daemon. Lines that come
// from a control client run in that client's CMDSESSION, which assembles
// them from the pieces the pipe delivers and keeps the client's own block
// context.
#pragma once

#include <cstdio>

// A command handler: word count (command word included), words, the
// session's output stream; returns 1 for success, 0 for failure.
using CMDHANDLER = int (*)(int argc, char **argv, FILE *out);

constexpr int CMDHASH_BUCKETS = 1024;
constexpr int ERRBUF_SIZE = 1024;
constexpr int CONTEXT_SIZE = 256;
constexpr int MAXWORDS = 9;          // a line with a tenth word is ignored
constexpr int NODENAME_SIZE = 64;    // 63 characters and the terminator
constexpr int CMDLINE_MAX = 32766;   // longest line a session accepts, newline excluded

struct CMDENTRY {
    char *name;          // the command word (owned copy)
    int argc;            // word count this entry is meant for
    CMDHANDLER handler;  // runs the command, may be null
    CMDHANDLER revert;   // runs the `no` form, may be null
    CMDENTRY *next;      // next entry of the same bucket
};

struct CMDHASH {
    CMDENTRY *bucket[CMDHASH_BUCKETS];
};

// Interpreter state shared by all sessions; guarded by the command lock.
struct INTERP {
    FILE *out;                           // output stream of the line being run
    // The block context of the line being run: a session's own context is
    // put here for each of its lines (process_session_line); lines of no
    // session (start-up, internal callers) have a context of their own.
    char context_command[CONTEXT_SIZE];  // open block's command word, "" if none
    char context_object[CONTEXT_SIZE];   // open block's object word
    char nodename[NODENAME_SIZE];        // prompt and configuration host name
    int nodename_set;                    // 1 once `hostname` set a name
    int loading;                         // 1 while a configuration file loads
    int config_error;                    // a loaded file had an error
    int config_line;                     // line number of the file being loaded
    int reload_pass;                     // 0 outside a reload, else 1 or 2
};

// One command session (one client connection): the line being assembled
// from the pieces a pipe delivers, and the block the session has open. A
// session's block never reaches the lines of another session, and a new
// session starts with none (session_reset).
struct CMDSESSION {
    char context_command[CONTEXT_SIZE];  // the session's open block, as in INTERP
    char context_object[CONTEXT_SIZE];
    char line[CMDLINE_MAX + 1];          // bytes of the line not yet ended
    int used;                            // bytes in line
    int refused;                         // the line is refused: a SESSION_REFUSED_* reason, 0 none
    int after_cr;                        // the last byte ended a line with a carriage return
    int failed;                          // lines of this session whose command failed
};
constexpr int SESSION_REFUSED_LONG = 1;  // longer than CMDLINE_MAX
constexpr int SESSION_REFUSED_ZERO = 2;  // holds a zero byte

extern CMDHASH *cmdhash;
extern INTERP interp;

// True during the first pass of a reload, the dry run: every line is run
// in full, but against a scratch copy of the configuration (cfg_edit()),
// and nothing it would change reaches what the packet path, the log, the
// wire or other processes see. A handler whose effect has no scratch copy
// checks its words and stops short of applying them.
inline bool reload_dry_run() { return interp.reload_pass == 1; }
extern char errbuf[ERRBUF_SIZE];

void interpreter_init();       // command lock and an empty CMDHASH
CMDHASH *cmdh_new();
void cmdh_insert(CMDHASH *table, const char *name, int argc, CMDHANDLER handler, CMDHANDLER revert);
// The entry for the word with the given word count: the one whose name
// equals the word; when none does, the first entry of the word's bucket
// (most recently registered first) whose name begins with the word; null
// when none.
CMDENTRY *cmdh_lookup(CMDHASH *table, const char *word, int argc);
int cmdh_bucket(const char *word);

// True when word is a prefix of keyword (the empty word matches any keyword).
bool keyword_match(const char *word, const char *keyword);

// Tokenizer with a saved position: the first call takes the line, later
// calls take null. Writes terminators into the line; null at the end.
char *next_word(char *line);

int process_command_line(const char *line, FILE *out);
// Runs one line in the session's block context; the block the line leaves
// open (or closes) is the session's. Counts a failed command in the session.
int process_session_line(CMDSESSION *session, const char *line, FILE *out);
// Feeds a piece of a session's input: every line ended by a newline, a
// carriage return or both runs in order, an empty line included; the bytes
// after the last line end wait for the next piece. A line longer than
// CMDLINE_MAX or holding a zero byte is refused as a whole once its end
// arrives, with an error report; nothing of it runs.
void process_command_buffer(CMDSESSION *session, const char *buffer, int len, FILE *out);
// Forgets the session's partial line, block and failure count.
void session_reset(CMDSESSION *session);

// Prints "  ERROR: <errbuf>" on the stream and, while a configuration file
// loads, logs it with file and line.
void report_error(FILE *out);
// Formats a message into the error buffer, reports it on the current
// output stream and returns 0, the handler's failure result.
int cmd_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

void print_prompt(FILE *out);
void block_open(const char *command, const char *object);
void block_close();

// The command lock, re-entrant for the thread holding it.
void command_lock();
void command_unlock();
struct CommandLockGuard {
    CommandLockGuard() { command_lock(); }
    ~CommandLockGuard() { command_unlock(); }
    CommandLockGuard(const CommandLockGuard &) = delete;
    CommandLockGuard &operator=(const CommandLockGuard &) = delete;
};
