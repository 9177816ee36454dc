// The terminal prompt. It shows each pending message, asks on the
// controlling terminal, and records the answer. While the question waits it
// looks once a second whether it has become moot: confirmed elsewhere,
// revoked, or expired. It never changes the terminal's settings.
#include "user.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char rule[] = "────────────────────────────────────────";

// Message text comes from a file in the user's mailbox: it goes through the
// sanitizer like every other text bound for a terminal.
void print_clean(const char *text)
{
    textbuf clean;
    clean_text(text, strlen(text), clean);
    fwrite(textbuf_str(clean), 1, clean.len, stdout);
}

// Shows message n ahead of its question; false when there is nothing to
// ask: the copy is gone or confirmed since it was listed (settled in another
// terminal or on the desktop, or revoked). A copy that is there but cannot be
// parsed is asked about all the same.
bool show_message(int64_t n)
{
    char *path = xasprintf("%s/inbox/%lld", mailbox_dir, static_cast<long long>(n));
    message m;
    int rc = message_read(path, m);
    free(path);
    if (rc < 0)
        return copy_present(n) && !record_exists(n);
    textbuf heading;
    message_heading(m, heading);
    fputs("\n── Kelvora · Message from the administrator · ", stdout);
    print_clean(heading.data);
    fputs(" ──\n", stdout);
    print_clean(m.text);
    printf("%s\n", rule);
    return true;
}

void say(const char *line)
{
    printf("%s\n", line);
}

void asked_again()
{
    printf("[Kelvora] You will be asked again in %ld minutes.\n", static_cast<long>(settings.remind_minutes));
}

enum class wait_end { answered, moot };

// Whether the question about n has become moot: confirmed elsewhere, revoked
// or expired. Says so on a line of its own (after a newline, when the
// question still ends the line) and returns true; false when it still
// stands.
bool settled(int64_t n, bool question_open)
{
    // The copy first: a confirmation elsewhere writes its record before it
    // moves the copy, so a copy found gone together with a record was
    // confirmed, however the two looks fell around it.
    bool gone = !copy_present(n);
    const char *line = nullptr;
    if (record_exists(n)) {
        archive_copy(n);
        line = "[Kelvora] Message already confirmed elsewhere (for example on the desktop).";
    } else if (gone) {
        line = "[Kelvora] The administrator has revoked the message.";
    } else if (copy_expired(n)) {
        archive_copy(n);
        line = "[Kelvora] The message has expired.";
    }
    if (!line)
        return false;
    if (question_open)
        putchar('\n');
    say(line);
    return true;
}

// The question needs the terminal's usual line mode: an answer that ends
// with Enter, echoed. A shell that keeps its own raw mode while it runs its
// prompt hooks (fish does) gets line mode for the question and its own mode
// back afterwards; in line mode nothing is changed.
struct line_mode {
    int fd;
    struct termios saved;
    bool changed = false;

    explicit line_mode(int tty) : fd(tty)
    {
        if (tcgetattr(fd, &saved) < 0 || (saved.c_lflag & ICANON))
            return;
        struct termios t = saved;
        t.c_lflag |= ICANON | ECHO;
        t.c_iflag |= ICRNL;
        changed = tcsetattr(fd, TCSANOW, &t) == 0;
    }
    line_mode(const line_mode &) = delete;
    line_mode &operator=(const line_mode &) = delete;
    ~line_mode()
    {
        if (changed)
            tcsetattr(fd, TCSANOW, &saved);
    }
};

// Waits for a line on the terminal, watching the mailbox every second.
// Reports a moot question itself; fills answer (possibly empty) otherwise.
wait_end wait_for_answer(int64_t n, int tty, char *answer, size_t size)
{
    answer[0] = '\0';
    for (;;) {
        struct pollfd p = {tty, POLLIN, 0};
        int r = poll(&p, 1, 1000);
        if (r > 0) {
            ssize_t got = read(tty, answer, size - 1);
            answer[got > 0 ? got : 0] = '\0';
            return wait_end::answered;
        }
        if (r < 0 && errno != EINTR)
            return wait_end::answered;
        if (settled(n, true))
            return wait_end::moot;
    }
}

void ask(int64_t n, const char *channel)
{
    const char question[] = "[Kelvora] Do you confirm you have read the message? [y/N] ";
    int tty = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        fputs(question, stdout);
        fflush(stdout);
        postpone_message(n, "term");
        asked_again();
        return;
    }
    char answer[256];
    wait_end end;
    {
        // Line mode before the question shows: an answer typed at once must
        // already be read as a line.
        line_mode mode(tty);
        fputs(question, stdout);
        fflush(stdout);
        end = wait_for_answer(n, tty, answer, sizeof answer);
    }
    close(tty);
    if (end == wait_end::moot)
        return;
    if (answer[0] == 'y' || answer[0] == 'Y') {
        switch (confirm_message(n, channel)) {
        case confirm_recorded:
            say("[Kelvora] Confirmed.");
            break;
        case confirm_expired:
            say("[Kelvora] The message has expired: the confirmation was not recorded.");
            break;
        case confirm_revoked:
            say("[Kelvora] The administrator has revoked the message.");
            break;
        default:
            say("[Kelvora] The confirmation could not be recorded: you will be asked again.");
        }
    } else if (!settled(n, false)) {
        // Settled while the answer was typed: nothing to put off.
        postpone_message(n, "term");
        asked_again();
    }
}

} // namespace

int prompt(bool login)
{
    const char *tty = isatty(STDIN_FILENO) ? ttyname(STDIN_FILENO) : nullptr;
    if (!tty)
        return 0;
    if (strncmp(tty, "/dev/", 5) == 0)
        tty += 5;
    char *channel = xasprintf("terminal %s", tty);

    strlist pending;
    collect_pending(pending);
    int skipped = 0;
    for (size_t i = 0; i < pending.count; i++) {
        int64_t n;
        if (!parse_number(pending.items[i], n))
            continue;
        if (!login && recently_postponed(n, "term")) {
            skipped++;
            continue;
        }
        if (show_message(n))
            ask(n, channel);
        fflush(stdout);
    }
    if (skipped == 1)
        say("[Kelvora] You have 1 message from the administrator to confirm.");
    else if (skipped > 1)
        printf("[Kelvora] You have %d messages from the administrator to confirm.\n", skipped);
    free(channel);
    return 0;
}
