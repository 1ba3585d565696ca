// The table printer: collects cells of up to 16 columns and 2000 rows and
// prints them aligned, with a dashed rule under the header row. A header
// cell beginning with "#" makes its column right-aligned.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int TP_MAXCOL = 16;
constexpr int TP_MAXROW = 2000;

struct TP {
    FILE *out;                          // stream tp_print writes to
    int row;                            // current row, from 0
    int col;                            // current column, from 0; TP_MAXCOL once a row is full
    int width[TP_MAXCOL];               // longest cell of each column
    bool right[TP_MAXCOL];              // right-aligned column
    char *cell[TP_MAXROW][TP_MAXCOL];   // owned cell texts, null when empty
};

TP *tp_new(FILE *out);
void tp_free(TP *tp);
void tp_cell(TP *tp, const char *text);
void tp_int(TP *tp, int value);
void tp_uint(TP *tp, unsigned value);
void tp_ipv4(TP *tp, const uint8_t addr[4]);
void tp_ipv6(TP *tp, const uint8_t addr[16]);
void tp_newrow(TP *tp);
// Prints the finished rows: row 0 up to the row before the current one.
void tp_print(TP *tp);
