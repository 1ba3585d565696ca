// The pieces the configuration writer is made of. Every line starts with
// its first word put through the line format: "%-10s" in files, "  %-10s"
// on screen. Lines inside a block put an empty first word there; a block
// ends with "}" through the line format and a newline.
//
// The configuration writer (config_files.cpp) calls the block writers in
// the order of a saved file; the show item of each object kind uses the
// same block writer.
#pragma once

#include <cstdio>

constexpr const char *LINEFMT_FILE = "%-10s";
constexpr const char *LINEFMT_SCREEN = "  %-10s";

// The first word of a line through the line format.
void cw_word(FILE *out, const char *fmt, const char *word);
// A string setting: in double quotes when it contains white space, is
// empty or begins with "//" (which would start a comment), else bare.
void cw_string(FILE *out, const char *text);

// The two ways a text setting is written: always in double quotes (remark,
// init, alert, upalert, bscript, mscript), or by cw_string (names, host
// name, plugin).
enum CWFORM {
    CW_QUOTED = 0,
    CW_BARE_OR_QUOTED = 1,
};
// True when the text, as a field of `size` bytes keeps it and written in
// that form, reads back through the tokenizer as the same single word.
// The tokenizer has no escape, so a text with a double quote cannot be
// quoted: the commands that store a text setting refuse the texts a saved
// file could not load back.
bool cw_text_fits(const char *text, size_t size, CWFORM form);
// Reports such a text ("text %s cannot be saved (double quotes)") and
// returns 0, the command's failure result.
int cw_text_refused(const char *text);
// Stores a free-text setting: the exact word "none" clears it; any other
// text is kept (cut to the field) when cw_text_fits, else it is refused
// and the field stays as it was. Returns the command's result.
int cw_set_text(char *field, size_t size, const char *text, CWFORM form);
// The closing line of a block: "}" through the line format, then a newline.
void cw_close(FILE *out, const char *fmt);

// Block writers, one per object kind, written by the kind's own module.
void write_interface_block(FILE *out, const char *fmt, int n);  // network_commands.cpp
void write_vrrp_block(FILE *out, const char *fmt);              // network_commands.cpp
void write_network_block(FILE *out, const char *fmt, int n);    // network_commands.cpp
void write_gateway_block(FILE *out, const char *fmt);           // network_commands.cpp
void write_server_block(FILE *out, const char *fmt, int n);     // server_commands.cpp
void write_target_block(FILE *out, const char *fmt, int n);     // target_commands.cpp
void write_module_chain(FILE *out, const char *fmt);            // packet/chain.cpp
void write_filter_lists(FILE *out, const char *fmt);            // packet/filter_lists.cpp
void write_static_arps(FILE *out, const char *fmt);             // packet/arp.cpp
void write_ipdb(FILE *out, const char *fmt);                    // ipdb
void write_snatrange(FILE *out, const char *fmt);               // packet/snat.cpp
void write_tnat(FILE *out, const char *fmt);                    // packet (routing and NAT)
