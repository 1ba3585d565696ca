// Line helpers of the configuration writer.
#include "config/config_writer.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "command/interpreter.h"

void cw_word(FILE *out, const char *fmt, const char *word)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    fprintf(out, fmt, word);
#pragma GCC diagnostic pop
}

// cw_string's choice: quoted when a bare word would not read back as the
// text (empty, split at white space, taken for a comment).
static bool needs_quotes(const char *text)
{
    bool quote = text[0] == '\0' || strncmp(text, "//", 2) == 0;
    for (const char *p = text; *p != '\0' && !quote; p++)
        quote = isspace((unsigned char)*p) != 0;
    return quote;
}

void cw_string(FILE *out, const char *text)
{
    fprintf(out, needs_quotes(text) ? "\"%s\"" : "%s", text);
}

bool cw_text_fits(const char *text, size_t size, CWFORM form)
{
    // The field's copy, and room for that copy written with its quotes.
    char *kept = static_cast<char *>(malloc(2 * size + 4));
    if (kept == nullptr)
        return false;
    char *line = kept + size;
    snprintf(kept, size, "%s", text);
    bool quoted = form == CW_QUOTED || needs_quotes(kept);
    snprintf(line, size + 4, quoted ? "\"%s\"" : "%s", kept);
    // The words of a command line are taken before its handler runs, so
    // the tokenizer is free here.
    const char *word = next_word(line);
    bool fits = word != nullptr && strcmp(word, kept) == 0 && next_word(nullptr) == nullptr;
    free(kept);
    return fits;
}

int cw_text_refused(const char *text)
{
    return cmd_error("text %s cannot be saved (double quotes)\n", text);
}

void cw_close(FILE *out, const char *fmt)
{
    cw_word(out, fmt, "}");
    fputc('\n', out);
}

int cw_set_text(char *field, size_t size, const char *text, CWFORM form)
{
    if (strcmp(text, "none") == 0)
        text = "";
    if (!cw_text_fits(text, size, form))
        return cw_text_refused(text);
    snprintf(field, size, "%s", text);
    return 1;
}
