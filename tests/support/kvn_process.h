// The kvn binary run as a script runs it: on plain pipes, its input fed
// while its output is read, so neither side can wait for the other.
#pragma once

struct TempRoot;

#include <string>
#include <sys/types.h>
#include <vector>

struct KvnRun {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;  // the test's ends of its standard streams
    std::string input;                // input not yet written
    bool close_input = true;          // close standard input once it is written
    std::string stdout_text, stderr_text;
    int code = -1;                    // exit code, 128 + signal, -1 when it did not end
};

// Starts kvn with the arguments; the input goes to its standard input,
// which is closed after it unless close_input is false.
KvnRun start_kvn(const std::vector<std::string> &args, const std::string &input, bool close_input = true);
// Feeds the rest of the input, collects output and error to their end and
// reaps the process; all within ms milliseconds (then it is killed).
void finish_kvn(KvnRun &r, int ms);
KvnRun run_kvn(const std::vector<std::string> &args, const std::string &input, int ms);

// Runs the daemon in the foreground (the arguments say `start`, and -f or
// -d): standard input on /dev/null, output and error appended to logpath.
// Returns its pid.
pid_t spawn_kvn_daemon(const std::vector<std::string> &args, const std::string &logpath);
// True once, within ms milliseconds, the instance's pid file under the root
// names pid and a control session on the instance gets a prompt.
bool kvn_daemon_ready(pid_t pid, int instance, const TempRoot &root, int ms);
