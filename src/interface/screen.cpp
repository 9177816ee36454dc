// The terminal of the interface: taking it and giving it back, its size,
// reading keys and drawing whole screens.
//
// Raw mode is a pair: screen_open saves the attributes and screen_close puts
// them back, on every way out after a successful start. ISIG stays on, so the
// interrupt key raises SIGINT, whose handler only sets quit_requested; the
// handlers are installed without SA_RESTART so that a signal cuts the wait
// for a key short. Ctrl+Z gives the terminal back while the process is
// stopped and takes it again when it continues.
#include "interface.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

int tty_fd = -1;
int screen_rows = 0, screen_cols = 0;
bool colour_enabled = false;
volatile sig_atomic_t quit_requested = 0;

const char *style_reset = "", *style_bold = "", *style_dim = "", *style_key = "", *style_title = "",
           *style_header = "", *style_selected = "", *style_green = "", *style_yellow = "",
           *style_red = "", *style_grey = "";

namespace {

struct termios saved_termios;
volatile sig_atomic_t suspend_requested = 0;
// What SIGTSTP did before: a process told to ignore it is never suspended.
struct sigaction saved_tstp;

// Bytes read from the terminal but not yet decoded.
unsigned char pending[64];
size_t pending_len = 0;

// The last screen drawn, drawn again after a suspension.
textbuf last_screen;

const int key_wait_ms = 500;
const int escape_wait_ms = 40;
// How long a footer note stands.
const int note_ms = 3000;

void on_quit(int) { quit_requested = 1; }

// A fatal error (out of memory) ends the process through exit(): the
// terminal still goes back as it was.
void close_at_exit() { screen_close(); }
void on_suspend(int) { suspend_requested = 1; }

// Waits up to ms for input, the background work going on meanwhile: 1
// readable, 0 timeout or signal, -1 failure.
int wait_input(int ms) { return wait_ready(tty_fd, POLLIN, ms); }

// Appends what the terminal has ready to the pending bytes; false on end of
// input or a read error.
bool read_more()
{
    for (;;) {
        ssize_t r = read(tty_fd, pending + pending_len, sizeof pending - pending_len);
        if (r > 0) {
            pending_len += static_cast<size_t>(r);
            return true;
        }
        if (r < 0 && errno == EINTR)
            continue;
        return false;
    }
}

void write_out(const char *bytes, size_t n)
{
    // A failed write is not worth reporting: the next frame redraws it all.
    write_all(STDOUT_FILENO, bytes, n);
}

// Stops the process with the terminal given back, as the shell expects of a
// job it stops, and takes it again when the shell continues the job.
void suspend()
{
    suspend_requested = 0;
    restore_terminal();
    signal(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    catch_signal(SIGTSTP, on_suspend);
    enter_raw_mode();
    refresh_size();
    write_out(last_screen.data, last_screen.len);
}

void append_row(textbuf &b, const char *text)
{
    textbuf_printf(b, "%s│%s ", style_dim, style_reset);
    append_fitted(b, text, screen_cols - 4);
    textbuf_printf(b, " %s│%s\n", style_dim, style_reset);
}

} // namespace

void set_colour(bool on)
{
    colour_enabled = on;
    style_reset = on ? "\x1b[0m" : "";
    style_bold = on ? "\x1b[1m" : "";
    style_dim = on ? "\x1b[2m" : "";
    style_key = on ? "\x1b[1;32m" : "";
    style_title = on ? "\x1b[1;36m" : "";
    style_header = on ? "\x1b[1;33m" : "";
    style_selected = on ? "\x1b[7;1m" : "";
    style_green = on ? "\x1b[32m" : "";
    style_yellow = on ? "\x1b[33m" : "";
    style_red = on ? "\x1b[31m" : "";
    style_grey = on ? "\x1b[90m" : "";
}

bool screen_open()
{
    unique_fd fd(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    struct winsize ws;
    screen_rows = screen_cols = 0;
    if (ioctl(fd.get(), TIOCGWINSZ, &ws) < 0 || ws.ws_row == 0 || ws.ws_col == 0)
        return false;
    // Kept when the size is the reason, so that the caller can say so.
    screen_rows = ws.ws_row;
    screen_cols = ws.ws_col;
    if (screen_too_small())
        return false;
    if (tcgetattr(fd.get(), &saved_termios) < 0) {
        screen_rows = screen_cols = 0;
        return false;
    }
    tty_fd = fd.release();
    static bool exit_hook = false;
    if (!exit_hook && atexit(close_at_exit) == 0)
        exit_hook = true;
    set_colour(getenv("NO_COLOR") == nullptr);
    quit_requested = 0;
    suspend_requested = 0;
    pending_len = 0;
    // The quit key (Ctrl+\) too: its default action would leave the
    // terminal raw on the alternate screen.
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        catch_signal(sig, on_quit);
    sigaction(SIGTSTP, nullptr, &saved_tstp);
    if (saved_tstp.sa_handler != SIG_IGN)
        catch_signal(SIGTSTP, on_suspend);
    signal(SIGPIPE, SIG_IGN);
    enter_raw_mode();
    return true;
}

void enter_raw_mode()
{
    struct termios raw = saved_termios;
    raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | IXON);
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(tty_fd, TCSAFLUSH, &raw);
    write_out("\x1b[?1049h\x1b[?25l", 14);
}

void restore_terminal()
{
    tcsetattr(tty_fd, TCSAFLUSH, &saved_termios);
    write_out("\x1b[?25h\x1b[?1049l", 14);
}

void lend_terminal()
{
    restore_terminal();
    if (saved_tstp.sa_handler != SIG_IGN)
        signal(SIGTSTP, SIG_DFL);
}

void take_terminal_back()
{
    if (saved_tstp.sa_handler != SIG_IGN)
        catch_signal(SIGTSTP, on_suspend);
    enter_raw_mode();
}

void screen_close()
{
    if (tty_fd < 0)
        return;
    restore_terminal();
    // The suspension handler goes with the raw mode it protects.
    sigaction(SIGTSTP, &saved_tstp, nullptr);
    close(tty_fd);
    tty_fd = -1;
    textbuf_free(last_screen);
}

bool refresh_size()
{
    struct winsize ws;
    if (ioctl(tty_fd, TIOCGWINSZ, &ws) < 0 || ws.ws_row == 0 || ws.ws_col == 0)
        return false;
    if (ws.ws_row == screen_rows && ws.ws_col == screen_cols)
        return false;
    screen_rows = ws.ws_row;
    screen_cols = ws.ws_col;
    return true;
}

ui_key read_key(char text[5])
{
    text[0] = '\0';
    if (suspend_requested)
        suspend();
    if (pending_len == 0) {
        int r = wait_input(key_wait_ms);
        if (r == 0) {
            if (suspend_requested)
                suspend();
            return key_timeout;
        }
        if (r < 0 || !read_more())
            return key_error;
    }
    for (;;) {
        ui_key key;
        bool complete = pending_len == sizeof pending;
        size_t used = decode_key(pending, pending_len, complete, key, text);
        if (used == 0) {
            // The start of a longer key: the rest comes at once or never.
            if (wait_input(escape_wait_ms) <= 0 || !read_more())
                used = decode_key(pending, pending_len, true, key, text);
            else
                continue;
        }
        pending_len -= used;
        memmove(pending, pending + used, pending_len);
        return key;
    }
}

bool key_pending() { return pending_len > 0 || wait_input(0) > 0; }

frame::~frame() { frame_free(*this); }

void footer_note_set(footer_note &n, const char *fmt, ...)
{
    textbuf_clear(n.text);
    va_list ap;
    va_start(ap, fmt);
    textbuf_vprintf(n.text, fmt, ap);
    va_end(ap);
    n.until = monotonic_ms() + note_ms;
}

void footer_note_apply(footer_note &n, frame &f)
{
    // A screen that waits for a larger terminal keeps its one key in view.
    if (n.until == 0 || screen_too_small())
        return;
    if (monotonic_ms() >= n.until) {
        n.until = 0;
        return;
    }
    free(f.footer);
    f.footer = xasprintf("%s%s%s", style_bold, textbuf_str(n.text), style_reset);
}

void waiting_frame(frame &f, const char *title, const char *key, const char *word)
{
    frame_free(f);
    f.title = xstrdup(title);
    f.footer = xasprintf("%s%s%s %s", style_key, key, style_reset, word);
    char *notice = xasprintf("The terminal is smaller than %d×%d. Enlarge it to go on.", min_screen_cols,
                             min_screen_rows);
    strlist wrapped;
    wrap_text(notice, screen_cols - 5, wrapped);
    free(notice);
    strlist_push_copy(f.lines, "");
    for (size_t i = 0; i < wrapped.count; i++)
        push_formatted(f.lines, " %s", wrapped.items[i]);
}

void frame_free(frame &f)
{
    strlist_free(f.lines);
    free(f.title);
    free(f.right);
    free(f.footer);
    f.title = f.right = f.footer = nullptr;
    f.cursor_row = f.cursor_col = 0;
}

void draw_frame(const frame &f)
{
    textbuf &b = last_screen;
    textbuf_clear(b);
    textbuf_append_str(b, "\x1b[H");
    if (screen_rows < 5 || screen_cols < 10) {
        // No room for the borders and a row between them: what the body
        // says, as much of it as fits, and never a scrolled screen.
        textbuf_append_str(b, "\x1b[J");
        int shown = 0;
        for (size_t i = 0; i < f.lines.count && shown < screen_rows; i++) {
            if (!*f.lines.items[i])
                continue;
            if (shown++ > 0)
                textbuf_append_str(b, "\n");
            append_fitted(b, f.lines.items[i], screen_cols);
        }
        textbuf_append_str(b, "\x1b[?25l");
        write_out(b.data, b.len);
        return;
    }

    // Top border. The pieces are cut to the width, so that a long title
    // cannot push the border onto a second row.
    int inner = screen_cols - 2;
    textbuf right;
    if (f.right)
        textbuf_printf(right, " %s ─", f.right);
    int right_width = display_width(textbuf_str(right));
    if (right_width > inner) {
        textbuf_clear(right);
        right_width = 0;
    }
    textbuf title_piece, title_cell;
    textbuf_printf(title_piece, "─ %s ", f.title ? f.title : "");
    int title_width = display_width(textbuf_str(title_piece));
    if (title_width > inner - right_width)
        title_width = inner - right_width;
    append_fitted(title_cell, textbuf_str(title_piece), title_width);
    textbuf_printf(b, "%s┌%s%s%s", style_dim, style_title, textbuf_str(title_cell), style_dim);
    textbuf_append_repeated(b, "─", inner - title_width - right_width);
    textbuf_printf(b, "%s%s%s%s┐%s\n", style_reset, style_grey, textbuf_str(right), style_dim, style_reset);

    int body = screen_rows - 4;
    for (int i = 0; i < body; i++)
        append_row(b, static_cast<size_t>(i) < f.lines.count ? f.lines.items[i] : "");

    textbuf_printf(b, "%s├", style_dim);
    textbuf_append_repeated(b, "─", inner);
    textbuf_printf(b, "┤%s\n", style_reset);
    append_row(b, f.footer ? f.footer : "");
    textbuf_printf(b, "%s└", style_dim);
    textbuf_append_repeated(b, "─", inner);
    textbuf_printf(b, "┘%s\x1b[J", style_reset);

    if (f.cursor_row >= 1)
        textbuf_printf(b, "\x1b[%d;%dH\x1b[?25h", f.cursor_row + 1, f.cursor_col + 3);
    else
        textbuf_append_str(b, "\x1b[?25l");
    write_out(b.data, b.len);
}
