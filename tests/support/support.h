// Shared test fixtures: an in-memory output stream for commands, a process
// set up like a started daemon without its threads, and a private KVN_ROOT.
#pragma once

#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

// An output stream that collects everything written to it.
struct Capture {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f;
    Capture();
    ~Capture();
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;
    std::string str();
};

// Sets up the tables, the command table and the log once per process, and
// returns every table and parameter to its start value.
void kvn_test_reset();

// Runs one command line and returns everything it printed.
std::string run_line(const std::string &line, int *result = nullptr);

// The same without the prompt that follows the command's output.
std::string run_output(const std::string &line, int *result = nullptr);

// How often the text occurs in the in-memory log ("show log").
int log_count(const std::string &needle);

// A private directory tree used as KVN_ROOT (with etc/ and var/run/),
// removed again with everything in it.
struct TempRoot {
    std::string path;
    TempRoot();
    ~TempRoot();
    std::string file(const std::string &rel) const { return path + rel; }
};

// Replaces the process (a forked child) with the kvn binary under test and
// these arguments; exits 127 when exec fails.
[[noreturn]] void exec_kvn(const std::vector<std::string> &args);

// Waits up to ms milliseconds for the child pid to end and returns its exit
// code (128 + signal when killed); kills it and returns -1 at the deadline.
int wait_exit(pid_t pid, int ms);

// A child process that runs work(arg, result), sends the `size` bytes of
// result back, and then stays alive, keeping what it took (a record lock:
// one taken by the test process itself is invisible to its own running
// test), until end(), the object going, or the end of the test process.
// pid is -1 when the child did not report within ten seconds.
struct HoldingChild {
    pid_t pid = -1;
    int keep = -1;   // the child ends when this pipe end closes
    HoldingChild(void (*work)(const void *arg, void *result), const void *arg, void *result,
                 size_t size);
    ~HoldingChild();
    HoldingChild(const HoldingChild &) = delete;
    HoldingChild &operator=(const HoldingChild &) = delete;
    // Ends the child by its pid and reaps it.
    void end();
};

// Work for a HoldingChild: locks the file named by arg (a C string) as a
// daemon locks its lock file; the result is one char, 'y' when locked.
void hold_lock(const void *path, void *result);

struct LOCKEDPOOL;

// Runs warm(arg) and then, while this thread holds the table's writer lock
// taken behind the table's back (its generation stays), fn(arg), both in
// another thread. True when fn returned within five seconds, i.e. it took
// no lock of the table; false also when warm did not finish in ten.
bool runs_while_write_locked(LOCKEDPOOL *t, void (*warm)(void *arg), void (*fn)(void *arg), void *arg);

// Reads a whole file; empty when missing.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);

// The files of a fuzz seed corpus (a folder under fuzz/, e.g.
// "chain_corpus"), as full paths in name order.
std::vector<std::string> corpus_files(const std::string &corpus);
