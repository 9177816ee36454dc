// The event log. Every step of lasting interest in a message's life becomes
// one journal entry with structured KELV_ fields, for `kelv log`, and a
// ready-made sentence, for ordinary journal tools. Both programs log under
// the identifier "kelv" with the same fixed code location, so entries do not
// depend on which file of which program wrote them.
#include "common.h"

#include <cstring>
#include <sys/stat.h>
#include <syslog.h>

namespace {

const char *or_empty(const char *s) { return s ? s : ""; }

bool is_one(const char *details) { return strcmp(details, "1") == 0; }

} // namespace

void channel_label(const char *channel, textbuf &out)
{
    textbuf_append_str(out, or_empty(channel));
}

bool event_describe(const char *kind, int64_t id, const char *user, const char *channel,
                    const char *details, const char *author, textbuf &out)
{
    long long n = static_cast<long long>(id);
    user = or_empty(user);
    details = or_empty(details);
    author = or_empty(author);
    textbuf chan;
    channel_label(channel, chan);
    const char *ch = textbuf_str(chan);

    if (strcmp(kind, "SENT") == 0)
        textbuf_printf(out, "message %lld sent by %s to: %s", n, author, details);
    else if (strcmp(kind, "DELIVERED") == 0 && *details)
        textbuf_printf(out, "message %lld delivered to %s (terminals written: %s)", n, user, details);
    else if (strcmp(kind, "DELIVERED") == 0)
        textbuf_printf(out, "message %lld delivered to %s (recovery)", n, user);
    else if (strcmp(kind, "NOT_DELIVERED") == 0 && *details)
        textbuf_printf(out, "message %lld: ERROR, copy for %s not written (%s)", n, user, details);
    else if (strcmp(kind, "NOT_DELIVERED") == 0)
        textbuf_printf(out, "message %lld: ERROR, copy for %s not written", n, user);
    else if (strcmp(kind, "CANCELLED") == 0)
        textbuf_printf(out, "message %lld: sending interrupted before it was saved, cancelled", n);
    else if (strcmp(kind, "RECOVERED") == 0 && is_one(details))
        textbuf_printf(out, "message %lld: delivery completed for 1 recipient after an interruption", n);
    else if (strcmp(kind, "RECOVERED") == 0)
        textbuf_printf(out, "message %lld: delivery completed for %s recipients after an interruption", n,
                       details);
    else if (strcmp(kind, "DELETED") == 0)
        textbuf_printf(out, "message %lld deleted by %s (older than %s)", n, author, details);
    else if (strcmp(kind, "REMINDED") == 0 && is_one(details))
        textbuf_printf(out, "message %lld: 1 recipient reminded by %s", n, author);
    else if (strcmp(kind, "REMINDED") == 0)
        textbuf_printf(out, "message %lld: %s recipients reminded by %s", n, details, author);
    else if (strcmp(kind, "REVOKED") == 0)
        textbuf_printf(out, "message %lld revoked by %s", n, author);
    else if (strcmp(kind, "POSTPONED") == 0)
        textbuf_printf(out, "user %s: postponed message %lld (%s)", user, n, ch);
    else if (strcmp(kind, "CONFIRMED") == 0)
        textbuf_printf(out, "user %s: confirmed reading message %lld (%s)", user, n, ch);
    else if (strcmp(kind, "CONFIRMATION_FAILED") == 0)
        textbuf_printf(out, "user %s: ERROR, confirmation of message %lld not recorded (%s): %s", user, n,
                       ch, *details ? details : "unknown error");
    else
        return false;
    return true;
}

void event(const char *kind, int64_t id, const char *user, const char *channel, const char *details,
           const char *author)
{
    // Details stay on one line, in the field and in the sentence.
    textbuf flat;
    textbuf_append_str(flat, "");
    for (const char *p = or_empty(details); *p; p++)
        textbuf_append_char(flat, *p == '\n' ? ' ' : *p);
    user = or_empty(user);
    channel = or_empty(channel);
    author = or_empty(author);

    textbuf sentence;
    if (!event_describe(kind, id, user, channel, flat.data, author, sentence))
        textbuf_append_str(sentence, kind);

    // libsystemd reports success when there is no journal socket at all, so
    // that case is detected here: the event must then reach syslog.
    const systemd_api *sd = systemd();
    struct stat st;
    int rc = -1;
    if (sd && stat("/run/systemd/journal/socket", &st) == 0 && S_ISSOCK(st.st_mode))
        rc = sd->journal_send_with_location(
            "CODE_FILE=src/event", "CODE_LINE=75", "event", "MESSAGE=%s", sentence.data,
            "SYSLOG_IDENTIFIER=kelv", "PRIORITY=6", "KELV_EVENT=%s", kind, "KELV_MESSAGE=%lld",
            static_cast<long long>(id), "KELV_USER=%s", user, "KELV_CHANNEL=%s", channel,
            "KELV_DETAILS=%s", flat.data, "KELV_AUTHOR=%s", author, nullptr);
    if (rc < 0) {
        openlog("kelv", 0, LOG_USER);
        syslog(LOG_INFO, "%s", sentence.data);
        closelog();
    }
}
