// The command interpreter: tokenising, the command table CMDHASH with its
// first-match abbreviation lookup, block context, `no` and `!`, the error
// buffer and report, the prompt and the command lock.
//
// Every command line, from a configuration file, a control pipe or an
// internal caller, goes through process_command_line under the one command
// lock, so handlers run one at a time in the whole daemon.
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
    char context_command[CONTEXT_SIZE];  // open block's command word, "" if none
    char context_object[CONTEXT_SIZE];   // open block's object word
    char nodename[NODENAME_SIZE];        // prompt and configuration host name
    int nodename_set;                    // 1 once `hostname` set a name
    int loading;                         // 1 while a configuration file loads
    int config_error;                    // a loaded file had an error
    int config_line;                     // line number of the file being loaded
    int reload_pass;                     // 0 outside a reload, else 1 or 2
};

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
// First entry of the word's bucket whose name equals the word, or begins
// with it, for the given word count; null when none.
CMDENTRY *cmdh_lookup(CMDHASH *table, const char *word, int argc);
int cmdh_bucket(const char *word);

// True when word is a prefix of keyword (the empty word matches any keyword).
bool keyword_match(const char *word, const char *keyword);

// Tokenizer with a saved position: the first call takes the line, later
// calls take null. Writes terminators into the line; null at the end.
char *next_word(char *line);

int process_command_line(const char *line, FILE *out);
void process_command_buffer(const char *buffer, int len, FILE *out);

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
