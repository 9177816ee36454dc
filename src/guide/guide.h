// kelv's built-in documentation: the styling and layout toolkit, the texts and
// tables of the guide, the interactive five-tab guide, and the manual page
// printed or paged when there is no room for it.
//
// The same tables feed the generated manual page, HTML manual and shell
// completion at build time, so every form says the same thing.
#pragma once

#include "common/common.h"

#include <cstddef>
#include <cstdio>

// ---------------------------------------------------------------------------
// Styles: escape sequences inserted around text, or all "" when styling is
// off. Code that must still mark something tests whether a style is empty.

extern const char *guide_style_reset;
extern const char *guide_style_bold;
extern const char *guide_style_dim;
extern const char *guide_style_green;  // entry terms
extern const char *guide_style_yellow; // headings of the interactive guide
extern const char *guide_style_cyan;   // the label of a frame's top rule
extern const char *guide_style_reverse; // the selected tab

void guide_style_init(bool on);

// The terminal size the frame operations draw for.
extern int guide_cols;
extern int guide_rows;

// Columns on screen (width_of).
size_t guide_text_width(const char *s);
// Breaks text into lines of at most width columns, each starting with indent
// blanks, and appends them to out. The room for words is at least 24
// columns; a longer word stands alone, unbroken.
void wrap_words(const char *text, int width, int indent, strlist &out);
// A guide entry is "term¦description". term is a new copy (caller frees);
// description points into entry ("" without the bar).
void split_entry(const char *entry, char **term, const char **description);
// A horizontal frame line exactly guide_cols wide, with an optional label.
void draw_rule(textbuf &b, const char *left, const char *right, const char *label);
// One framed content line exactly guide_cols wide, no newline. kind is 'H'
// (heading), 'F' (entry term) or 'T' (plain text).
void draw_box_line(textbuf &b, char kind, const char *text);

// ---------------------------------------------------------------------------
// The texts

// A list of guide entries under one title, with a paragraph before them
// when the entries need one.
struct guide_table {
    const char *section; // title in the manual page: "COMMANDS"; NULL for a
                         // part of the section before, titled by heading
    const char *heading; // heading in the interactive guide: "Commands"
    const char *const *entries;
    size_t count;
    const char *intro = nullptr;
};

extern const char *const guide_manual_name;
extern const char *const guide_short_name;
extern const char *const guide_description;
extern const char *const guide_user_manual; // the HTML manual's installed path
extern const char *const guide_closing_format; // %s: the version; ends with the path
extern const char *const guide_see_also;
extern const char *const guide_frame_label;
extern const char *const guide_key_help;
extern const char *const guide_synopsis[];
extern const size_t guide_synopsis_count;

// Commands, send options, examples and files are also tabs 2 to 5.
extern const guide_table guide_commands;
extern const guide_table guide_send_options;
extern const guide_table guide_json_output;
extern const guide_table guide_examples;
extern const guide_table guide_files;
extern const guide_table guide_environment;
extern const guide_table guide_exit_status;
// The interactive interface: a paragraph, then the keys of each screen. The
// list's keys are also what its "?" shows.
extern const guide_table guide_interface;
extern const guide_table guide_list_keys;
extern const guide_table guide_view_keys;
extern const guide_table guide_form_keys;
extern const guide_table guide_screen_keys;
// Every table above, in the order of the manual page.
extern const guide_table *const guide_reference_tables[];
extern const size_t guide_reference_count;

// "Kelvora 0.2.0 · complete manual: ...". Caller frees.
char *guide_closing_line();

// ---------------------------------------------------------------------------
// The guide

// Shows the guide in the best form the terminal allows: the interactive
// guide, the manual through a pager, or the plain manual page on standard
// output when standard input or output is not a terminal. Never fails.
void show_guide();
// Writes the manual page, laid out for width clamped to 60..100 columns.
void write_manual(FILE *stream, bool styled, int width);
// Sends the manual through PAGER (else "less -R -F -X" when less is on PATH),
// or writes it on standard output when there is no pager or it cannot start.
void page_manual(int width, bool styled);
// Builds one full screen of the interactive guide and writes it at once.
void guide_draw();
// One byte from the terminal within timeout_ms; -1 when the time ran out or
// a signal interrupted the wait, -2 on an error.
int guide_read_byte(int timeout_ms);

// What a key does in the interactive guide.
enum class guide_key { none, next_tab, prev_tab, tab_1, tab_2, tab_3, tab_4, tab_5, down, up,
                       page_down, page_up, first_line, last_page, quit };

// Decodes the key that starts with byte first, reading the rest of an escape
// sequence through read_byte (as guide_read_byte) with 50 ms for each byte.
guide_key guide_decode_key(int first, int (*read_byte)(int timeout_ms));
