// The texts of the guide. The manual page, the interactive guide and the
// documents generated at build time all read them from here.
//
// KELVORA_DOC_DIR is where the installation puts the HTML manual; every
// installed path the texts name comes from it.
#include "guide.h"
#include "core/core.h"

#ifndef KELVORA_DOC_DIR
#define KELVORA_DOC_DIR "/usr/local/share/doc/kelvora"
#endif
#define USER_MANUAL KELVORA_DOC_DIR "/User Manual.html"

const char *const guide_manual_name =
    "kelv — sends messages to the users of the machine and tracks their read confirmation";
const char *const guide_short_name = "kelv — messages to users with read confirmation";
const char *const guide_description =
    "Kelvora lets administrators send text messages to the users of the machine and know who has "
    "read them. Messages appear in terminals (console, ssh, desktop terminals, tmux) and on the "
    "desktop, in a dialog with the buttons «I have read it» and «Later»; whoever is not logged in "
    "finds them at the next login. Every message asks for a read confirmation and Kelvora asks "
    "again until the user gives it, without ever blocking their work. The command is reserved to "
    "administrators (sudo or wheel group) and re-runs itself with sudo.";
const char *const guide_user_manual = USER_MANUAL;
const char *const guide_closing_format = "Kelvora %s · complete manual: " USER_MANUAL;
const char *const guide_see_also = "wall(1), write(1), and the user manual in " USER_MANUAL;
const char *const guide_frame_label = "kelv — guide";
const char *const guide_key_help = "←/→ tabs · ↑/↓ scroll · PgUp/PgDn · g/G · q quit";

const char *const guide_synopsis[] = {
    "kelv send --to DEST [options] [TEXT]",
    "kelv list [--json]",
    "kelv status ID [--json]",
    "kelv",
    "kelv revoke ID",
    "kelv remind ID",
    "kelv log ID [--json]",
    "kelv purge DURATION",
    "kelv version",
};
const size_t guide_synopsis_count = sizeof guide_synopsis / sizeof *guide_synopsis;

// A table of the entries array, and the paragraph before them if one follows.
#define TABLE(section, heading, entries, ...) \
    {section, heading, entries, sizeof entries / sizeof *entries __VA_OPT__(, ) __VA_ARGS__}

static const char *const commands[] = {
    "(no command)¦In a terminal, opens the interactive interface: the messages with their "
    "recipients, history and text; write and send, revoke, remind, delete old messages. In a pipe "
    "or a terminal under 80×20, shows this guide.",
    "send [options] [TEXT]¦Sends a message to the recipients given with --to. Without TEXT or "
    "--file, the text is read from stdin.",
    "list [--json]¦Lists the messages sent, with how many recipients have confirmed each one.",
    "status ID [--json]¦Shows the text of the message and the state of each recipient: sent, delivered (in "
    "their mailbox) or confirmed, with date, time and channel.",
    "revoke ID¦Revokes a message: whoever has not seen it yet will not see it, and dialogs and "
    "questions still open close by themselves.",
    "remind ID¦Reminds whoever has not confirmed yet: the question comes back at their next prompt "
    "and the dialog reappears on the desktop, even if they had postponed it.",
    "log ID [--json]¦Shows the history of the message from the system log: sending, deliveries, "
    "postponements, confirmations and revocation, with date and time.",
    "purge DURATION¦Deletes the messages sent more than DURATION ago (for example 90d), with the "
    "copies and confirmations in the users' mailboxes; the events stay in the system log.",
    "version¦Shows the Kelvora version.",
    "help, --help, -h¦Shows this guide.",
};
const guide_table guide_commands = TABLE("COMMANDS", "Commands", commands);

static const char *const send_options[] = {
    "--to DEST¦Recipients, separated by commas without spaces: a user (tobin), a Unix group "
    "(@developers), all (every human user) or online (only those logged in now).",
    "--title TITLE¦Title shown in the message header and in the desktop dialog.",
    "--expires DURATION¦Expiry, after which the message is no longer shown: 30m, 2h, 3d or 1w "
    "(minutes, hours, days or weeks from now), or a date and time (\"2026-10-04 12:00\"). send "
    "and status show the time it comes to.",
    "--file FILE¦Reads the message text from FILE.",
    "--json¦Reports the send as one JSON document (see JSON OUTPUT). Taken anywhere before --; after "
    "--, it is a word of the text.",
};
const guide_table guide_send_options = TABLE("SEND OPTIONS", "Send options", send_options);

static const char *const json_output[] = {
    "Format¦With --json, send, list, status and log print one JSON document on one line of standard "
    "output. Times are seconds since the epoch (UTC); a missing value is null. Strings are as stored, "
    "even what the text reports clean away: every character outside ASCII is written as a \\u "
    "escape and every byte that is not UTF-8 as U+FFFD, so the document itself is safe on a terminal, "
    "while the strings printed raw are not. Errors stay one line on standard error, with status 1.",
    "kelv send --json¦message (its number), expires (the expiry the send computed, or null), revoked "
    "(the send was stopped by a revocation) and "
    "recipients, each with user, delivered (true or false), terminals (written to, when delivered) "
    "and reason (why not: \"no such user\", \"the copy could not be written\", which the next kelv "
    "command retries, or \"revoked while sending\"). A partial delivery prints the document, then "
    "its error.",
    "kelv list --json¦messages, oldest first, each with number, date, author, title, expires, "
    "cancelled, first_line (of the text), revoked, expired, and how many recipients are in each "
    "state: confirmed, delivered and sent. A send cancelled before it was saved has its number, "
    "cancelled true and null elsewhere.",
    "kelv status ID --json¦number, date, author, title, expires, expired, revoked, revoked_at (null "
    "when its time cannot be read), incomplete (a send still to be finished), text and recipients, "
    "each with user, state (\"sent\", \"delivered\" or \"confirmed\"), confirmed_at and channel "
    "(of the confirmation that counts), late (a confirmation made after the expiry), terminals "
    "(written to), postponed_at (the latest postponement) and given_up (no copy, and no more tries).",
    "kelv log ID --json¦number, date, author, title, expires and events, in the journal's order, "
    "or null when the journal cannot be read; each event has time, event (SENT, DELIVERED, "
    "CONFIRMED...), user, channel, details, author, message (the journal's own text), trusted "
    "(written by the program expected) and uid (the writer's, when not trusted).",
};
const guide_table guide_json_output = TABLE("JSON OUTPUT", "JSON output", json_output);

const guide_table guide_interface = {
    "INTERACTIVE INTERFACE", "Interactive interface", nullptr, 0,
    "kelv without a command, in a terminal of at least 80 columns and 20 rows, opens a full-screen "
    "interface on the messages sent: the list, newest first, each message with a bar and the counts "
    "of the recipients who have confirmed it, have it without having confirmed yet, or have not "
    "received it yet. The list and an opened message update themselves every 3 seconds; mailboxes "
    "and history are read in the background, so that no key ever waits for them. Revoke, remind and "
    "delete ask before they act and show their result in a box. A key that cannot act on a message "
    "(m on a revoked or expired one or one that nobody has left to confirm, r on a revoked one) says "
    "why at the foot of the screen for a few seconds. A terminal made smaller than 80×20 makes the "
    "screen wait, with the selection, the pane and what was typed kept, until it is large enough "
    "again; kelv started in one shows this guide instead and then says why. NO_COLOR turns the "
    "colours off."};

static const char *const list_keys[] = {
    "↑ ↓ PgUp PgDn¦move through the list, Home/End to its ends",
    "Enter¦open the message: recipients, history and text",
    "n¦write and send a new message",
    "r¦revoke the selected message",
    "m¦remind whoever has not confirmed",
    "p¦delete old messages",
    "/¦search by text or title; Esc shows all again",
    "q¦quit",
};
const guide_table guide_list_keys = TABLE(
    nullptr, "The list", list_keys,
    "The first screen: every message sent, newest first, the selected one highlighted. ? shows "
    "these keys.");

static const char *const view_keys[] = {
    "Tab, Shift+Tab¦the next, the previous pane: recipients, history, text",
    "↑ ↓ PgUp PgDn¦scroll the pane",
    "r, m¦revoke, remind, as in the list",
    "Esc, q¦back to the list",
};
const guide_table guide_view_keys = TABLE(
    nullptr, "The message view", view_keys,
    "Enter opens the selected message: its title, date, author, expiry and revocation, the first "
    "lines of its text, and one of three panes: the recipients, each with their state; the history "
    "from the system log, as kelv log prints it; the whole text.");

static const char *const form_keys[] = {
    "Tab, Shift+Tab¦next, previous field, round the four",
    "↑ ↓, Enter¦previous, next field; in the text: line up, line down, new line",
    "← → Home End Backspace Delete¦edit the field, or the text across its lines",
    "Ctrl+E¦edit the text in the external editor: VISUAL, else EDITOR, else nano, else vi (see "
    "ENVIRONMENT); what it saves comes back into the form",
    "Ctrl+S¦send, once confirmed in a box",
    "Esc¦close the form; asks first once something was typed",
};
const guide_table guide_form_keys = TABLE(
    nullptr, "The form for a new message", form_keys,
    "n opens a form with the fields To (as --to), Title and Expires (as --expires) and the text. "
    "Leaving To shows how many users it names, or why it names nobody. The form checks nothing "
    "else: Ctrl+S asks, then runs kelv send with these values, so that every rule of send applies; "
    "a refusal is shown in a box and the form keeps everything typed.");

static const char *const screen_keys[] = {
    "Ctrl+C¦leave the interface at once; a message being written is lost",
    "Ctrl+Z¦suspend it with the terminal given back; fg brings it back",
};
const guide_table guide_screen_keys = TABLE(nullptr, "Every screen", screen_keys);

static const char *const examples[] = {
    "kelv send --to tobin \"Your account expires on Friday.\"¦Message with read confirmation to a "
    "single user.",
    "kelv send --to @developers --title Maintenance --file notice.txt¦Text taken from a file, with "
    "a title, to every member of the developers group.",
    "kelv send --to online --expires 15m \"Reboot at 13:00.\"¦Urgent notice to whoever is logged in "
    "now; after 15 minutes it is no longer shown or asked about.",
    "kelv send --to all --expires 3d \"New password policy.\"¦To every user; after three days it "
    "stops being shown.",
    "kelv list¦Which messages were sent and how many confirmations they have.",
    "kelv status 12¦Who confirmed message 12, when and from where.",
    "kelv log 12¦The history of message 12: sending, deliveries, postponements, confirmations.",
    "kelv status 12 --json | jq -r '.recipients[] | select(.state != \"confirmed\") | .user'¦Who has "
    "not confirmed message 12.",
    "kelv list --json | jq -r '.messages[] | select(.date < now - 3 * 86400 and .delivered + .sent > 0) "
    "| .number'¦The messages older than three days that some recipients have not confirmed.",
    "kelv purge 90d¦Deletes the messages older than 90 days, with copies and confirmations.",
    "kelv revoke 12¦Revokes message 12.",
    "kelv remind 12¦Asks again, right now, whoever has not confirmed message 12.",
};
const guide_table guide_examples = TABLE("EXAMPLES", "Examples", examples);

static const char *const files[] = {
    "/etc/kelvora/kelvora.conf¦Configuration: minutes before a postponed message is asked about "
    "again, check interval of the desktop agent.",
    "/var/lib/kelvora/¦The messages: sent/ (reference copies, root only) and users/USER/ (each "
    "user's mailbox, readable only by them and by root).",
    "sudo journalctl -t kelv¦The system log: sending, deliveries, confirmations and revocations.",
    USER_MANUAL "¦The complete user manual, to open in a browser.",
};
const guide_table guide_files = TABLE("FILES", "Files and log", files);

static const char *const environment[] = {
    "PAGER¦Pager used to page this guide when the terminal is too small for the interactive one "
    "(default: less). Like NO_COLOR, it reaches kelv only if sudo keeps it (env_keep in sudoers).",
    "NO_COLOR¦If set, disables colours.",
    "VISUAL, EDITOR¦The external editor of the interface's form (Ctrl+E): VISUAL, else EDITOR, "
    "either with its own options, else nano, else vi. Through sudo it runs as the account that "
    "called sudo, never as root, and not at all when that account cannot be found. Like PAGER, "
    "they reach kelv only if sudo keeps them (Defaults env_keep += \"VISUAL EDITOR\" in sudoers), "
    "or given on its command line where the sudoers allow it: sudo VISUAL=vim kelv.",
};
const guide_table guide_environment = TABLE("ENVIRONMENT", "Environment", environment);

static const char *const exit_status[] = {
    "0¦Completed successfully.",
    "1¦Error: the error message, starting with «kelv:», says which.",
};
const guide_table guide_exit_status = TABLE("EXIT STATUS", "Exit status", exit_status);

const guide_table *const guide_reference_tables[] = {
    &guide_commands,  &guide_send_options, &guide_json_output, &guide_interface,   &guide_list_keys,
    &guide_view_keys, &guide_form_keys,    &guide_screen_keys, &guide_examples,    &guide_files,
    &guide_environment, &guide_exit_status};
const size_t guide_reference_count = sizeof guide_reference_tables / sizeof *guide_reference_tables;

char *guide_closing_line()
{
    return xasprintf(guide_closing_format, kelv_version);
}
