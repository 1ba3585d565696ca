// Control pipes: the daemon's command channels and command threads, and the
// client half of `kvn control|ctl|auxctl|cmdctl|imsctl|reload`.
//
// The daemon holds both FIFOs of every pair open for reading and writing,
// so its opens never block, its reads never see end of file when a client
// leaves and its writes never fail for want of a reader. The client locks
// the input FIFO with an advisory record lock so that one pair serves one
// client at a time; interactive and exclusive sessions refuse to wait,
// other non-interactive sessions queue. A non-interactive session ends with
// the clisync handshake: the daemon answers "! clisync" with one zero byte
// after everything it wrote before.
#include "command/control.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

constexpr int CHANNEL_READ_SIZE = 9999;    // bytes per command chunk
constexpr int CLIENT_READ_SIZE = 32767;    // bytes per read of the output pipe
constexpr int CLIENT_LINE_SIZE = 32767;    // longest input line sent at once
constexpr int INTERACTIVE_TIMEOUT = 300;   // seconds without daemon output
constexpr int SYNC_WAITS = 50;             // 10 ms waits for the sync byte

// ---------------------------------------------------------------- daemon side

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
        int fd = open(path, O_RDWR | O_CLOEXEC);
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
    ch->out = fdopen(ch->out_fd, "w");
    if (ch->out == nullptr || setvbuf(ch->out, nullptr, _IOFBF, BUFSIZ) != 0) {
        log_message(0, "cannot establish buffered output");
        daemon_exit(EXIT_OSERR);
    }
    snprintf(ch->name, sizeof ch->name, "command");
    return ch;
}

void *command_thread(void *arg)
{
    CMDCHANNEL *ch = (CMDCHANNEL *)arg;
    static thread_local char buffer[CHANNEL_READ_SIZE + 1];
    for (;;) {
        ssize_t n = read(ch->in_fd, buffer, CHANNEL_READ_SIZE);
        if (n < 0) {
            // SIGUSR1 interrupts blocking calls on purpose; that is no error.
            if (errno != EINTR)
                log_message(3, "Error %d on command interface", errno);
            continue;
        }
        buffer[n] = '\0';
        process_command_buffer(buffer, (int)n, ch->out);
    }
    return nullptr;
}

// ---------------------------------------------------------------- client side

// State of the one client of this process.
struct CLIENT {
    int in_fd;                 // input pipe (to the daemon), read-write
    int out_fd;                // output pipe (from the daemon), non-blocking
    int interactive;           // terminal and no preset line
    int tty_saved;             // saved_tty holds the settings to restore
    struct termios saved_tty;  // terminal settings before character mode
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

// Reads one chunk of daemon output and shows it; ends the session when the
// daemon is gone or a signal arrived.
static void pump_output()
{
    ssize_t n = read(client.out_fd, out_buffer, CLIENT_READ_SIZE);
    if (n <= 0) {
        if (got_interrupt || got_timeout) {
            if (client.interactive)
                fprintf(stderr, got_interrupt ? "... interrupt\n" : "... interactive timeout\n");
        } else {
            fprintf(stderr, "Korvane: no peer available\n");
        }
        client_exit(0);
    }
    if (!(n == 1 && out_buffer[0] == 1))
        show_output(out_buffer, (int)n);
    if (client.interactive)
        alarm(INTERACTIVE_TIMEOUT);
}

// Writes a whole chunk to the input pipe. The pipe is non-blocking: when it
// is full the daemon is busy, possibly stuck writing output nobody reads,
// so the client reads and shows that output while it waits for room.
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
            client_exit(0);
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

// Sends a line without its zero bytes, in one write so that the daemon
// reads it as one piece.
static void send_line(const char *buf, int len)
{
    static char clean[CLIENT_LINE_SIZE + 1];
    int n = 0;
    for (int i = 0; i < len && n < CLIENT_LINE_SIZE; i++)
        if (buf[i] != '\0')
            clean[n++] = buf[i];
    send_to_daemon(clean, n);
}

// Ends a non-interactive session: everything the daemon wrote before the
// zero byte that answers "! clisync" is shown, then the client ends. When
// the answer takes longer than 50 waits of 10 ms, the client ends anyway
// and the rest stays in the pipe for the next session to discard.
[[noreturn]] static void synchronise()
{
    if (dmn.debug)
        fprintf(stderr, "sending clisync\n");
    send_to_daemon("! clisync\n", 10);
    int waits = 0;
    for (;;) {
        ssize_t n = read(client.out_fd, out_buffer, CLIENT_READ_SIZE);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (++waits > SYNC_WAITS)
                client_exit(0);
            struct timespec ts = {0, 10 * 1000 * 1000};
            nanosleep(&ts, nullptr);
            continue;
        }
        if (n <= 0)
            client_exit(0);
        show_output(out_buffer, (int)n);
        if (out_buffer[n - 1] == '\0') {
            if (dmn.debug)
                fprintf(stderr, "SYNC character received\n");
            client_exit(0);
        }
    }
}

// Discards output an earlier session left in the pipe.
static void drain_output()
{
    if (dmn.debug)
        fprintf(stderr, "clearing backend channel\n");
    for (;;) {
        ssize_t n = read(client.out_fd, out_buffer, CLIENT_READ_SIZE);
        if (n <= 0)
            break;
        if (dmn.debug)
            fprintf(stderr, "%d bytes removed\n", (int)n);
    }
    if (dmn.debug)
        fprintf(stderr, "backend channel is empty\n");
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
        if (nl != nullptr) {
            len = (int)(nl - input.buf) + 1;
        } else if (input.used == CLIENT_LINE_SIZE) {
            len = input.used;  // an overlong line goes in pieces, as fgets would
        } else if (input.eof && input.used > 0) {
            // The last line lacks its newline; without one the daemon would
            // join it with the "! clisync" that follows.
            input.buf[input.used++] = '\n';
            len = input.used;
        } else {
            break;
        }
        send_line(input.buf, len);
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
        send_to_daemon(text, len);
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

    if (preset != nullptr) {
        send_line(preset, (int)strlen(preset));
        synchronise();
    }
    if (client.interactive) {
        le_init(&editor, STDOUT_FILENO);
        character_mode();
        send_to_daemon("\n", 1);
    } else {
        drain_output();
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
