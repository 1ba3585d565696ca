// The `server` command family (settings of a virtual service while it is
// unregistered, the server block, `show servers`, `show server <n>`) and
// the small value parsers that the server and target commands share.
//
// The handlers cmd_server, show_servers and show_server are declared with
// every other handler in command/command_table.h and config/show.h; the
// block writer write_server_block in config/config_writer.h.
#pragma once

#include <cstdint>
#include <cstdio>

#include "config/object_types.h"

// `protocol` values in matching order, and their names by code.
extern const KEYWORD_CODE protocol_keywords[4];
const char *protocol_name(int32_t code);  // "any", "tcp", "udp", "sctp"

// The code of the first keyword of `table` that `word` abbreviates
// (keyword_match), or -1 when none does. Codes in the tables are >= 0.
int32_t keyword_code(const char *word, const KEYWORD_CODE *table, int count);

// An object number word: decimal digits read up to the first other
// character. Returns the number, or 0 when it has no leading digits or
// does not fit, so that callers report it as out of range.
int parse_index(const char *word);

// The forms `server` and `target` share, checked once the object number
// is known to be in range: a registered object refuses changes outside a
// reload, `<kind> <n> {` and `}` open and close the block, other
// three-word lines and other word counts are argument errors. Returns -1
// when the line is a subcommand to run now, else the command's result.
int object_command_prologue(int argc, char **argv, const char *kind, bool registered);

// A whole word of decimal digits with an optional sign; false for any
// other text (empty, trailing characters, out of the long range).
bool parse_long(const char *word, long *value);

// The digits at the start of a word read as a number (0 without digits),
// reduced modulo 65536: the rule for port numbers.
uint16_t port_number(const char *word);

// Writes a target list "1,2,(3),[4]": "%d" for an operational target,
// "(%d)" for an enabled one that is not operational, "[%d]" for one that
// is not enabled.
void format_target_list(char *out, size_t size, const int32_t *list, int count);
