// The guide's entry and its interactive form: a full-screen frame with five
// tabs, scrolled with the keyboard.
//
// Between raw mode and its end the guide owns the terminal; every way out (a
// key, a signal, a read error, a terminal grown too small) goes through the
// one place that gives back the attributes and the primary screen.
#include "guide.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const int min_cols = 44, min_rows = 10;

struct tab {
    const char *name;
    const guide_table *table; // NULL: the Info tab
};
const tab tabs[] = {{"Info", nullptr},
                    {"Commands", &guide_commands},
                    {"Options", &guide_send_options},
                    {"Examples", &guide_examples},
                    {"Files", &guide_files}};
const int tab_count = sizeof tabs / sizeof *tabs;

volatile sig_atomic_t quit_requested = 0;
volatile sig_atomic_t suspend_requested = 0;
unique_fd tty;
// The attributes the guide found, given back on every way out and while the
// process is stopped.
struct termios saved_termios;
int current_tab = 0;
int scroll[tab_count];

void request_quit(int)
{
    quit_requested = 1;
}

void request_suspend(int)
{
    suspend_requested = 1;
}

void write_out(const char *s)
{
    write_all(STDOUT_FILENO, s, strlen(s));
}

void take_terminal()
{
    struct termios raw = saved_termios;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(tty.get(), TCSAFLUSH, &raw);
    write_out("\033[?1049h\033[?25l");
}

void give_terminal_back()
{
    tcsetattr(tty.get(), TCSAFLUSH, &saved_termios);
    write_out("\033[?25h\033[?1049l");
}

// Stops the process with the terminal given back, as the shell expects of a
// job it stops (the suspend key, Ctrl+Z), and takes it again on fg.
void suspend()
{
    suspend_requested = 0;
    give_terminal_back();
    catch_signal(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    catch_signal(SIGTSTP, request_suspend);
    take_terminal();
}

// Screen lines are strings whose first byte is the kind ('H', 'F', 'T').
void add_line(strlist &lines, char kind, const char *text)
{
    strlist_push(lines, xasprintf("%c%s", kind, text));
}

void add_wrapped(strlist &lines, const char *text, int indent, char kind = 'T')
{
    strlist wrapped;
    wrap_words(text, guide_cols - 4, indent, wrapped);
    for (size_t i = 0; i < wrapped.count; i++)
        add_line(lines, kind, wrapped.items[i]);
}

// Lines of the Info tab. The name and the closing line are wrapped rather
// than cut at the frame: cut, the closing line would hide the manual's path
// on an 80-column terminal, and the name would lose words at 44 columns. The
// path, which has a blank in it, then stands whole on a line of its own.
void build_info(strlist &lines)
{
    add_line(lines, 'H', "NAME");
    add_wrapped(lines, guide_short_name, 3);
    add_line(lines, 'T', "");
    add_line(lines, 'H', "SYNOPSIS");
    for (size_t i = 0; i < guide_synopsis_count; i++) {
        char *line = xasprintf("   %s", guide_synopsis[i]);
        add_line(lines, 'T', line);
        free(line);
    }
    add_line(lines, 'T', "");
    add_line(lines, 'H', "DESCRIPTION");
    add_wrapped(lines, guide_description, 3);
    add_line(lines, 'T', "");
    char *closing = guide_closing_line();
    if (3 + guide_text_width(closing) <= static_cast<size_t>(guide_cols - 4)) {
        add_wrapped(lines, closing, 3);
    } else {
        closing[strlen(closing) - strlen(guide_user_manual)] = '\0';
        add_wrapped(lines, closing, 3);
        char *path = xasprintf("   %s", guide_user_manual);
        add_line(lines, 'T', path);
        free(path);
    }
    free(closing);
}

void build_table(const guide_table &table, strlist &lines)
{
    add_line(lines, 'H', table.heading);
    add_line(lines, 'T', "");
    for (size_t i = 0; i < table.count; i++) {
        if (i > 0)
            add_line(lines, 'T', "");
        char *term;
        const char *description;
        split_entry(table.entries[i], &term, &description);
        // A term wider than the frame (an example on a narrow terminal)
        // goes on over more lines instead of losing its end.
        add_wrapped(lines, term, 1, 'F');
        free(term);
        add_wrapped(lines, description, 4);
    }
}

// The tab bar between the frame's sides. The current tab shows in reverse,
// or between ">" and "<" without styles. When the padded names do not fit
// (they need 42 columns, more than a 44- or 45-column frame has inside) the
// other tabs lose their padding and are set apart by single blanks instead.
void draw_tab_bar(textbuf &b)
{
    int inner = guide_cols - 4, padded = 0;
    for (const tab &t : tabs)
        padded += static_cast<int>(guide_text_width(t.name)) + 2;
    bool roomy = padded <= inner;

    textbuf_printf(b, "%s│%s ", guide_style_dim, guide_style_reset);
    int used = 0;
    for (int i = 0; i < tab_count; i++) {
        if (!roomy && i > 0) {
            textbuf_append_char(b, ' ');
            used++;
        }
        const char *name = tabs[i].name;
        int width = static_cast<int>(guide_text_width(name));
        if (i == current_tab && !*guide_style_reverse) {
            textbuf_printf(b, ">%s<", name);
            width += 2;
        } else if (i == current_tab) {
            textbuf_printf(b, "%s %s %s", guide_style_reverse, name, guide_style_reset);
            width += 2;
        } else if (roomy) {
            textbuf_printf(b, "%s %s %s", guide_style_dim, name, guide_style_reset);
            width += 2;
        } else {
            textbuf_printf(b, "%s%s%s", guide_style_dim, name, guide_style_reset);
        }
        used += width;
    }
    textbuf_printf(b, "%*s %s│%s\n", inner > used ? inner - used : 0, "", guide_style_dim,
                   guide_style_reset);
}

void draw_footer(textbuf &b, int first, int last, size_t total)
{
    size_t inner = static_cast<size_t>(guide_cols - 4);
    textbuf text;
    textbuf_append_str(text, guide_key_help);
    char position[64];
    snprintf(position, sizeof position, "lines %d-%d/%zu", first, last, total);
    size_t help_width = guide_text_width(guide_key_help), position_width = strlen(position);
    if (inner >= help_width + position_width + 3)
        textbuf_printf(text, "%*s%s", static_cast<int>(inner - help_width - position_width), "", position);
    textbuf_printf(b, "%s│ ", guide_style_dim);
    textbuf_append_cell(b, textbuf_str(text), static_cast<int>(inner));
    textbuf_printf(b, " │%s\n", guide_style_reset);
}

bool read_size(int &cols, int &rows)
{
    struct winsize ws = {};
    if (ioctl(tty.get(), TIOCGWINSZ, &ws) < 0 || ws.ws_col == 0 || ws.ws_row == 0)
        return false;
    cols = ws.ws_col;
    rows = ws.ws_row;
    return true;
}

void apply_key(guide_key k)
{
    int &pos = scroll[current_tab];
    int page = guide_rows - 7;
    switch (k) {
    case guide_key::next_tab: current_tab = (current_tab + 1) % tab_count; break;
    case guide_key::prev_tab: current_tab = (current_tab + tab_count - 1) % tab_count; break;
    case guide_key::tab_1: case guide_key::tab_2: case guide_key::tab_3: case guide_key::tab_4:
    case guide_key::tab_5:
        current_tab = static_cast<int>(k) - static_cast<int>(guide_key::tab_1);
        break;
    case guide_key::down: pos++; break;
    case guide_key::up: pos--; break;
    case guide_key::page_down: pos += page; break;
    case guide_key::page_up: pos -= page; break;
    case guide_key::first_line: pos = 0; break;
    case guide_key::last_page: pos = 999999; break; // clamped by the next draw
    case guide_key::none: case guide_key::quit: break;
    }
}

void key_loop()
{
    guide_draw();
    for (;;) {
        int c = guide_read_byte(300);
        if (c == -2)
            return;
        if (c == -1) {
            if (quit_requested)
                return;
            bool resumed = suspend_requested;
            if (resumed)
                suspend();
            int cols, rows;
            if (!read_size(cols, rows) || (cols == guide_cols && rows == guide_rows)) {
                if (resumed)
                    guide_draw();
                continue;
            }
            guide_cols = cols;
            guide_rows = rows;
            if (cols < min_cols || rows < min_rows)
                return;
            guide_draw();
            continue;
        }
        guide_key k = guide_decode_key(c, guide_read_byte);
        if (quit_requested || k == guide_key::quit)
            return;
        apply_key(k);
        guide_draw();
    }
}

// The interactive guide on the open terminal, whose attributes are saved.
void run_interactive(const struct termios &saved, bool styled)
{
    guide_style_init(styled);
    current_tab = 0;
    for (int &s : scroll)
        s = 0;
    quit_requested = 0;
    suspend_requested = 0;
    saved_termios = saved;

    // The quit key (Ctrl+\) too: its default action would leave the
    // terminal raw on the alternate screen.
    struct sigaction old[4], old_tstp;
    const int signals[4] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
    for (int i = 0; i < 4; i++)
        catch_signal(signals[i], request_quit, &old[i]); // a signal ends the wait at once
    // A process told to ignore SIGTSTP is never suspended.
    sigaction(SIGTSTP, nullptr, &old_tstp);
    if (old_tstp.sa_handler != SIG_IGN)
        catch_signal(SIGTSTP, request_suspend);

    take_terminal();
    key_loop();
    give_terminal_back();

    tty.reset();
    for (int i = 0; i < 4; i++)
        sigaction(signals[i], &old[i], nullptr);
    sigaction(SIGTSTP, &old_tstp, nullptr);
}

} // namespace

int guide_read_byte(int timeout_ms)
{
    struct pollfd p = {tty.get(), POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r < 0)
        return errno == EINTR ? -1 : -2;
    if (r == 0)
        return -1;
    unsigned char c;
    ssize_t got = read(tty.get(), &c, 1);
    if (got == 1)
        return c;
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return -1;
    return -2; // an error, or end of file on a terminal that hung up
}

guide_key guide_decode_key(int first, int (*read_byte)(int timeout_ms))
{
    switch (first) {
    case '\t': case '\r': case '\n': case 'l': return guide_key::next_tab;
    case 'h': return guide_key::prev_tab;
    case '1': case '2': case '3': case '4': case '5':
        return static_cast<guide_key>(static_cast<int>(guide_key::tab_1) + first - '1');
    case 'j': return guide_key::down;
    case 'k': return guide_key::up;
    case ' ': return guide_key::page_down;
    case 'b': return guide_key::page_up;
    case 'g': return guide_key::first_line;
    case 'G': return guide_key::last_page;
    case 'q': case 'Q': return guide_key::quit;
    case '\033': break;
    default: return guide_key::none;
    }

    int second = read_byte(50);
    if (second < 0)
        return guide_key::quit; // a lone Esc
    if (second != '[' && second != 'O')
        return guide_key::none;
    int third = read_byte(50);
    switch (third) {
    case 'A': return guide_key::up;
    case 'B': return guide_key::down;
    case 'C': return guide_key::next_tab;
    case 'D': case 'Z': return guide_key::prev_tab;
    case 'F': return guide_key::last_page;
    case 'H': return guide_key::first_line;
    }
    if (second != '[' || third < '0' || third > '9')
        return guide_key::none;
    // "ESC [ digits ~": read to the end (bounded), the first digit decides.
    for (int i = 0; i < 16; i++) {
        int c = read_byte(50);
        if (c < 0 || c == '~')
            break;
    }
    switch (third) {
    case '1': case '7': return guide_key::first_line;
    case '4': case '8': return guide_key::last_page;
    case '5': return guide_key::page_up;
    case '6': return guide_key::page_down;
    default: return guide_key::none;
    }
}

void guide_draw()
{
    strlist lines;
    const tab &t = tabs[current_tab];
    if (t.table)
        build_table(*t.table, lines);
    else
        build_info(lines);

    int rows = guide_rows - 6;
    int largest = static_cast<int>(lines.count) - rows;
    if (largest < 0)
        largest = 0;
    int &pos = scroll[current_tab];
    pos = pos < 0 ? 0 : pos > largest ? largest : pos;

    textbuf b;
    textbuf_append_str(b, "\033[H");
    draw_rule(b, "┌", "┐", guide_frame_label);
    textbuf_append_char(b, '\n');
    draw_tab_bar(b);
    draw_rule(b, "├", "┤", nullptr);
    textbuf_append_char(b, '\n');
    for (int r = 0; r < rows; r++) {
        size_t i = static_cast<size_t>(pos + r);
        if (i < lines.count)
            draw_box_line(b, lines.items[i][0], lines.items[i] + 1);
        else
            draw_box_line(b, 'T', "");
        textbuf_append_char(b, '\n');
    }
    draw_rule(b, "├", "┤", nullptr);
    textbuf_append_char(b, '\n');
    int last = pos + rows < static_cast<int>(lines.count) ? pos + rows : static_cast<int>(lines.count);
    draw_footer(b, pos + 1, last, lines.count);
    draw_rule(b, "└", "┘", nullptr);
    textbuf_append_str(b, "\033[J");
    write_all(STDOUT_FILENO, b.data, b.len);
}

void show_guide()
{
    bool styled = getenv("NO_COLOR") == nullptr;
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        write_manual(stdout, false, 80);
        return;
    }
    tty.reset(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    int cols = 0, rows = 0;
    bool sized = tty.valid() && read_size(cols, rows);
    struct termios saved;
    if (!sized || cols < min_cols || rows < min_rows || tcgetattr(tty.get(), &saved) < 0) {
        tty.reset();
        page_manual(sized ? cols : 80, styled);
        return;
    }
    guide_cols = cols;
    guide_rows = rows;
    run_interactive(saved, styled);
}
