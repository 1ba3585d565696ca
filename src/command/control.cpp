// Control pipes: the daemon's command channels and command threads, and the
// client half of `kvn control|ctl|auxctl|cmdctl|imsctl|reload`.
//
// The daemon holds both FIFOs of every pair open for reading and writing,
// so its opens never block, its reads never see end of file when a client
// leaves and its writes never fail for want of a reader (nor raise
// SIGPIPE). The client locks the input FIFO with an advisory record lock
// so that one pair serves one client at a time; interactive and exclusive
// sessions refuse to wait, other non-interactive sessions queue.
//
// Pipes carry bytes, not sessions, so every client brackets its session
// with session records (see control.h): the daemon starts a fresh session
// at "begin" (no partial line, no open block, an empty output pipe) and
// answers it, and the client drops everything before that answer, so it
// never sees what an earlier client left behind. At "end" the daemon
// answers once every line before it has run, with the number of failed
// commands; the client waits for exactly that answer.
//
// A client that stops reading must not stall the daemon: a command holds
// the command lock while it writes its answer. When the output pipe stays
// full and the lock on the input FIFO no longer belongs to the session's
// client (it went away, or the next client took the pair), or a live
// client takes nothing for stall_ms, the rest of the answer is dropped.
#include "command/control.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "command/interpreter.h"
#include "command/line_editor.h"
#include "command/log.h"
#include "command/process.h"
#include "daemon/instance.h"

constexpr int CHANNEL_READ_SIZE = 9999;    // bytes per read of the input pipe
constexpr int CHANNEL_POLL_MS = 100;       // wait between looks at a full output pipe
constexpr int CLIENT_READ_SIZE = 32767;    // bytes per read of the output pipe
constexpr int CLIENT_LINE_SIZE = 32767;    // longest input line sent at once
constexpr int INTERACTIVE_TIMEOUT = 300;   // seconds without daemon output

// ---------------------------------------------------------------- daemon side

static long monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000;
}

// True when the session's client no longer holds the lock on the input
// FIFO: it has ended, or another client holds the pair now. A session
// without a known client (lines written straight into the pipe) is never
// taken for gone.
static bool client_gone(const CMDCHANNEL *ch)
{
    if (ch->client_pid <= 0)
        return false;
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(ch->in_fd, F_GETLK, &fl) != 0)
        return false;
    return fl.l_type == F_UNLCK || fl.l_pid != ch->client_pid;
}

static void start_dropping(CMDCHANNEL *ch, const char *why)
{
    ch->dropping = 1;
    ch->lost = 1;
    log_message(5, "control client %s, rest of its output dropped", why);
}

// Writes to the output pipe, waiting for room only while the session's
// client is there and takes output at least every stall_ms.
static void channel_send(CMDCHANNEL *ch, const char *buf, size_t len)
{
    size_t off = 0;
    long progress = monotonic_ms();
    while (off < len && !ch->dropping) {
        ssize_t n = write(ch->out_fd, buf + off, len - off);
        if (n > 0) {
            off += (size_t)n;
            progress = monotonic_ms();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            start_dropping(ch, "unreachable");
            break;
        }
        if (client_gone(ch)) {
            start_dropping(ch, "gone");
            break;
        }
        if (monotonic_ms() - progress >= ch->stall_ms) {
            start_dropping(ch, "does not read");
            break;
        }
        struct pollfd p = {ch->out_fd, POLLOUT, 0};
        poll(&p, 1, CHANNEL_POLL_MS);
    }
}

// The output stream's writer: what cannot be delivered is dropped, never
// an error of the stream, so later output of the session still goes out.
static ssize_t channel_write(void *cookie, const char *buf, size_t size)
{
    CMDCHANNEL *ch = (CMDCHANNEL *)cookie;
    if (ch->dropping)
        return (ssize_t)size;
    channel_send(ch, buf, size);
    return (ssize_t)size;
}

static int channel_close(void *cookie)
{
    return close(((CMDCHANNEL *)cookie)->out_fd);
}

CMDCHANNEL *open_command_channel(const char *in_pattern, const char *out_pattern)
{
    CMDCHANNEL *ch = (CMDCHANNEL *)calloc(1, sizeof *ch);
    if (ch == nullptr) {
        log_message(3, "FATAL: problem allocating initial command interface");
        daemon_exit(EXIT_OSERR);
    }
    const char *patterns[2] = {in_pattern, out_pattern};
    for (const char *pattern : patterns) {
        char path[512], shown[512];
        kvn_path(path, sizeof path, pattern);
        kvn_shown_path(shown, sizeof shown, pattern);
        if (mkfifo(path, 0600) != 0) {
            int err = errno;
            struct stat st;
            // An existing FIFO is the normal case after a restart; any
            // other file in its place would be read as commands, so it is
            // refused like a failed creation.
            if (err != EEXIST || stat(path, &st) != 0 || !S_ISFIFO(st.st_mode)) {
                log_message(0, "cannot create control pipe %s, errno=%d", shown, err);
                daemon_exit(EXIT_OSERR);
            }
        }
    }
    for (int i = 0; i < 2; i++) {
        char path[512], shown[512];
        kvn_path(path, sizeof path, patterns[i]);
        kvn_shown_path(shown, sizeof shown, patterns[i]);
        // Close-on-exec: a script or plugin that outlives the daemon must
        // not keep the output pipe open, or clients would never see the
        // daemon go away.
        int fd = open(path, O_RDWR | O_CLOEXEC | (i == 1 ? O_NONBLOCK : 0));
        if (fd < 0) {
            log_message(0, "cannot open control pipe %s", shown);
            daemon_exit(EXIT_OSERR);
        }
        if (dmn.debug)
            log_message(7, "%s opened...", shown);
        if (i == 0)
            ch->in_fd = fd;
        else
            ch->out_fd = fd;
    }
    cookie_io_functions_t io = {.read = nullptr, .write = channel_write, .seek = nullptr, .close = channel_close};
    ch->out = fopencookie(ch, "w", io);
    if (ch->out == nullptr || setvbuf(ch->out, nullptr, _IOFBF, BUFSIZ) != 0) {
        log_message(0, "cannot establish buffered output");
        daemon_exit(EXIT_OSERR);
    }
    snprintf(ch->name, sizeof ch->name, "command");
    ch->record_len = -1;
    ch->stall_ms = CHANNEL_STALL_MS;
    return ch;
}

// Empties the output pipe of what no client read (the daemon holds its
// read end too); bounded, as nothing but this thread writes to it.
static void discard_unread_output(CMDCHANNEL *ch)
{
    char scrap[4096];
    for (int i = 0; i < 1024; i++)
        if (read(ch->out_fd, scrap, sizeof scrap) <= 0)
            break;
}

// Answers a record with a zero byte, the text and a newline.
static void answer_record(CMDCHANNEL *ch, const char *text)
{
    char answer[CHANNEL_RECORD_SIZE + 32];
    int n = snprintf(answer, sizeof answer, "%c%s\n", '\0', text);
    channel_send(ch, answer, (size_t)n < sizeof answer ? (size_t)n : sizeof answer - 1);
}

static void session_record(CMDCHANNEL *ch)
{
    char word[8], token[CHANNEL_RECORD_SIZE + 1], rest[2];
    ch->record[ch->record_len] = '\0';
    if (sscanf(ch->record, "%7s %96s %1s", word, token, rest) != 2) {
        if (dmn.debug)
            log_message(7, "unknown session record [%s]", ch->record);
        return;
    }
    // What an earlier line left in the stream belongs to that line's
    // session: it goes out (or is dropped) before the answer.
    fflush(ch->out);
    char text[CHANNEL_RECORD_SIZE + 32];
    if (strcmp(word, RECORD_BEGIN) == 0) {
        session_reset(&ch->session);
        ch->client_pid = (pid_t)strtol(token, nullptr, 10);
        ch->dropping = 0;
        ch->lost = 0;
        discard_unread_output(ch);
        snprintf(text, sizeof text, "%s %s", RECORD_BEGIN, token);
        answer_record(ch, text);
    } else if (strcmp(word, RECORD_END) == 0) {
        ch->dropping = 0;
        snprintf(text, sizeof text, "%s %s %d %d", RECORD_END, token, ch->session.failed, ch->lost);
        answer_record(ch, text);
        // Lines written into the pipe later belong to no known client.
        ch->client_pid = 0;
    } else if (dmn.debug) {
        log_message(7, "unknown session record [%s]", ch->record);
    }
}

void channel_input(CMDCHANNEL *ch, const char *buf, int len)
{
    int pos = 0;
    while (pos < len) {
        if (ch->record_len >= 0) {
            const char *nl = (const char *)memchr(buf + pos, '\n', len - pos);
            int take = nl != nullptr ? (int)(nl - (buf + pos)) : len - pos;
            // An overlong record is kept short and then not understood.
            int room = CHANNEL_RECORD_SIZE - ch->record_len;
            memcpy(ch->record + ch->record_len, buf + pos, take < room ? take : room);
            ch->record_len += take < room ? take : room;
            pos += take;
            if (nl == nullptr)
                break;
            pos++;
            session_record(ch);
            ch->record_len = -1;
            continue;
        }
        const char *zero = (const char *)memchr(buf + pos, '\0', len - pos);
        int take = zero != nullptr ? (int)(zero - (buf + pos)) : len - pos;
        if (take > 0)
            process_command_buffer(&ch->session, buf + pos, take, ch->out);
        pos += take;
        if (zero != nullptr) {
            pos++;
            ch->record_len = 0;
        }
    }
}

void *command_thread(void *arg)
{
    CMDCHANNEL *ch = (CMDCHANNEL *)arg;
    static thread_local char buffer[CHANNEL_READ_SIZE];
    for (;;) {
        ssize_t n = read(ch->in_fd, buffer, CHANNEL_READ_SIZE);
        if (n < 0) {
            // SIGUSR1 interrupts blocking calls on purpose; that is no error.
            if (errno != EINTR)
                log_message(3, "Error %d on command interface", errno);
            continue;
        }
        channel_input(ch, buffer, (int)n);
    }
    return nullptr;
}

// ---------------------------------------------------------------- client side

enum CLIENTPHASE {
    PHASE_BEGIN,    // dropping what is in the pipe until the begin answer
    PHASE_SESSION,  // the session's own output
    PHASE_TAIL,     // reading the numbers of the end answer
    PHASE_ENDED,    // the end answer arrived
};

// A byte sequence the client waits for in the daemon's output, matched
// across reads. It starts with the only zero byte it holds, so a failed
// match can only start again at a zero byte.
struct MARKER {
    char text[CHANNEL_RECORD_SIZE + 2];  // zero byte, record text
    int len;                             // bytes in text
    int matched;                         // bytes of text seen so far
};

// State of the one client of this process.
struct CLIENT {
    int in_fd;                 // input pipe (to the daemon), read-write
    int out_fd;                // output pipe (from the daemon), non-blocking
    int interactive;           // terminal and no preset line
    int preset;                // a preset line (`kvn reload`)
    int tty_saved;             // saved_tty holds the settings to restore
    struct termios saved_tty;  // terminal settings before character mode
    char token[40];            // this session's token: pid and start time
    CLIENTPHASE phase;
    MARKER begin;              // the begin answer, zero byte to newline
    MARKER end;                // the end answer up to its numbers
    char tail[24];             // the end answer's numbers
    int tail_len;
    int failed;                // failed commands, from the end answer
    int lost;                  // the daemon dropped output of this session
};

static CLIENT client;
static LINEEDITOR editor;
static volatile sig_atomic_t got_interrupt;
static volatile sig_atomic_t got_timeout;
static char out_buffer[CLIENT_READ_SIZE + 1];
// The signal mask inside the waits. SIGINT and SIGALRM are blocked
// everywhere else, so that a signal arriving between two waits is taken
// by the next wait instead of being lost before it.
static sigset_t wait_mask;

static void on_sigint(int)
{
    got_interrupt = 1;
}

static void on_sigalrm(int)
{
    got_timeout = 1;
}

// Installs a handler that stays installed and does not restart calls, so
// that a signal wakes the client's wait.
static void install_handler(int sig, void (*handler)(int))
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

static void restore_terminal()
{
    if (client.tty_saved) {
        tcsetattr(STDIN_FILENO, TCSADRAIN, &client.saved_tty);
        client.tty_saved = 0;
    }
}

[[noreturn]] static void client_exit(int code)
{
    restore_terminal();
    exit(code);
}

static void write_stdout(const char *buf, int len)
{
    int off = 0;
    while (off < len) {
        ssize_t n = write(STDOUT_FILENO, buf + off, len - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        off += (int)n;
    }
}

// Copies a chunk from the daemon to standard output without its zero bytes.
static void show_output(const char *buf, int len)
{
    int start = 0, dropped = 0;
    for (int i = 0; i < len; i++) {
        if (buf[i] != '\0')
            continue;
        write_stdout(buf + start, i - start);
        start = i + 1;
        dropped++;
    }
    write_stdout(buf + start, len - start);
    if (dmn.debug && dropped > 0)
        fprintf(stderr, "%d SYNC's supressed\n", dropped);
}

static void marker_set(MARKER *m, const char *word)
{
    m->text[0] = '\0';
    int n = snprintf(m->text + 1, sizeof m->text - 1, "%s %s%s", word, client.token,
                     strcmp(word, RECORD_BEGIN) == 0 ? "\n" : " ");
    m->len = 1 + n;
    m->matched = 0;
}

// Looks for the marker in a chunk; shows (when asked) every byte that is
// not part of it. Returns the bytes up to and including the marker's last
// one, or -1 when the chunk ended first (a partial match is held back).
static int marker_scan(MARKER *m, const char *buf, int len, bool show)
{
    int i = 0, start = 0;  // buf[start..i) not yet shown
    while (i < len) {
        if (m->matched == 0) {
            const char *zero = (const char *)memchr(buf + i, '\0', len - i);
            if (zero == nullptr) {
                i = len;
                break;
            }
            i = (int)(zero - buf);
            if (show)
                show_output(buf + start, i - start);
            start = i;
        }
        if (buf[i] == m->text[m->matched]) {
            i++;
            if (++m->matched == m->len) {
                m->matched = 0;
                return i;
            }
            continue;
        }
        // Not the marker after all: what was held back is output. The byte
        // that broke the match is looked at again.
        if (show)
            show_output(m->text, m->matched);
        m->matched = 0;
        start = i;
    }
    if (show && m->matched == 0)
        show_output(buf + start, len - start);
    return -1;
}

// The end answer's numbers, up to its newline; -1 while they go on.
static int read_tail(const char *buf, int len)
{
    for (int i = 0; i < len; i++) {
        if (buf[i] == '\n') {
            client.tail[client.tail_len] = '\0';
            if (sscanf(client.tail, "%d %d", &client.failed, &client.lost) != 2)
                client.failed = client.lost = 1;
            return i + 1;
        }
        if (client.tail_len < (int)sizeof client.tail - 1)
            client.tail[client.tail_len++] = buf[i];
    }
    return -1;
}

// Takes one chunk of daemon output according to the phase of the session.
static void take_output(const char *buf, int len)
{
    int pos = 0;
    while (pos < len) {
        int used = 0;
        switch (client.phase) {
        case PHASE_BEGIN:
            used = marker_scan(&client.begin, buf + pos, len - pos, false);
            if (used < 0) {
                if (dmn.debug)
                    fprintf(stderr, "%d bytes removed\n", len - pos);
                return;
            }
            if (dmn.debug)
                fprintf(stderr, "backend channel is empty\n");
            client.phase = PHASE_SESSION;
            break;
        case PHASE_SESSION:
            // An interactive session never ends by an answer: it shows all.
            if (client.interactive) {
                show_output(buf + pos, len - pos);
                return;
            }
            used = marker_scan(&client.end, buf + pos, len - pos, true);
            if (used < 0)
                return;
            client.phase = PHASE_TAIL;
            break;
        case PHASE_TAIL:
            used = read_tail(buf + pos, len - pos);
            if (used < 0)
                return;
            if (dmn.debug)
                fprintf(stderr, "SYNC character received\n");
            client.phase = PHASE_ENDED;
            return;
        case PHASE_ENDED:
            return;
        }
        pos += used;
    }
}

// Reads one chunk of daemon output and takes it; ends the session when
// the daemon is gone or a signal arrived.
static void pump_output()
{
    ssize_t n = read(client.out_fd, out_buffer, CLIENT_READ_SIZE);
    if (n > 0) {
        if (!(n == 1 && out_buffer[0] == 1))
            take_output(out_buffer, (int)n);
        if (client.interactive)
            alarm(INTERACTIVE_TIMEOUT);
        return;
    }
    bool signalled = got_interrupt || got_timeout;
    if (n < 0 && (errno == EAGAIN || errno == EINTR) && !signalled)
        return;
    // A preset line's session did not see its end; the others end as
    // sessions always have.
    if (signalled) {
        if (client.interactive)
            fprintf(stderr, got_interrupt ? "... interrupt\n" : "... interactive timeout\n");
        client_exit(client.preset ? EXIT_TEMPFAIL : 0);
    }
    fprintf(stderr, "Korvane: no peer available\n");
    client_exit(client.preset ? EXIT_UNAVAILABLE : 0);
}

// Waits for daemon output and takes it until the phase is over, at most
// CLIENT_ANSWER_TIMEOUT seconds between two chunks.
static void await_phase_end(CLIENTPHASE phase)
{
    while (client.phase == phase || (phase == PHASE_SESSION && client.phase == PHASE_TAIL)) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(client.out_fd, &rd);
        struct timespec limit = {CLIENT_ANSWER_TIMEOUT, 0};
        int r = pselect(client.out_fd + 1, &rd, nullptr, nullptr, &limit, &wait_mask);
        if (r == 0) {
            fprintf(stderr, "Korvane: no answer within %d seconds\n", CLIENT_ANSWER_TIMEOUT);
            client_exit(EXIT_TEMPFAIL);
        }
        if (r > 0 || got_interrupt || got_timeout)
            pump_output();
    }
}

// Writes a whole chunk to the input pipe. The pipe is non-blocking: when it
// is full the daemon is busy, possibly writing output for this session,
// so the client takes that output while it waits for room.
static void send_to_daemon(const char *buf, int len)
{
    int off = 0;
    while (off < len) {
        ssize_t n = write(client.in_fd, buf + off, len - off);
        if (n > 0) {
            off += (int)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            client_exit(client.preset ? EXIT_UNAVAILABLE : 0);
        fd_set rd, wr;
        FD_ZERO(&rd);
        FD_ZERO(&wr);
        FD_SET(client.out_fd, &rd);
        FD_SET(client.in_fd, &wr);
        int maxfd = client.out_fd > client.in_fd ? client.out_fd : client.in_fd;
        int r = pselect(maxfd + 1, &rd, &wr, nullptr, nullptr, &wait_mask);
        if ((r < 0 && errno == EINTR && (got_interrupt || got_timeout)) ||
            (r > 0 && FD_ISSET(client.out_fd, &rd)))
            pump_output();
    }
}

// Sends a line without its zero bytes (a zero byte starts a session
// record), in one write; with a newline added when asked.
static void send_line(const char *buf, int len, bool add_newline)
{
    static char clean[CLIENT_LINE_SIZE + 2];
    int n = 0;
    for (int i = 0; i < len && n < CLIENT_LINE_SIZE; i++)
        if (buf[i] != '\0')
            clean[n++] = buf[i];
    if (add_newline)
        clean[n++] = '\n';
    send_to_daemon(clean, n);
}

static void send_record(const char *word)
{
    char record[CHANNEL_RECORD_SIZE + 2];
    int n = snprintf(record, sizeof record, "%c%s %s\n", '\0', word, client.token);
    send_to_daemon(record, n);
}

// Opens the session: everything before the daemon's begin answer is left
// over from an earlier session and dropped.
static void begin_session()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    snprintf(client.token, sizeof client.token, "%d.%ld%09ld", (int)getpid(), (long)now.tv_sec, now.tv_nsec);
    marker_set(&client.begin, RECORD_BEGIN);
    marker_set(&client.end, RECORD_END);
    client.phase = PHASE_BEGIN;
    if (dmn.debug)
        fprintf(stderr, "clearing backend channel\n");
    send_record(RECORD_BEGIN);
    await_phase_end(PHASE_BEGIN);
}

// Ends a non-interactive session: everything the daemon wrote before its
// end answer is shown, then the client ends with the session's outcome.
[[noreturn]] static void synchronise()
{
    if (dmn.debug)
        fprintf(stderr, "sending clisync\n");
    send_record(RECORD_END);
    await_phase_end(PHASE_SESSION);
    if (client.lost) {
        fprintf(stderr, "Korvane: output dropped, it was not read in time\n");
        client_exit(EXIT_IOERR);
    }
    client_exit(client.preset && client.failed > 0 ? CLIENT_EXIT_FAILED : 0);
}

static void character_mode()
{
    if (tcgetattr(STDIN_FILENO, &client.saved_tty) != 0)
        return;
    struct termios raw = client.saved_tty;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    client.tty_saved = 1;
    tcsetattr(STDIN_FILENO, TCSADRAIN, &raw);
}

// Non-interactive input: standard input is read in blocks and sent line by
// line. Its own buffer rather than stdio, so that lines already read are
// never left waiting behind a select on the descriptor.
struct LINEINPUT {
    char buf[CLIENT_LINE_SIZE + 1];  // bytes read and not yet sent
    int used;                        // bytes in buf
    int eof;                         // standard input has ended
};

static LINEINPUT input;

// Reads what standard input has and sends every complete line; returns 0
// at end of input, after the last partial line went out.
static int forward_input_lines()
{
    ssize_t n = read(STDIN_FILENO, input.buf + input.used, CLIENT_LINE_SIZE - input.used);
    if (n < 0 && errno == EINTR)
        return 1;
    if (n <= 0)
        input.eof = 1;
    else
        input.used += (int)n;
    for (;;) {
        char *nl = (char *)memchr(input.buf, '\n', input.used);
        int len;
        bool add_newline = false;
        if (nl != nullptr) {
            len = (int)(nl - input.buf) + 1;
        } else if (input.used == CLIENT_LINE_SIZE) {
            // A longer line goes in pieces; the daemon joins them (and
            // refuses the line if it is longer than it takes).
            len = input.used;
        } else if (input.eof && input.used > 0) {
            // The last line lacks its newline; without one the daemon
            // would wait for the rest of the line.
            len = input.used;
            add_newline = true;
        } else {
            break;
        }
        send_line(input.buf, len, add_newline);
        memmove(input.buf, input.buf + len, input.used - len);
        input.used -= len;
    }
    return !input.eof;
}

static void interactive_byte()
{
    unsigned char c;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR)
        return;
    int r = n == 1 ? le_feed(&editor, c) : LE_END;
    if (r == LE_END) {
        fprintf(stderr, "... bye\n");
        client_exit(0);
    }
    if (r == LE_LINE) {
        int len;
        const char *text = le_finished_text(&editor, &len);
        // The daemon runs a line once its newline arrives; an empty line
        // is the newline alone.
        bool empty = len == 1 && text[0] == '\n';
        send_line(text, len, !empty);
        hist_enter(&editor);
        le_clear(&editor);
    }
}

void client_main(const char *in_pattern, const char *out_pattern, const char *preset)
{
    install_handler(SIGINT, on_sigint);
    install_handler(SIGALRM, on_sigalrm);
    int tty = isatty(STDIN_FILENO);
    client.interactive = tty && preset == nullptr;
    client.preset = preset != nullptr;

    if (!instance_running()) {
        fprintf(stderr, "Korvane: no peer available\n");
        exit(EXIT_UNAVAILABLE);
    }
    if (client.interactive) {
        if (dmn.instance != 0)
            fprintf(stderr, "Korvane: connected to instance %d PID %d\n", dmn.instance,
                    (int)dmn.running_pid);
        else
            fprintf(stderr, "Korvane: connected to PID %d\n", (int)dmn.running_pid);
    }

    char path[512], shown[512];
    kvn_path(path, sizeof path, in_pattern);
    kvn_shown_path(shown, sizeof shown, in_pattern);
    client.in_fd = open(path, O_RDWR);
    if (client.in_fd < 0) {
        fprintf(stderr, "cannot open control pipe %s\n", shown);
        exit(EXIT_IOERR);
    }
    if (tty) {
        if (lockf(client.in_fd, F_TLOCK, 0) != 0) {
            fprintf(stderr, "Korvane: interactive session already active\n");
            exit(EXIT_TEMPFAIL);
        }
    } else if (dmn.exclusive) {
        if (lockf(client.in_fd, F_TLOCK, 0) != 0) {
            fprintf(stderr, "Korvane: session already active\n");
            exit(EXIT_TEMPFAIL);
        }
    } else if (lockf(client.in_fd, F_LOCK, 0) != 0) {
        fprintf(stderr, "Korvane: problem obtaining non interactive lock\n");
        exit(EXIT_IOERR);
    }
    fcntl(client.in_fd, F_SETFL, fcntl(client.in_fd, F_GETFL) | O_NONBLOCK);

    kvn_path(path, sizeof path, out_pattern);
    kvn_shown_path(shown, sizeof shown, out_pattern);
    client.out_fd = open(path, O_RDONLY | O_NONBLOCK);
    if (client.out_fd < 0) {
        fprintf(stderr, "cannot open control pipe %s\n", shown);
        exit(EXIT_IOERR);
    }

    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGALRM);
    sigprocmask(SIG_BLOCK, &block, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGALRM);

    begin_session();
    if (preset != nullptr) {
        int len = (int)strlen(preset);
        send_line(preset, len, len == 0 || preset[len - 1] != '\n');
        synchronise();
    }
    if (client.interactive) {
        le_init(&editor, STDOUT_FILENO);
        character_mode();
        send_to_daemon("\n", 1);
    }

    for (;;) {
        if (got_interrupt || got_timeout) {
            pump_output();  // shows what is left, then ends with the message
            continue;
        }
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(client.out_fd, &rd);
        if (!input.eof)
            FD_SET(STDIN_FILENO, &rd);
        int r = pselect(client.out_fd + 1, &rd, nullptr, nullptr, nullptr, &wait_mask);
        if (r < 0) {
            if (errno != EINTR) {
                fprintf(stderr, "select error\n");
                continue;
            }
            // Our signals end the session with their message through the
            // empty read in pump_output; any other signal is no reason to.
            if (got_interrupt || got_timeout)
                pump_output();
            continue;
        }
        if (FD_ISSET(client.out_fd, &rd))
            pump_output();
        if (FD_ISSET(STDIN_FILENO, &rd)) {
            if (client.interactive)
                interactive_byte();
            else if (!forward_input_lines())
                break;
        }
    }
    synchronise();
}
