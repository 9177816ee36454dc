// Summaries of sent messages for lists: the counts of recipients by state
// and the revoked and expired flags, built afresh or kept across reloads.
#include "reports.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unordered_set>

message_summary::~message_summary() { free_summary(*this); }

void free_summary(message_summary &s)
{
    message_free(s.message);
    s.number = 0;
    s.confirmed = 0;
    s.delivered = 0;
    s.sent = 0;
    s.revoked = false;
    s.expired = false;
}

namespace {

// load_summary; with recipients, hands out the recipients it judged.
bool build_summary(int64_t n, message_summary &s, strlist *judged)
{
    free_summary(s);
    s.number = n;
    if (has_marker(n, "failed"))
        return false;
    char *path = sent_path(n, "msg");
    int rc = message_read(path, s.message);
    free(path);
    if (rc < 0)
        return false;
    strlist recipients;
    read_recipients(n, recipients);
    if (recipients.count == 0) {
        message_free(s.message);
        return false;
    }
    strlist delivered, counts;
    read_deliveries(n, delivered, counts);
    strlist_sort(delivered);
    int64_t revoked_at = revocation_time(n);
    for (size_t i = 0; i < recipients.count; i++) {
        recipient_outcome o = evaluate_recipient(recipients.items[i], n, delivered, s.message, revoked_at);
        if (o.state == recipient_confirmed)
            s.confirmed++;
        else if (o.state == recipient_delivered)
            s.delivered++;
        else
            s.sent++;
    }
    s.revoked = has_marker(n, "revoked");
    s.expired = message_expired(s.message, now());
    if (judged)
        strlist_swap(*judged, recipients);
    return true;
}

} // namespace

bool load_summary(int64_t n, message_summary &s) { return build_summary(n, s, nullptr); }

void summary_text(const message_summary &s, textbuf &out)
{
    if (s.delivered == 0 && s.sent == 0) {
        textbuf_printf(out, "all confirmed (%d)", s.confirmed);
        return;
    }
    const char *sep = "";
    const struct {
        int32_t count;
        const char *word;
    } parts[] = {{s.confirmed, "confirmed"}, {s.delivered, "delivered"}, {s.sent, "sent"}};
    for (const auto &p : parts) {
        if (p.count == 0)
            continue;
        textbuf_printf(out, "%s%d %s", sep, p.count, p.word);
        sep = " · ";
    }
}

void read_reference(int64_t n, const char *arg, message &m)
{
    char *path = sent_path(n, "msg");
    int rc = message_read(path, m);
    free(path);
    if (rc < 0)
        die("no such message: %s", arg);
}

// --- Summaries kept across reloads ---

namespace {

// A file of a sent record as a summary was built from it.
struct file_stamp {
    bool present = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {}, ctime = {};
};

// The record's directory, whose entries are its markers, and the files
// load_summary reads in it.
const char *const stamped_files[] = {"", "msg", "recipients", "delivery", "revoked"};
const size_t stamped_count = sizeof stamped_files / sizeof *stamped_files;

struct record_stamp {
    file_stamp files[stamped_count];
    // Every time in the stamp is more than a second old: any later change of
    // these files gives them another time.
    bool settled = false;
};

bool same_time(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_stamp(const record_stamp &a, const record_stamp &b)
{
    for (size_t i = 0; i < stamped_count; i++) {
        const file_stamp &x = a.files[i], &y = b.files[i];
        if (x.present != y.present || x.dev != y.dev || x.ino != y.ino || x.size != y.size ||
            !same_time(x.mtime, y.mtime) || !same_time(x.ctime, y.ctime))
            return false;
    }
    return true;
}

bool older_than_a_second(const struct timespec &t, const struct timespec &now_ts)
{
    int64_t ns = (static_cast<int64_t>(now_ts.tv_sec) - t.tv_sec) * 1000000000 + (now_ts.tv_nsec - t.tv_nsec);
    return ns > 1000000000;
}

record_stamp take_stamp(int64_t n)
{
    record_stamp r;
    char *path = sent_path(n, nullptr);
    unique_fd dir(open(path, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    free(path);
    if (!dir.valid())
        return r;
    struct timespec now_ts;
    clock_gettime(CLOCK_REALTIME, &now_ts);
    r.settled = true;
    for (size_t i = 0; i < stamped_count; i++) {
        struct stat st;
        if (fstatat(dir.get(), stamped_files[i], &st, AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH) < 0)
            continue;
        file_stamp &f = r.files[i];
        f.present = true;
        f.dev = st.st_dev;
        f.ino = st.st_ino;
        f.size = st.st_size;
        f.mtime = st.st_mtim;
        f.ctime = st.st_ctim;
        r.settled = r.settled && older_than_a_second(f.mtime, now_ts) && older_than_a_second(f.ctime, now_ts);
    }
    return r;
}

void copy_summary(const message_summary &from, message_summary &to)
{
    free_summary(to);
    to.number = from.number;
    message_copy(from.message, to.message);
    to.confirmed = from.confirmed;
    to.delivered = from.delivered;
    to.sent = from.sent;
    to.revoked = from.revoked;
    to.expired = from.expired;
}

// Whether none of the recipients (sorted) has records that changed after
// generation since.
bool records_unchanged(summary_cache &c, uint64_t since, const strlist &recipients)
{
    uint64_t at = records_generation();
    if (since == at)
        return true;
    if (c.since != since || c.at != at) {
        strlist_free(c.changed);
        c.since = since;
        c.at = at;
        c.known = records_changed_since(since, c.changed);
    }
    if (!c.known)
        return false;
    for (size_t i = 0; i < c.changed.count; i++)
        if (strlist_contains_sorted(recipients, c.changed.items[i]))
            return false;
    return true;
}

} // namespace

struct kept_summary {
    record_stamp stamp;
    uint64_t generation = 0; // of the records it was judged with
    strlist recipients;      // sorted
    bool listed = false;
    message_summary summary;
};

summary_cache::summary_cache() = default;
summary_cache::~summary_cache() = default;

void summary_cache_prepare(summary_cache &c, const strlist &numbers)
{
    // Records forgotten since the last reload: nothing kept can serve, and
    // every recipient's records are read again, all at once.
    strlist changed;
    if (!records_changed_since(c.prepared_at, changed))
        c.kept.clear();
    c.prepared_at = records_generation();
    std::unordered_set<int64_t> wanted;
    strlist fresh;
    for (size_t i = 0; i < numbers.count; i++) {
        int64_t n;
        if (!parse_number(numbers.items[i], n))
            continue;
        wanted.insert(n);
        if (c.kept.find(n) == c.kept.end())
            strlist_push_copy(fresh, numbers.items[i]);
    }
    std::erase_if(c.kept, [&](const auto &k) { return wanted.find(k.first) == wanted.end(); });
    load_recipient_records(fresh);
}

bool load_summary_kept(summary_cache &c, int64_t n, message_summary &s)
{
    // Stamped before anything is read: a change made while the summary is
    // built shows in the next stamp.
    record_stamp stamp = take_stamp(n);
    std::unique_ptr<kept_summary> &k = c.kept[n];
    if (k && k->stamp.settled && same_stamp(k->stamp, stamp) && records_unchanged(c, k->generation, k->recipients)) {
        k->generation = records_generation();
        copy_summary(k->summary, s);
        s.expired = k->listed && message_expired(s.message, now());
        return k->listed;
    }
    if (!k)
        k = std::make_unique<kept_summary>();
    strlist_free(k->recipients);
    k->listed = build_summary(n, s, &k->recipients);
    strlist_sort(k->recipients);
    k->stamp = stamp;
    k->generation = records_generation();
    copy_summary(s, k->summary);
    return k->listed;
}
