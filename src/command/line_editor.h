// The interactive client's line editor and its history ring.
//
// The editor is a plain state record fed one byte at a time; everything it
// echoes goes to the record's echo descriptor, so the same code drives a
// terminal in `kvn control` and a memory file in the tests. The history is
// a ring of 1000 fixed slots; the slot at the newest index is the one being
// typed into, the lines that can be browsed run from the oldest index up to
// the slot before the newest.
#pragma once

constexpr int LE_MAXLINE = 32766;      // characters of the current line
constexpr int HIST_SLOTS = 1000;       // slots of the history ring
constexpr int HIST_LINESIZE = 32768;   // bytes per history slot

// Escape states of the editor.
enum LE_ESCAPE { LE_NORMAL = 0, LE_ESC = 1, LE_BRACKET = 2 };

// What one byte did to the editor.
enum LE_RESULT {
    LE_MORE = 0,   // keep feeding
    LE_LINE = 1,   // a line is finished: le_finished_text gives it
    LE_END = 2,    // ^D: end of session
};

struct HISTORY {
    char line[HIST_SLOTS][HIST_LINESIZE];  // the stored lines, NUL terminated
    int browse;                            // slot currently shown by up/down
    int oldest;                            // slot of the oldest stored line
    int newest;                            // slot the next line is stored in
};

struct LINEEDITOR {
    char line[LE_MAXLINE + 2];  // current line, NUL terminated
    int len;                    // characters in line
    int cursor;                 // cursor position, 0..len
    int escape;                 // LE_ESCAPE state
    int echo_fd;                // where echo goes; -1 for none
    HISTORY hist;               // the history ring
};

// Empties the line and the history and sets the echo descriptor. A zeroed
// record is already a valid empty editor apart from the descriptor.
void le_init(LINEEDITOR *e, int echo_fd);

// Feeds one byte; returns LE_MORE, LE_LINE or LE_END.
int le_feed(LINEEDITOR *e, unsigned char c);

// After LE_LINE: the text to send to the daemon, the line without a
// newline, or a single newline for an empty line.
const char *le_finished_text(const LINEEDITOR *e, int *len);

// After LE_LINE: enters the finished line in the history (the newline
// already stored it in the newest slot). A line equal to the one before it
// is not entered twice; an empty line is not entered at all.
void hist_enter(LINEEDITOR *e);

// Empties the current line (cursor to column 0, no echo).
void le_clear(LINEEDITOR *e);

// Number of history lines that up-arrow can reach.
int hist_count(const LINEEDITOR *e);
