// The interactive client's line editor and history ring.
//
// The terminal is in character mode, so the editor does its own echo:
// inserting in the middle of a line rewrites the rest of the line and
// walks the terminal cursor back with backspaces, deleting rewrites the
// rest and blanks the character that fell off the end. Echo is collected
// per byte fed and written in one go, which keeps a redraw of a long line
// from costing one system call per character.
#include "command/line_editor.h"

#include <cstring>
#include <unistd.h>

constexpr unsigned char KEY_BELL = 7;
constexpr unsigned char KEY_BS = 8;
constexpr unsigned char KEY_TAB = 9;
constexpr unsigned char KEY_NL = 10;
constexpr unsigned char KEY_CTRL_D = 4;
constexpr unsigned char KEY_CTRL_U = 21;
constexpr unsigned char KEY_CTRL_W = 23;
constexpr unsigned char KEY_ESC = 27;
constexpr unsigned char KEY_DEL = 127;

// Echo collected while one byte is handled.
struct ECHOBUF {
    int fd;              // destination, -1 for none
    int used;            // bytes in buf
    char buf[4096];      // pending echo
};

static void echo_flush(ECHOBUF *b)
{
    int off = 0;
    while (b->fd >= 0 && off < b->used) {
        ssize_t n = write(b->fd, b->buf + off, b->used - off);
        if (n <= 0)
            break;  // a terminal that went away; nothing sensible to do
        off += (int)n;
    }
    b->used = 0;
}

static void echo_byte(ECHOBUF *b, char c)
{
    if (b->used == (int)sizeof b->buf)
        echo_flush(b);
    b->buf[b->used++] = c;
}

static void echo_repeat(ECHOBUF *b, char c, int count)
{
    for (int i = 0; i < count; i++)
        echo_byte(b, c);
}

static void echo_text(ECHOBUF *b, const char *s, int len)
{
    for (int i = 0; i < len; i++)
        echo_byte(b, s[i]);
}

static int hist_prev(int i) { return i == 0 ? HIST_SLOTS - 1 : i - 1; }
static int hist_next(int i) { return i == HIST_SLOTS - 1 ? 0 : i + 1; }

void le_init(LINEEDITOR *e, int echo_fd)
{
    le_clear(e);
    e->escape = LE_NORMAL;
    e->echo_fd = echo_fd;
    // Only the slot terminators matter; the texts are overwritten on entry.
    for (int i = 0; i < HIST_SLOTS; i++)
        e->hist.line[i][0] = '\0';
    e->hist.browse = 0;
    e->hist.oldest = 0;
    e->hist.newest = 0;
}

void le_clear(LINEEDITOR *e)
{
    e->line[0] = '\0';
    e->len = 0;
    e->cursor = 0;
}

int hist_count(const LINEEDITOR *e)
{
    int n = e->hist.newest - e->hist.oldest;
    return n < 0 ? n + HIST_SLOTS : n;
}

// Wipes the shown line: back to column 0, blanks over it, back again.
static void erase_shown(LINEEDITOR *e, ECHOBUF *b)
{
    echo_repeat(b, KEY_BS, e->cursor);
    echo_repeat(b, ' ', e->len);
    echo_repeat(b, KEY_BS, e->len);
}

// Replaces the current line with a history slot, cursor at its end.
static void show_history(LINEEDITOR *e, ECHOBUF *b, int slot)
{
    erase_shown(e, b);
    const char *text = e->hist.line[slot];
    int len = (int)strnlen(text, LE_MAXLINE);
    memcpy(e->line, text, len);
    e->line[len] = '\0';
    e->len = len;
    e->cursor = len;
    echo_text(b, e->line, len);
}

// Deletes the character left of the cursor and redraws the rest.
static void delete_left(LINEEDITOR *e, ECHOBUF *b)
{
    if (e->cursor == 0)
        return;
    memmove(e->line + e->cursor - 1, e->line + e->cursor, e->len - e->cursor + 1);
    e->cursor--;
    e->len--;
    int rest = e->len - e->cursor;
    echo_byte(b, KEY_BS);
    echo_text(b, e->line + e->cursor, rest);
    echo_byte(b, ' ');
    echo_repeat(b, KEY_BS, rest + 1);
}

static void insert_char(LINEEDITOR *e, ECHOBUF *b, char c)
{
    if (e->len + 1 > LE_MAXLINE) {
        echo_byte(b, KEY_BELL);
        return;
    }
    memmove(e->line + e->cursor + 1, e->line + e->cursor, e->len - e->cursor + 1);
    e->line[e->cursor] = c;
    e->len++;
    int rest = e->len - e->cursor - 1;
    echo_text(b, e->line + e->cursor, rest + 1);
    echo_repeat(b, KEY_BS, rest);
    e->cursor++;
}

// Up, down, right and left after ESC "[".
static void bracket_key(LINEEDITOR *e, ECHOBUF *b, unsigned char c)
{
    HISTORY *h = &e->hist;
    switch (c) {
    case 'A':
        if (h->browse == h->oldest) {
            echo_byte(b, KEY_BELL);
            return;
        }
        h->browse = hist_prev(h->browse);
        show_history(e, b, h->browse);
        return;
    case 'B':
        if (h->browse == h->newest) {
            echo_byte(b, KEY_BELL);
            return;
        }
        h->browse = hist_next(h->browse);
        show_history(e, b, h->browse);
        return;
    case 'C':
        if (e->cursor < e->len)
            echo_byte(b, e->line[e->cursor++]);
        return;
    case 'D':
        if (e->cursor > 0) {
            echo_byte(b, KEY_BS);
            e->cursor--;
        }
        return;
    default:
        return;
    }
}

static int feed(LINEEDITOR *e, ECHOBUF *b, unsigned char c)
{
    if (e->escape == LE_ESC) {
        e->escape = c == '[' ? LE_BRACKET : LE_NORMAL;
        return LE_MORE;
    }
    if (e->escape == LE_BRACKET) {
        e->escape = LE_NORMAL;
        bracket_key(e, b, c);
        return LE_MORE;
    }
    if (c >= 32 && c < 127) {
        insert_char(e, b, (char)c);
        return LE_MORE;
    }
    switch (c) {
    case KEY_ESC:
        e->escape = LE_ESC;
        return LE_MORE;
    case KEY_TAB:
        // No completion: show the line again where it stands and say so.
        echo_repeat(b, KEY_BS, e->cursor);
        echo_text(b, e->line, e->len);
        echo_repeat(b, KEY_BS, e->len - e->cursor);
        echo_byte(b, KEY_BELL);
        return LE_MORE;
    case KEY_NL:
        memcpy(e->hist.line[e->hist.newest], e->line, e->len + 1);
        echo_byte(b, '\r');
        echo_byte(b, '\n');
        return LE_LINE;
    case KEY_CTRL_D:
        return LE_END;
    case KEY_CTRL_U:
        while (e->cursor > 0)
            delete_left(e, b);
        return LE_MORE;
    case KEY_CTRL_W:
        while (e->cursor > 0 && e->line[e->cursor - 1] == ' ')
            delete_left(e, b);
        while (e->cursor > 0 && e->line[e->cursor - 1] != ' ')
            delete_left(e, b);
        return LE_MORE;
    case KEY_BS:
    case KEY_DEL:
        delete_left(e, b);
        return LE_MORE;
    default:
        return LE_MORE;
    }
}

int le_feed(LINEEDITOR *e, unsigned char c)
{
    ECHOBUF b;
    b.fd = e->echo_fd;
    b.used = 0;
    int r = feed(e, &b, c);
    echo_flush(&b);
    return r;
}

const char *le_finished_text(const LINEEDITOR *e, int *len)
{
    if (e->len == 0) {
        *len = 1;
        return "\n";
    }
    *len = e->len;
    return e->line;
}

void hist_enter(LINEEDITOR *e)
{
    HISTORY *h = &e->hist;
    if (e->len == 0)
        return;
    int prev = hist_prev(h->newest);
    bool repeated = h->newest != h->oldest && strcmp(h->line[prev], h->line[h->newest]) == 0;
    if (!repeated) {
        h->newest = hist_next(h->newest);
        if (h->newest == h->oldest)
            h->oldest = hist_next(h->oldest);
    }
    h->line[h->newest][0] = '\0';
    h->browse = h->newest;
}
