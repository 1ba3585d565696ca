// Line helpers of the configuration writer.
#include "config/config_writer.h"

#include <cctype>

void cw_word(FILE *out, const char *fmt, const char *word)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    fprintf(out, fmt, word);
#pragma GCC diagnostic pop
}

void cw_string(FILE *out, const char *text)
{
    bool blank = text[0] == '\0';
    for (const char *p = text; *p != '\0' && !blank; p++)
        blank = isspace((unsigned char)*p) != 0;
    fprintf(out, blank ? "\"%s\"" : "%s", text);
}

void cw_close(FILE *out, const char *fmt)
{
    cw_word(out, fmt, "}");
    fputc('\n', out);
}
