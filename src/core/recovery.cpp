// The recovery pass, run at the start of almost every kelv command. It
// finishes what an interrupted send, revoke or purge left behind, guided by
// their markers. Every step is idempotent and a marker goes only after the
// work it stands for is done and flushed, so the pass itself may be
// interrupted and run again. A message whose lock is held is left to the
// process that holds it.
#include "core.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace {

void cancel_send(int64_t n)
{
    char *failed = sent_path(n, "failed");
    char text[32];
    int len = snprintf(text, sizeof text, "%lld\n", static_cast<long long>(now()));
    // The cancellation record comes first: a cancelled send must never look
    // like a finished one.
    write_file_atomic(failed, text, static_cast<size_t>(len), 0600);
    free(failed);
    remove_marker(n, "incomplete");
    event("CANCELLED", n, nullptr, nullptr, nullptr, nullptr);
    warnf("message %lld was interrupted before being saved and has been cancelled", static_cast<long long>(n));
}

// Gives up on delivering n to name: a line in the delivery log and a
// NOT_DELIVERED event that says so, once.
void give_up_delivery(int64_t n, const char *name)
{
    append_given_up(n, name);
    char details[48];
    snprintf(details, sizeof details, "given up after %d tries", tries_limit);
    event("NOT_DELIVERED", n, name, nullptr, details, nullptr);
}

void finish_send(int64_t n)
{
    strlist recipients;
    read_recipients(n, recipients);
    char *msg_path = sent_path(n, "msg");
    textbuf bytes;
    message m;
    bool saved = read_file(msg_path, MESSAGE_FILE_LIMIT, true, bytes) == 0 && bytes.len > 0 &&
                 message_parse(bytes.data, bytes.len, m) == 0 && recipients.count > 0;
    free(msg_path);
    if (!saved) {
        cancel_send(n);
        return;
    }
    // A revoked message is cleaned up by its revocation; an expired one is no
    // longer worth delivering.
    if (has_marker(n, "revoked") || message_expired(m, now())) {
        remove_marker(n, "incomplete");
        return;
    }

    strlist delivered, counts, given_up, newly_given_up;
    read_deliveries(n, delivered, counts);
    read_given_up(n, given_up);
    char *dir = sent_path(n, nullptr);
    int deliveries = 0, failures = 0;
    for (size_t i = 0; i < recipients.count; i++) {
        const char *name = recipients.items[i];
        if (strlist_contains(given_up, name))
            continue;
        bool had_line = strlist_contains(delivered, name);
        user_info u;
        if (!user_lookup(name, u) || !deliver_copy(u, n, bytes)) {
            // A mailbox that can never be written must not keep the send
            // open, and every later command delivering again, for ever.
            if (count_failed_try(dir, "deliver", name) < tries_limit) {
                failures++;
            } else if (!had_line) {
                give_up_delivery(n, name);
                strlist_push_copy(newly_given_up, name);
            }
            continue;
        }
        if (had_line)
            continue; // the copy is in place (or handled); nothing more to do
        append_delivery(n, name, 0);
        strlist_push_copy(delivered, name);
        event("DELIVERED", n, name, nullptr, nullptr, nullptr);
        start_agent(u);
        deliveries++;
    }

    free(dir);
    long long id = static_cast<long long>(n);
    warn_given_up(n, "delivery to", newly_given_up);
    if (!failures)
        close_send(n);
    if (deliveries) {
        char count[16];
        snprintf(count, sizeof count, "%d", deliveries);
        event("RECOVERED", n, nullptr, nullptr, count, nullptr);
        warnf("completed delivery of message %lld to %d recipients", id, deliveries);
    }
    if (failures)
        warnf("message %lld still not delivered to %d recipients (see kelv status %lld)", id, failures, id);
}

void finish_deletions()
{
    char *sent = xasprintf("%s/sent", var_dir);
    DIR *d = opendir(sent);
    if (!d) {
        free(sent);
        return;
    }
    strlist names;
    while (struct dirent *e = readdir(d))
        if (strncmp(e->d_name, ".deleting-", 10) == 0 && is_all_digits(e->d_name + 10))
            strlist_push_copy(names, e->d_name);
    closedir(d);
    for (size_t i = 0; i < names.count; i++) {
        int64_t n;
        if (!parse_number(names.items[i] + 10, n))
            continue;
        char *path = xasprintf("%s/%s", sent, names.items[i]);
        strlist given_up;
        finish_deletion(path, n, given_up);
        warn_given_up(n, "deletion of the files of", given_up);
        free(path);
    }
    free(sent);
}

} // namespace

void warn_given_up(int64_t n, const char *what, const strlist &names)
{
    for (size_t i = 0; i < names.count; i++)
        warnf("message %lld: %s %s failed %d times: given up", static_cast<long long>(n), what, names.items[i],
              tries_limit);
}

void recovery_pass()
{
    strlist numbers;
    if (list_sent_numbers(numbers) < 0)
        return;
    for (size_t i = 0; i < numbers.count; i++) {
        int64_t n;
        if (!parse_number(numbers.items[i], n))
            continue;
        if (!has_marker(n, "incomplete") && !has_marker(n, "revoking"))
            continue;
        unique_fd lock = lock_message(n, true);
        if (!lock.valid())
            continue;
        if (has_marker(n, "incomplete"))
            finish_send(n);
        // A revoke that died before its revocation record was written never
        // revoked anything: its marker must not take the copies away.
        if (has_marker(n, "revoking") && !has_marker(n, "revoked"))
            remove_marker(n, "revoking");
        else if (has_marker(n, "revoking")) {
            strlist given_up;
            finish_revocation(n, given_up);
            warn_given_up(n, "removal of the copy of", given_up);
        }
    }
    finish_deletions();
}
