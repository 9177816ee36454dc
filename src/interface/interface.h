// The interactive interface: kelv's full-screen view of the sent messages,
// with search, revoke, remind and purge, the view of one message, and the
// form that writes and sends a new one.
//
// Invariants that hold for everything declared here:
//  - One screen is built as a frame of text lines and drawn with one write;
//    nothing else writes to the terminal while the interface runs.
//  - Every byte that a user could have written (titles, message text, names,
//    a command's error output) passes clean_text before it is drawn.
//  - Every change to the store runs in a forked child whose output is
//    captured: a fatal error ends only the child and shows in a dialog.
//  - After a successful screen_open the terminal is given back on every way
//    out, a signal included.
#pragma once

#include "reports/reports.h"

#include <csignal>
#include <vector>

// ---------------------------------------------------------------------------
// Screen and raw mode

// The terminal the interface runs on; -1 when it is not running.
extern int tty_fd;
extern int screen_rows, screen_cols;
extern bool colour_enabled;
// Set by SIGINT, SIGTERM and SIGHUP; every loop of the interface tests it.
extern volatile sig_atomic_t quit_requested;

// The styles put around text: the escape sequences with colour, all "" under
// NO_COLOR, so that the same code draws both.
extern const char *style_reset, *style_bold, *style_dim, *style_key, *style_title, *style_header,
    *style_selected, *style_green, *style_yellow, *style_red, *style_grey;
void set_colour(bool on);

// The smallest screen the interface draws on.
const int min_screen_cols = 80, min_screen_rows = 20;
// True when the screen, as last measured, is smaller than that.
inline bool screen_too_small() { return screen_cols < min_screen_cols || screen_rows < min_screen_rows; }

// Takes the controlling terminal: raw mode, alternate screen, hidden cursor.
// False, with nothing changed, when there is no terminal, it is smaller than
// the smallest screen or its attributes cannot be read; screen_cols and
// screen_rows then hold the size found when it was the reason, else 0.
bool screen_open();
// Gives the terminal back as screen_open found it.
void screen_close();
void enter_raw_mode();
void restore_terminal();
// Lends the terminal to a program in the foreground (the external editor):
// the normal screen and attributes, and Ctrl+Z stopping kelv together with
// that program, as a shell expects. take_terminal_back takes it again.
void lend_terminal();
void take_terminal_back();
// Reads the terminal size; true when it is readable, non-zero and new.
bool refresh_size();

enum ui_key : int {
    key_none = 0, // ignored input
    key_timeout,  // no key within 500 ms, or a signal
    key_error,    // the terminal cannot be read any more
    key_up,
    key_down,
    key_right,
    key_left,
    key_page_up,
    key_page_down,
    key_home,
    key_end,
    key_enter,
    key_escape,
    key_tab,
    key_shift_tab,
    key_backspace,
    key_delete,
    key_ctrl_e,
    key_ctrl_s,
    key_char, // its UTF-8 bytes are returned beside the code
};

// Decodes the key at the start of bytes[0, len) and returns how many bytes it
// takes (at least 1 when len > 0), with key set and, for key_char, text
// holding the character's bytes (else ""). Returns 0 when the bytes may be
// the start of a longer key, unless complete says that nothing more arrived
// within the escape timeout: then they are decoded as they stand. Unknown
// and truncated sequences decode as key_none.
size_t decode_key(const unsigned char *bytes, size_t len, bool complete, ui_key &key, char text[5]);
// Waits up to 500 ms for a key on the terminal; bytes as for decode_key.
ui_key read_key(char text[5]);
// True when input is already waiting: a screen typed into faster than it is
// drawn (a paste) may leave drawing until it has read what came.
bool key_pending();

// What one screen shows; body line k is drawn on screen row k + 2.
struct frame {
    strlist lines;
    char *title = nullptr;
    char *right = nullptr;  // the right end of the top border
    char *footer = nullptr; // the key legend
    int cursor_row = 0;     // 0: hidden; else body line + 1
    int cursor_col = 0;

    frame() = default;
    frame(const frame &) = delete;
    frame &operator=(const frame &) = delete;
    ~frame();
};
void frame_free(frame &f);
// Draws the whole screen in one write to standard output.
void draw_frame(const frame &f);
// The frame of a screen that waits for the terminal to grow to the smallest
// screen: its title, the one notice every screen gives, and in the footer
// the key that still acts and what it does. What the screen showed is kept
// by its caller, to be drawn again once the terminal is large enough.
void waiting_frame(frame &f, const char *title, const char *key, const char *word);

// A short note in the place of a screen's key legend, for a few seconds:
// why a key did nothing. The screen's other keys act meanwhile.
struct footer_note {
    textbuf text;
    int64_t until = 0; // monotonic_ms
};
void footer_note_set(footer_note &n, const char *fmt, ...) KELV_PRINTF(2, 3);
// Puts the note in f's footer while it lasts, unless f waits for a larger
// terminal; afterwards f keeps its own.
void footer_note_apply(footer_note &n, frame &f);

// ---------------------------------------------------------------------------
// Text on screen, in display columns (width_of): escape sequences take none.

inline int display_width(const char *text) { return width_of(text); }
// Appends text cut or padded to exactly width columns; a style never leaks
// past the cell, and a wide character cut in two leaves a blank.
void append_fitted(textbuf &out, const char *text, int width);
// Appends the text as lines of at most width columns, broken at blanks.
void wrap_text(const char *text, int width, strlist &out);
// Bytes [start, end) of a line.
struct text_span {
    size_t start;
    size_t end;
};
// The display lines of one line (no newline in it) as wrap_text breaks it,
// as byte ranges of the line; an empty line gives one empty range. A wide
// character that would stand across the end of a line starts the next.
void wrap_line(const char *line, int width, std::vector<text_span> &out);
void push_formatted(strlist &l, const char *fmt, ...) KELV_PRINTF(2, 3);
// Appends bytes that a user may have written, for one screen line: cleaned
// of control sequences, with tabs and newlines as blanks.
void append_clean_line(textbuf &out, const char *bytes, size_t len);

// ---------------------------------------------------------------------------
// Dialogs and operations

// Paints a box over the middle of the frame's body.
void overlay_box(frame &f, const char *title, const strlist &lines, const char *last_line);
// Draws a copy of f with the box and footer (taken over) on top.
void show_dialog(const frame &f, const char *title, const strlist &lines, const char *last_line,
                 char *footer);
// True when the user answers y.
bool confirm_dialog(const frame &f, const char *title, const strlist &lines);
// The text typed, or NULL when cancelled. Caller frees.
char *input_dialog(const frame &f, const char *title, const char *prompt, const char *initial);
// Shows the lines until a key is pressed ("any key to continue").
void notice_dialog(const frame &f, const char *title, const strlist &lines);
// Shows a command's output until a key is pressed.
void result_dialog(const frame &f, const char *title, const textbuf &output);

// A command of kelv with its arguments, run in a child by run_captured.
struct operation {
    int (*function)(int argc, char **argv);
    int argc;
    char **argv;
};

// run_captured's results besides an exit status.
const int run_not_started = -1; // no pipe or no child; errno says why
const int run_killed = -2;      // the child was ended by a signal

// Runs the operation in a child with input (or nothing) as its standard input
// and collects at most 1 MiB of its standard output and error. Returns its
// exit status, run_not_started or run_killed.
int run_captured(const operation &op, const textbuf *input, textbuf &output);
// run_captured, with a line added to the output for a failure that the
// output itself does not show: the child could not start, was killed, or
// failed without a word. Such a failure is never shown as done.
int run_reported(const operation &op, const textbuf *input, textbuf &output);
// run_reported, then the output in a result dialog titled title.
int run_and_show(const frame &f, const char *title, const operation &op, const textbuf *input = nullptr);

// ---------------------------------------------------------------------------
// Work in the background: the screen never waits for it

// Waits up to ms (ms < 0: as long as it takes) for fd to be ready for events,
// taking in the background work (the mailbox reads, the jobs) as it comes
// meanwhile. 1 when fd is ready, 0 when the time ran out or a signal came,
// -1 on failure.
int wait_ready(int fd, short events, int ms);
// Appends the descriptors of the background work; the longest to wait before
// background_advance, in milliseconds (-1: nothing runs).
int background_fds(std::vector<struct pollfd> &fds);
// Takes in what the background work brought, without waiting; true when
// something a screen shows may have changed.
bool background_advance();

// A command of kelv run in a child while the screen keeps answering keys: its
// output (at most 1 MiB) is collected until the child ends or its time runs
// out; then ended is set, overran when the child was killed at its limit.
struct background_job {
    child_process child;
    unique_fd out;
    unique_fd ended_fd; // readable once the child has ended (a pidfd), if any
    textbuf output;
    int64_t deadline = 0;
    bool running = false;
    bool ended = false;
    bool overran = false;
    int status = run_not_started; // as run_captured's

    background_job() = default;
    background_job(const background_job &) = delete;
    background_job &operator=(const background_job &) = delete;
    ~background_job();
};
// Starts op as the job (stopping what it ran before); false when it cannot.
bool job_start(background_job &j, const operation &op, int time_limit_ms);
// Kills the job's child, if it runs, and leaves it to be reaped later.
void job_stop(background_job &j);

// Ask, then remind or revoke message s and show the result; true when the
// dialog was shown. A message that cannot be reminded (revoked, expired, no
// recipient who has it without having confirmed) or revoked again gets no
// dialog: the note says why.
bool remind_dialog(const frame &f, const message_summary &s, footer_note &note);
bool revoke_dialog(const frame &f, const message_summary &s, footer_note &note);
void purge_dialog(const frame &f);

// ---------------------------------------------------------------------------
// The list of sent messages

// The list and the message view reload on every sixth timeout of 500 ms:
// about every 3 seconds while idle.
inline constexpr int timeouts_per_reload = 6;

struct message_list {
    message_summary **items = nullptr; // newest first
    size_t count = 0;
    size_t cap = 0;
    char loaded_at[16] = ""; // "%H:%M:%S" of the last load

    message_list() = default;
    message_list(const message_list &) = delete;
    message_list &operator=(const message_list &) = delete;
    ~message_list();
};
void message_list_free(message_list &l);

// Rebuilds the list from the store, keeping only the messages whose text or
// title contains search_text (ASCII letters in either case) when it is not
// empty.
void load_message_list(message_list &l, const char *search_text);
// Appends the body lines of the list screen for the current screen size.
void list_body(strlist &lines, const message_list &l, size_t selected, size_t top, const char *search_text);
// Builds the whole list screen.
void list_frame(frame &f, const message_list &l, size_t selected, size_t top, const char *search_text);
// Appends, when there is something to say, how many mailboxes are still
// being read and whose did not answer (their counts are as last read).
void mailbox_note(textbuf &out);
// Appends the 12-cell bar of confirmed, delivered and sent recipients.
void confirmation_bar(textbuf &out, int confirmed, int delivered, int sent);
// Appends "3 confirmed · 1 delivered" with each part in its state's colour.
void coloured_summary(textbuf &out, const message_summary &s);
void keys_dialog(const frame &f);
// "%H:%M:%S" of t in local time, or "?".
void format_clock(int64_t t, char out[16]);

// ---------------------------------------------------------------------------
// The view of one message

// Shows message n, its recipients and its history until the user goes back,
// the message disappears or the interface is asked to quit. loaded_at is the
// list's load time, the first "updated at" of the view.
void message_view(int64_t n, const char *loaded_at);

// ---------------------------------------------------------------------------
// The compose form

enum form_field { field_to = 0, field_title = 1, field_expires = 2, field_text = 3 };

// What the form holds. Offsets are byte offsets on character boundaries;
// the text always has at least one line and no line holds a newline.
struct compose_form {
    textbuf fields[3]; // To, Title, Expires
    strlist lines;     // the text, one string per line
    int field = field_to;
    size_t field_cursor = 0;
    size_t line = 0; // the insertion point in the text
    size_t column = 0;
    char *recipient_preview = nullptr; // the note beside To; NULL until computed

    compose_form() = default;
    compose_form(const compose_form &) = delete;
    compose_form &operator=(const compose_form &) = delete;
    ~compose_form();
};
void compose_form_free(struct compose_form &form);

// Runs the form until the message is sent (true), discarded or abandoned.
bool compose_form();
// Hands the text to the administrator's editor (VISUAL, EDITOR, nano, vi)
// and takes back what it saved; the text becomes the current field. Under
// sudo the editor runs as the account that called sudo, never as root in its
// place. True when the editor ran and its text was taken back; otherwise the
// text is as it was and problem says why.
bool edit_in_editor(struct compose_form &form, textbuf &problem);

// How a run of the interface went: it ran, or it could not start for want
// of a terminal (none, or one whose attributes cannot be read) or because
// the terminal is smaller than the smallest screen.
enum class interface_run { ran, no_terminal, too_small };
// Runs the interface until the administrator leaves it.
interface_run interactive_main();
