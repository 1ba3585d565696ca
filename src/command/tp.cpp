// The table printer used by the show commands.
#include "command/tp.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

#include "command/log.h"
#include "command/process.h"

TP *tp_new(FILE *out)
{
    TP *tp = static_cast<TP *>(calloc(1, sizeof(TP)));
    if (tp == nullptr) {
        log_message(0, "cannot malloc() TP");
        daemon_exit(EXIT_OSERR);
    }
    tp->out = out;
    return tp;
}

void tp_free(TP *tp)
{
    if (tp == nullptr)
        return;
    for (int r = 0; r < TP_MAXROW; r++)
        for (int c = 0; c < TP_MAXCOL; c++)
            free(tp->cell[r][c]);
    free(tp);
}

void tp_cell(TP *tp, const char *text)
{
    // A full row has its column one past the last; only a cell beyond it is
    // an overflow, which replaces the last cell, so a table that uses all
    // 16 columns prints without a warning.
    if (tp->col >= TP_MAXCOL) {
        log_message(4, "current_col exeeded TP_MAXCOL, please contact support");
        tp->col = TP_MAXCOL - 1;
    }
    if (text[0] == '#' && tp->row == 0) {
        text++;
        tp->right[tp->col] = true;
    }
    char *&slot = tp->cell[tp->row][tp->col];
    free(slot);
    slot = strdup(text);
    int len = (int)strlen(text);
    if (len > tp->width[tp->col])
        tp->width[tp->col] = len;
    tp->col++;
}

void tp_int(TP *tp, int value)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%d", value);
    tp_cell(tp, buf);
}

void tp_uint(TP *tp, unsigned value)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%u", value);
    tp_cell(tp, buf);
}

void tp_ipv4(TP *tp, const uint8_t addr[4])
{
    char buf[16];
    snprintf(buf, sizeof buf, "%d.%d.%d.%d", addr[0], addr[1], addr[2], addr[3]);
    tp_cell(tp, buf);
}

void tp_ipv6(TP *tp, const uint8_t addr[16])
{
    char buf[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, addr, buf, sizeof buf);
    tp_cell(tp, buf);
}

void tp_newrow(TP *tp)
{
    tp->col = 0;
    if (tp->row + 1 >= TP_MAXROW) {
        log_message(4, "current_row exeeded TP_MAXROW, please contact support");
        return;
    }
    tp->row++;
}

void tp_print(TP *tp)
{
    for (int r = 0; r < tp->row; r++) {
        fputs("  ", tp->out);
        for (int c = 0; c < TP_MAXCOL && tp->cell[r][c] != nullptr; c++) {
            if (tp->right[c])
                fprintf(tp->out, "%*s ", tp->width[c], tp->cell[r][c]);
            else
                fprintf(tp->out, "%-*s ", tp->width[c], tp->cell[r][c]);
        }
        fputc('\n', tp->out);
        if (r == 0) {
            fputs("  ", tp->out);
            for (int c = 0; c < TP_MAXCOL && tp->cell[0][c] != nullptr; c++) {
                if (tp->width[c] == 0)
                    fputc(' ', tp->out);
                for (int i = 0; i < tp->width[c]; i++)
                    fputc('-', tp->out);
                fputc(' ', tp->out);
            }
            fputc('\n', tp->out);
        }
    }
}
