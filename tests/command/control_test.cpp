// Control pipes end to end inside one process: the test process is the
// daemon (command threads on channels opened under a private KVN_ROOT, a
// pid file naming the test process) and every client is a forked child
// running client_main, on plain pipes or on a pseudo-terminal.
#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "command/control.h"
#include "command/interpreter.h"
#include "config/threads.h"
#include "daemon/daemon.h"
#include "support/support.h"

// A forked child inherits the test's heap and thread list and ends with
// exit(); the leak checker of sanitizer builds, which asks this at exit,
// would only report the test process's state there.
static bool forked_child;
extern "C" int __lsan_is_turned_off()
{
    return forked_child;
}

namespace {

const std::string UP = "\x1b[A", LEFT = "\x1b[D";
constexpr int DEADLINE_MS = 10000;

// ------------------------------------------------ test-only blocking command

// The detached command threads outlive the tests and may still be inside
// a command while the process exits: what they touch is never destroyed.
std::mutex block_mu;
std::condition_variable &block_cv = *new std::condition_variable;
bool block_entered, block_release;
std::vector<std::string> &order = *new std::vector<std::string>;

// Runs until the test releases it, holding the command lock all the while.
int cmd_zzblock(int, char **, FILE *out)
{
    std::unique_lock<std::mutex> lk(block_mu);
    block_entered = true;
    block_cv.notify_all();
    block_cv.wait_for(lk, std::chrono::milliseconds(DEADLINE_MS), [] { return block_release; });
    order.push_back("block-done");
    fprintf(out, "blocked\n");
    return 1;
}

int cmd_zzmark(int, char **, FILE *out)
{
    std::lock_guard<std::mutex> lk(block_mu);
    order.push_back("mark");
    fprintf(out, "marked\n");
    return 1;
}

// An answer several times larger than a pipe holds.
constexpr int BIG_LINES = 6000;
int cmd_zzbig(int, char **, FILE *out)
{
    for (int i = 0; i < BIG_LINES; i++)
        fprintf(out, "line %05d of a big answer, more than any pipe holds at once\n", i);
    return 1;
}

void block_reset()
{
    std::lock_guard<std::mutex> lk(block_mu);
    block_entered = false;
    block_release = false;
    order.clear();
}

void block_wait_entered()
{
    std::unique_lock<std::mutex> lk(block_mu);
    ASSERT_TRUE(block_cv.wait_for(lk, std::chrono::milliseconds(DEADLINE_MS),
                                  [] { return block_entered; }));
}

void block_let_go()
{
    std::lock_guard<std::mutex> lk(block_mu);
    block_release = true;
    block_cv.notify_all();
}

// ------------------------------------------------ helpers

TempRoot *root;
// Channels the tests open stay reachable for the life of the process, as
// the daemon's do (a plain array: it must outlive the static destructors
// that run when a forked client exits).
CMDCHANNEL *channels[8];
int channel_count;
void keep(CMDCHANNEL *ch)
{
    if (channel_count < 8)
        channels[channel_count++] = ch;
}

// Writes lock and pid files naming pid. For this process the lock is also
// taken, as a daemon holds it: the clients are forked children, which see
// it. The descriptor stays open for the life of the process (closing any
// descriptor of the file would drop the lock), so nothing here touches the
// lock file again.
void write_instance_files(int instance, int pid)
{
    std::string suffix = instance == 0 ? "" : std::to_string(instance);
    std::string lock = root->file("/var/run/kvn" + suffix + ".lock");
    write_file(lock, std::to_string(pid) + "\n");
    write_file(root->file("/var/run/kvn" + suffix + ".pid"), std::to_string(pid) + "\n");
    if (pid == getpid()) {
        int fd = open(lock.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(lockf(fd, F_TLOCK, 0), 0);
    }
}

// A client process and the test's ends of its standard streams.
struct Client {
    pid_t pid = -1;
    int in = -1;       // its standard input (plain pipes)
    int out = -1;      // its standard output (plain pipes)
    int err = -1;      // its standard error (plain pipes)
    int master = -1;   // the pseudo-terminal master (terminal clients)
    std::string seen;  // everything read from the terminal so far
};

[[noreturn]] void run_client(int instance, int exclusive, const char *preset)
{
    forked_child = true;
    close_range(3, ~0U, 0);  // the daemon's pipe ends must not live on in a client
    dmn.instance = instance;
    dmn.exclusive = exclusive;
    client_main(PIPE_MAIN_IN, PIPE_MAIN_OUT, preset);
}

Client spawn(const std::string &input, bool close_input = true, int instance = 0,
             int exclusive = 0, const char *preset = nullptr)
{
    int pin[2], pout[2], perr[2];
    Client c;
    if (pipe(pin) != 0 || pipe(pout) != 0 || pipe(perr) != 0)
        return c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(pin[0], 0);
        dup2(pout[1], 1);
        dup2(perr[1], 2);
        run_client(instance, exclusive, preset);
    }
    close(pin[0]);
    close(pout[1]);
    close(perr[1]);
    c.in = pin[1];
    c.out = pout[0];
    c.err = perr[0];
    if (!input.empty() && write(c.in, input.data(), input.size()) != (ssize_t)input.size())
        ADD_FAILURE() << "cannot feed client";
    if (close_input) {
        close(c.in);
        c.in = -1;
    }
    return c;
}

Client spawn_tty(int instance = 0)
{
    Client c;
    c.pid = forkpty(&c.master, nullptr, nullptr, nullptr);
    if (c.pid == 0)
        run_client(instance, 0, nullptr);
    return c;
}

// Waits for the process to end; -1 when it did not within the deadline.
int wait_exit(pid_t pid, int ms = DEADLINE_MS)
{
    for (int waited = 0; waited <= ms; waited += 10) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        poll(nullptr, 0, 10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

struct Result {
    std::string out, err;
    int code;
};

// Reads the client's output and error streams to their end, then reaps it.
Result finish(Client &c)
{
    Result r;
    if (c.in >= 0)
        close(c.in);
    struct pollfd p[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
    std::string *dst[2] = {&r.out, &r.err};
    int open_count = 2;
    while (open_count > 0 && poll(p, 2, DEADLINE_MS) > 0) {
        for (int i = 0; i < 2; i++) {
            if (p[i].fd < 0 || p[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(p[i].fd);
                p[i].fd = -1;
                open_count--;
            } else {
                dst[i]->append(buf, n);
            }
        }
    }
    for (auto &q : p)
        if (q.fd >= 0)
            close(q.fd);
    r.code = wait_exit(c.pid);
    return r;
}

// Reads the terminal until the text appears after position `from`.
bool read_until(Client &c, const std::string &needle, size_t from = 0)
{
    for (;;) {
        if (c.seen.find(needle, from) != std::string::npos)
            return true;
        struct pollfd p = {c.master, POLLIN, 0};
        if (poll(&p, 1, DEADLINE_MS) <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(c.master, buf, sizeof buf);
        if (n <= 0)
            return c.seen.find(needle, from) != std::string::npos;
        c.seen.append(buf, n);
    }
}

void type(Client &c, const std::string &keys)
{
    ASSERT_EQ(write(c.master, keys.data(), keys.size()), (ssize_t)keys.size());
}

tcflag_t terminal_lflag(Client &c)
{
    struct termios t;
    return tcgetattr(c.master, &t) == 0 ? t.c_lflag : 0;
}

// Waits until a FIFO holds at least `bytes` bytes (the daemon answered a
// line that no client reads).
bool fifo_holds(const std::string &path, int bytes)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    bool ok = false;
    for (int waited = 0; fd >= 0 && waited <= DEADLINE_MS; waited += 10) {
        int n = 0;
        if (ioctl(fd, FIONREAD, &n) == 0 && n >= bytes) {
            ok = true;
            break;
        }
        poll(nullptr, 0, 10);
    }
    if (fd >= 0)
        close(fd);
    return ok;
}

// Reads a FIFO until the text arrived; what was read goes to `got`.
bool fifo_read_until(int fd, const std::string &needle, std::string *got, int ms = DEADLINE_MS)
{
    for (;;) {
        if (got->find(needle) != std::string::npos)
            return true;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            got->append(buf, n);
    }
}

void write_pipe(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    close(fd);
}

// Plays the daemon's part for a channel that no command thread serves:
// reads the client's begin record and answers it.
void answer_begin(CMDCHANNEL *ch)
{
    std::string got;
    ASSERT_TRUE(fifo_read_until(ch->in_fd, "\n", &got));
    ASSERT_EQ(got.rfind(std::string("\0begin ", 7), 0), 0u) << got;
    std::string answer = got.substr(0, got.find('\n') + 1);
    ASSERT_EQ(write(ch->out_fd, answer.data(), answer.size()), (ssize_t)answer.size());
}

// True while the client neither wrote anything nor ended for `ms`.
bool client_quiet(Client &c, int ms)
{
    struct pollfd p = {c.out, POLLIN, 0};
    int status;
    return poll(&p, 1, ms) == 0 && waitpid(c.pid, &status, WNOHANG) == 0;
}

// True when a line written into the auxiliary pair is answered there.
bool aux_answers()
{
    int aux_out = open(root->file("/var/run/kvnaux.out").c_str(), O_RDONLY | O_NONBLOCK);
    if (aux_out < 0)
        return false;
    write_pipe(root->file("/var/run/kvnaux.in"), "zzmark\n");
    std::string got;
    bool answered = fifo_read_until(aux_out, "marked\nkvn# ", &got);
    close(aux_out);
    return answered;
}

// The expected text of the first n lines of zzbig.
std::string big_lines(int n)
{
    std::string text;
    char line[128];
    for (int i = 0; i < n; i++) {
        snprintf(line, sizeof line, "line %05d of a big answer, more than any pipe holds at once\n", i);
        text += line;
    }
    return text;
}

// ------------------------------------------------ fixture

class ControlPipes : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        signal(SIGPIPE, SIG_IGN);
        kvn_test_reset();
        root = new TempRoot();
        dmn.instance = 0;
        write_instance_files(0, getpid());
        keep(open_command_channel(PIPE_MAIN_IN, PIPE_MAIN_OUT));
        keep(open_command_channel(PIPE_AUX_IN, PIPE_AUX_OUT));
        // The test commands go in before the threads that look them up start.
        cmdh_insert(cmdhash, "zzblock", 1, cmd_zzblock, nullptr);
        cmdh_insert(cmdhash, "zzmark", 1, cmd_zzmark, nullptr);
        cmdh_insert(cmdhash, "zzbig", 1, cmd_zzbig, nullptr);
        run_thread_and_detach(command_thread, channels[0]);
        run_thread_and_detach(command_thread, channels[1]);
    }
    // The command threads stay blocked on their pipes until the process
    // ends; the directory goes, their descriptors keep the FIFOs alive.
    static void TearDownTestSuite()
    {
        delete root;
        root = nullptr;
    }
    void SetUp() override
    {
        block_reset();
        dmn.instance = 0;
        dmn.exclusive = 0;
        channels[0]->stall_ms = CHANNEL_STALL_MS;
    }
};

TEST_F(ControlPipes, ChannelFifosAndStream)
{
    struct stat st;
    for (const char *p : {"/var/run/kvn.in", "/var/run/kvn.out", "/var/run/kvnaux.in"}) {
        ASSERT_EQ(stat(root->file(p).c_str(), &st), 0) << p;
        EXPECT_TRUE(S_ISFIFO(st.st_mode)) << p;
        EXPECT_EQ(st.st_mode & 0077, 0u) << p;
    }
    // Opening again over existing FIFOs succeeds (a restarted daemon).
    CMDCHANNEL *again = open_command_channel(PIPE_CMD_IN, PIPE_CMD_OUT);
    CMDCHANNEL *twice = open_command_channel(PIPE_CMD_IN, PIPE_CMD_OUT);
    keep(again);
    keep(twice);
    ASSERT_NE(again, nullptr);
    ASSERT_NE(twice, nullptr);
    EXPECT_STREQ(twice->name, "command");
    EXPECT_NE(twice->out, nullptr);
    EXPECT_GE(twice->in_fd, 0);
    EXPECT_TRUE(fcntl(twice->in_fd, F_GETFL) & O_RDWR);

    // A plain file where a pipe belongs is not read as commands: the
    // daemon ends with the operating-system error code.
    write_file(root->file("/var/run/kvnims.in"), "stop\n");
    pid_t child = fork();
    if (child == 0) {
        forked_child = true;
        open_command_channel(PIPE_IMS_IN, PIPE_IMS_OUT);
        _exit(0);
    }
    EXPECT_EQ(wait_exit(child), 71);
    EXPECT_FALSE(stat(root->file("/var/run/kvnims.out").c_str(), &st) == 0);
}

TEST_F(ControlPipes, NonInteractiveSessions)
{
    struct Case {
        const char *what;
        std::string input;
        const char *preset;
        std::string out;
        int code;
    } cases[] = {
        {"one line", "exit\n", nullptr, "please type EOF to exit\nkvn# ", 0},
        {"several lines, each output with its prompt", "exit\nquit\n}\n", nullptr,
         "please type EOF to exit\nkvn# please type EOF to exit\nkvn# kvn# ", 0},
        {"last line without newline", "exit\nquit", nullptr,
         "please type EOF to exit\nkvn# please type EOF to exit\nkvn# ", 0},
        {"quiet line", "! exit\n", nullptr, "please type EOF to exit\n", 0},
        {"zero bytes in input are left out", std::string("ex\0it\n", 6), nullptr,
         "please type EOF to exit\nkvn# ", 0},
        {"a sync byte of a command is no end", "! clisync\nexit\n", nullptr,
         "please type EOF to exit\nkvn# ", 0},
        {"empty input", "", nullptr, "", 0},
        {"a failed command ends a session as usual", "frobnicate\n", nullptr,
         "  ERROR: invalid command (try help)\nkvn# ", 0},
        {"preset line only", "quit\n", "exit\n", "please type EOF to exit\nkvn# ", 0},
        {"preset line that fails", "", "! frobnicate\n", "  ERROR: invalid command (try help)\n",
         CLIENT_EXIT_FAILED},
    };
    for (const Case &c : cases) {
        Client cl = spawn(c.input, true, 0, 0, c.preset);
        Result r = finish(cl);
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
        EXPECT_EQ(r.code, c.code) << c.what;
    }
}

TEST_F(ControlPipes, LeftoverOutputIsNotShownToNextClient)
{
    write_pipe(root->file("/var/run/kvn.in"), "exit\n");
    ASSERT_TRUE(fifo_holds(root->file("/var/run/kvn.out"), 29));
    Client cl = spawn("}\n");
    Result r = finish(cl);
    EXPECT_EQ(r.out, "kvn# ");
    EXPECT_EQ(r.code, 0);
}

TEST_F(ControlPipes, NoPeerOrNoPipe)
{
    // A dead process for a stale pid file.
    pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);
    write_instance_files(8, dead);
    write_instance_files(9, getpid());  // running, but its pipes are missing

    struct Case {
        int instance;
        std::string err;
        int code;
    } cases[] = {
        {7, "Korvane: no peer available\n", 69},
        {8, "Korvane: no peer available\n", 69},
        {9, "cannot open control pipe /var/run/kvn9.in\n", 74},
    };
    for (const Case &c : cases) {
        // No input: each client ends before it reads any, and a write
        // racing with that end would fail.
        Client cl = spawn("", true, c.instance);
        Result r = finish(cl);
        EXPECT_EQ(r.err, c.err) << c.instance;
        EXPECT_EQ(r.out, "") << c.instance;
        EXPECT_EQ(r.code, c.code) << c.instance;
    }
}

TEST_F(ControlPipes, InteractiveEditingHistoryAndBye)
{
    Client c = spawn_tty();
    ASSERT_TRUE(read_until(c, "Korvane: connected to PID " + std::to_string(getpid())));
    ASSERT_TRUE(read_until(c, "kvn# "));
    EXPECT_EQ(terminal_lflag(c) & (ECHO | ICANON), 0u);

    // Up-arrow on an empty history rings the bell.
    size_t mark = c.seen.size();
    type(c, UP);
    ASSERT_TRUE(read_until(c, "\a", mark));

    // Typing with the cursor moved left: "xit", three lefts, "e".
    mark = c.seen.size();
    type(c, "xit" + LEFT + LEFT + LEFT + "e\n");
    ASSERT_TRUE(read_until(c, "please type EOF to exit", mark));
    ASSERT_TRUE(read_until(c, "kvn# ", mark));

    // ^W removes the last word before the line goes out.
    mark = c.seen.size();
    type(c, "hostname zz\x17qq\n");
    ASSERT_TRUE(read_until(c, "qq# ", mark));

    // Up-arrow recalls the line; edit its last word and send it again.
    mark = c.seen.size();
    type(c, UP + "\x17rr\n");
    ASSERT_TRUE(read_until(c, "rr# ", mark));
    mark = c.seen.size();
    type(c, "no hostname\n");
    ASSERT_TRUE(read_until(c, "kvn# ", mark));

    mark = c.seen.size();
    type(c, "\x04");
    ASSERT_TRUE(read_until(c, "... bye", mark));
    EXPECT_EQ(wait_exit(c.pid), 0);
    EXPECT_EQ(terminal_lflag(c) & (ECHO | ICANON), (tcflag_t)(ECHO | ICANON));
    close(c.master);
}

TEST_F(ControlPipes, InteractiveEndsBySignal)
{
    struct Case {
        const char *what;
        int signal;  // sent to the client; 0: ^C typed on the terminal
        const char *message;
    } cases[] = {
        {"control-C", 0, "... interrupt"},
        {"SIGINT", SIGINT, "... interrupt"},
        {"idle alarm", SIGALRM, "... interactive timeout"},
    };
    for (const Case &k : cases) {
        Client c = spawn_tty();
        ASSERT_TRUE(read_until(c, "kvn# ")) << k.what;
        size_t mark = c.seen.size();
        if (k.signal == 0)
            type(c, "\x03");
        else
            kill(c.pid, k.signal);
        EXPECT_TRUE(read_until(c, k.message, mark)) << k.what;
        EXPECT_EQ(wait_exit(c.pid), 0) << k.what;
        EXPECT_EQ(terminal_lflag(c) & (ECHO | ICANON), (tcflag_t)(ECHO | ICANON)) << k.what;
        close(c.master);
    }
}

TEST_F(ControlPipes, SessionLocks)
{
    Client first = spawn_tty();
    ASSERT_TRUE(read_until(first, "kvn# "));

    // A second terminal session is refused at once.
    Client second = spawn_tty();
    EXPECT_TRUE(read_until(second, "Korvane: interactive session already active"));
    EXPECT_EQ(wait_exit(second.pid), 75);
    close(second.master);

    // An exclusive piped session is refused at once.
    Client excl = spawn("exit\n", true, 0, 1);
    Result r = finish(excl);
    EXPECT_EQ(r.err, "Korvane: session already active\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.code, 75);

    // A plain piped session waits for the terminal session to end.
    Client queued = spawn("exit\n");
    struct pollfd p = {queued.out, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 300), 0) << "the queued client ran during the terminal session";
    int status;
    EXPECT_EQ(waitpid(queued.pid, &status, WNOHANG), 0);

    type(first, "\x04");
    EXPECT_TRUE(read_until(first, "... bye"));
    EXPECT_EQ(wait_exit(first.pid), 0);
    close(first.master);

    r = finish(queued);
    EXPECT_EQ(r.out, "please type EOF to exit\nkvn# ");
    EXPECT_EQ(r.code, 0);
}

TEST_F(ControlPipes, PeerGoneDuringSession)
{
    // Instance 10 is served by nothing but the channel the test holds;
    // closing the channel is the daemon going away.
    dmn.instance = 10;
    write_instance_files(10, getpid());
    CMDCHANNEL *ch = open_command_channel(PIPE_MAIN_IN, PIPE_MAIN_OUT);
    keep(ch);
    dmn.instance = 0;

    Client c = spawn_tty(10);
    ASSERT_TRUE(read_until(c, "Korvane: connected to instance 10 PID " + std::to_string(getpid())));
    answer_begin(ch);
    fprintf(ch->out, "kvn# ");
    fflush(ch->out);
    ASSERT_TRUE(read_until(c, "kvn# "));

    size_t mark = c.seen.size();
    fclose(ch->out);
    close(ch->in_fd);
    EXPECT_TRUE(read_until(c, "Korvane: no peer available", mark));
    EXPECT_EQ(wait_exit(c.pid), 0);
    EXPECT_EQ(terminal_lflag(c) & (ECHO | ICANON), (tcflag_t)(ECHO | ICANON));
    close(c.master);
}

TEST_F(ControlPipes, CommandLockSerialisesPairs)
{
    int main_out = open(root->file("/var/run/kvn.out").c_str(), O_RDONLY | O_NONBLOCK);
    int aux_out = open(root->file("/var/run/kvnaux.out").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(main_out, 0);
    ASSERT_GE(aux_out, 0);

    write_pipe(root->file("/var/run/kvn.in"), "zzblock\n");
    block_wait_entered();
    write_pipe(root->file("/var/run/kvnaux.in"), "zzmark\n");
    std::string aux_got, main_got;
    EXPECT_FALSE(fifo_read_until(aux_out, "marked", &aux_got, 300))
        << "the auxiliary pair answered while a command ran on the main pair";

    block_let_go();
    EXPECT_TRUE(fifo_read_until(aux_out, "marked\nkvn# ", &aux_got));
    EXPECT_TRUE(fifo_read_until(main_out, "blocked\nkvn# ", &main_got));
    {
        std::lock_guard<std::mutex> lk(block_mu);
        EXPECT_EQ(order, (std::vector<std::string>{"block-done", "mark"}));
    }
    close(main_out);
    close(aux_out);
}

// A command whose output takes long to begin: the client waits for the end
// of its own session and shows the whole answer.
TEST_F(ControlPipes, SlowCommandOutputArrivesWhole)
{
    Client slow = spawn("zzblock\nexit\n");
    block_wait_entered();
    EXPECT_TRUE(client_quiet(slow, 1000)) << "the client ended before its command did";
    block_let_go();
    Result r = finish(slow);
    EXPECT_EQ(r.out, "blocked\nkvn# please type EOF to exit\nkvn# ");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.code, 0);
}

// A session begins with no block open and without the partial line an
// earlier writer left: neither reaches the next client's lines.
TEST_F(ControlPipes, SessionStartsWithoutBlockOrPartialLine)
{
    Client first = spawn("set {\n");
    Result r = finish(first);
    EXPECT_EQ(r.out, "kvn+ ");
    Client next = spawn("sessiontimeout 900\nexit\n");
    r = finish(next);
    EXPECT_EQ(r.out, "  ERROR: invalid command (try help)\nkvn# please type EOF to exit\nkvn# ");

    write_pipe(root->file("/var/run/kvn.in"), "frob");
    Client after = spawn("exit\n");
    r = finish(after);
    EXPECT_EQ(r.out, "please type EOF to exit\nkvn# ");
    EXPECT_EQ(r.code, 0);
}

// A client that stops reading in the middle of a long answer and is then
// killed: the daemon drops the rest, other pairs answer, and the next client
// on the pair sees only its own output.
TEST_F(ControlPipes, KilledClientMidAnswerBlocksNobody)
{
    Client dead = spawn("zzbig\n");
    // Its standard output (a pipe the test does not read) fills; then the
    // client stops reading the daemon's output pipe, and the daemon waits.
    std::string part;
    char buf[4096];
    ssize_t n = read(dead.out, buf, sizeof buf);
    ASSERT_GT(n, 0);
    part.append(buf, n);
    EXPECT_TRUE(big_lines(BIG_LINES).starts_with(part));
    ASSERT_TRUE(fifo_holds(root->file("/var/run/kvn.out"), 32768));
    kill(dead.pid, SIGKILL);
    EXPECT_EQ(wait_exit(dead.pid), 128 + SIGKILL);
    close(dead.out);
    close(dead.err);

    EXPECT_TRUE(aux_answers());

    Client next = spawn("exit\n");
    Result r = finish(next);
    EXPECT_EQ(r.out, "please type EOF to exit\nkvn# ");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.code, 0);
}

// A client that is there but takes nothing: after the stall limit the rest
// of the answer is dropped, the client learns it, and commands go on.
TEST_F(ControlPipes, StalledClientLosesTheRestAndKnowsIt)
{
    channels[0]->stall_ms = 300;
    Client stalled = spawn("zzbig\nexit\n");
    ASSERT_TRUE(fifo_holds(root->file("/var/run/kvn.out"), 32768));
    // The aux pair answers while the stalled client still holds its pair.
    EXPECT_TRUE(aux_answers());
    int status;
    EXPECT_EQ(waitpid(stalled.pid, &status, WNOHANG), 0);

    Result r = finish(stalled);
    std::string all = big_lines(BIG_LINES);
    EXPECT_LT(r.out.size(), all.size());
    EXPECT_TRUE(all.starts_with(r.out.substr(0, r.out.rfind('\n') + 1)));
    EXPECT_EQ(r.err, "Korvane: output dropped, it was not read in time\n");
    EXPECT_EQ(r.code, 74);

    channels[0]->stall_ms = CHANNEL_STALL_MS;
    Client next = spawn("zzbig\n");
    r = finish(next);
    EXPECT_EQ(r.out, all + "kvn# ");
    EXPECT_EQ(r.code, 0);
}

}  // namespace
