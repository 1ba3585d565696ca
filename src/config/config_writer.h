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
// A string setting: in double quotes when it contains white space or is empty.
void cw_string(FILE *out, const char *text);
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
void write_snatrange(FILE *out, const char *fmt);               // balance
void write_tnat(FILE *out, const char *fmt);                    // packet (routing and NAT)
