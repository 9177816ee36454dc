// kelv-doc: writes, at build time, the documents that must say what the
// built-in guide says, from the guide's own texts and tables:
//
//   kelv-doc man OUT                 the kelv(1) manual page in roff
//   kelv-doc html OUT TEMPLATE       the HTML user manual: TEMPLATE with
//                                    {{guide}} replaced by the guide's sections
//                                    and {{version}} by kelv's version
//   kelv-doc completion OUT TEMPLATE the bash completion: TEMPLATE with
//                                    {{commands}}, {{id_commands}},
//                                    {{json_commands}}, {{send_options}}
//                                    and {{store}} filled in
#include "core/core.h"
#include "guide/guide.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct entry {
    std::string term, description;
};

std::vector<entry> entries_of(const guide_table &t)
{
    std::vector<entry> out;
    for (size_t i = 0; i < t.count; i++) {
        char *term;
        const char *description;
        split_entry(t.entries[i], &term, &description);
        out.push_back({term, description});
        free(term);
    }
    return out;
}

// ---------------------------------------------------------------------------
// roff

// Escapes one word: backslashes and minus signs.
std::string roff_word(const std::string &word)
{
    std::string out;
    for (char c : word) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    return out;
}

// True for a word of prose: letters, with punctuation around them at most.
// Anything else (a path, an option, a file name, a date) is set whole.
bool is_prose(const std::string &word)
{
    size_t end = word.find_last_not_of(".,;:!?)»\"'");
    for (size_t i = 0; end != std::string::npos && i <= end; i++) {
        unsigned char c = static_cast<unsigned char>(word[i]);
        if (c < 0x80 && !isalpha(c) && !strchr("(\"'", c))
            return false;
    }
    return true;
}

// One text line: escaped, a leading dot or quote kept from being read as a
// request, and no path or command broken by man. Hyphenation cut
// "/usr/local/..." as "/usr/lo‐cal/..."; \% keeps a word whole, and every
// word of a command line (whole) or that is not prose gets it. The user
// manual's path holds a blank, which is made one that never breaks.
std::string roff(const std::string &text, bool whole = false)
{
    const char glue = '\x1f';
    std::string t = text, manual = guide_user_manual, glued = manual;
    std::replace(glued.begin(), glued.end(), ' ', glue);
    for (size_t at = t.find(manual); at != std::string::npos; at = t.find(manual, at + glued.size()))
        t.replace(at, manual.size(), glued);

    std::string out = !t.empty() && (t[0] == '.' || t[0] == '\'') ? "\\&" : "";
    for (size_t at = 0; at <= t.size();) {
        size_t end = std::min(t.find(' ', at), t.size());
        std::string word = t.substr(at, end - at);
        if (!word.empty() && (whole || !is_prose(word)))
            out += "\\%";
        for (char c : roff_word(word))
            out += c == glue ? std::string("\\ ") : std::string(1, c);
        if (end < t.size())
            out += ' ';
        at = end + 1;
    }
    return out;
}

std::string manual_page()
{
    std::string s = std::string(".TH KELV 1 \"\" \"kelv ") + kelv_version + "\" \"kelv manual\"\n";
    // whatis and apropos read the NAME line as "name \- summary".
    std::string name = guide_manual_name;
    size_t dash = name.find(" — ");
    s += ".SH NAME\n";
    if (dash == std::string::npos)
        s += roff(name) + "\n";
    else
        s += roff(name.substr(0, dash)) + " \\- " + roff(name.substr(dash + strlen(" — "))) + "\n";
    s += ".SH SYNOPSIS\n.nf\n";
    for (size_t i = 0; i < guide_synopsis_count; i++) {
        std::string line = guide_synopsis[i];
        size_t first = line.find(' ');
        s += "\\fB" + roff(line.substr(0, first), true) + "\\fR" +
             (first == std::string::npos ? "" : roff(line.substr(first), true)) + "\n";
    }
    s += ".fi\n.SH DESCRIPTION\n" + roff(guide_description) + "\n";
    for (size_t i = 0; i < guide_reference_count; i++) {
        const guide_table *t = guide_reference_tables[i];
        s += t->section ? std::string(".SH ") + t->section + "\n" : ".SS " + roff(t->heading) + "\n";
        if (t->intro)
            s += roff(t->intro) + "\n";
        for (const entry &e : entries_of(*t))
            s += ".TP\n\\fB" + roff(e.term, true) + "\\fR\n" + roff(e.description) + "\n";
    }
    s += ".SH \"SEE ALSO\"\n" + roff(guide_see_also) + "\n";
    return s;
}

// ---------------------------------------------------------------------------
// HTML

std::string html(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string anchor(const char *heading)
{
    std::string id;
    for (const char *p = heading; *p; p++)
        id += *p == ' ' ? '-' : static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    return id;
}

std::string guide_sections()
{
    std::string s = "<section id=\"name\">\n<h2>Name</h2>\n<p>" + html(guide_manual_name) + "</p>\n</section>\n";
    s += "<section id=\"synopsis\">\n<h2>Synopsis</h2>\n<pre>";
    for (size_t i = 0; i < guide_synopsis_count; i++)
        s += html(guide_synopsis[i]) + "\n";
    s += "</pre>\n</section>\n";
    s += "<section id=\"description\">\n<h2>Description</h2>\n<p>" + html(guide_description) +
         "</p>\n</section>\n";
    // A table without a section of its own is a part of the section before.
    for (size_t i = 0; i < guide_reference_count; i++) {
        const guide_table *t = guide_reference_tables[i];
        if (t->section)
            s += std::string(i > 0 ? "</section>\n" : "") + "<section id=\"" + anchor(t->heading) + "\">\n<h2>" +
                 html(t->heading) + "</h2>\n";
        else
            s += "<h3>" + html(t->heading) + "</h3>\n";
        if (t->intro)
            s += "<p>" + html(t->intro) + "</p>\n";
        if (t->count == 0)
            continue;
        s += "<dl>\n";
        for (const entry &e : entries_of(*t))
            s += "<dt><code>" + html(e.term) + "</code></dt>\n<dd>" + html(e.description) + "</dd>\n";
        s += "</dl>\n";
    }
    if (guide_reference_count > 0)
        s += "</section>\n";
    s += "<section id=\"see-also\">\n<h2>See also</h2>\n<p>" + html(guide_see_also) + "</p>\n</section>\n";
    return s;
}

// ---------------------------------------------------------------------------
// bash completion

// "send", "--help", "-h": up to two dashes, then lower-case letters.
bool is_command_word(const std::string &w)
{
    size_t i = 0;
    while (i < 2 && i < w.size() && w[i] == '-')
        i++;
    if (i == w.size())
        return false;
    for (; i < w.size(); i++)
        if (w[i] < 'a' || w[i] > 'z')
            return false;
    return true;
}

// The command words of the commands table: the first word of each term, and
// every word of a comma-separated list of names ("help, --help, -h"). The
// commands whose argument is a message number ("status ID") go to with_id,
// those that take "[--json]" to with_json.
void command_words(std::string &all, std::string &with_id, std::string &with_json)
{
    for (const entry &e : entries_of(guide_commands)) {
        std::vector<std::string> words;
        for (size_t at = 0; at < e.term.size();) {
            size_t end = e.term.find(' ', at);
            if (end == std::string::npos)
                end = e.term.size();
            words.push_back(e.term.substr(at, end - at));
            at = end + 1;
        }
        for (size_t i = 0; i < words.size(); i++) {
            bool listed = i > 0 && words[i - 1].back() == ',';
            if (i > 0 && !listed)
                break;
            std::string w = words[i];
            if (!w.empty() && w.back() == ',')
                w.pop_back();
            if (!is_command_word(w))
                break;
            all += (all.empty() ? "" : " ") + w;
            if (words.size() >= 2 && words[1] == "ID")
                with_id += (with_id.empty() ? "" : "|") + w;
            if (words.back() == "[--json]")
                with_json += (with_json.empty() ? "" : "|") + w;
        }
    }
}

std::string send_options()
{
    std::string out;
    for (const entry &e : entries_of(guide_send_options))
        out += (out.empty() ? "" : " ") + e.term.substr(0, e.term.find(' '));
    return out;
}

// ---------------------------------------------------------------------------

std::string read_template(const char *path)
{
    textbuf b;
    if (read_file(path, 1 << 20, false, b) < 0)
        die("%s: %s", path, strerror(errno));
    return textbuf_str(b);
}

void fill(std::string &text, const std::string &placeholder, const std::string &value)
{
    size_t at = text.find(placeholder);
    if (at == std::string::npos)
        die("the template has no %s", placeholder.c_str());
    for (; at != std::string::npos; at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
}

} // namespace

int main(int argc, char **argv)
{
    lib_init("kelv-doc");
    if (argc < 3)
        die("usage: kelv-doc man|html|completion OUT [TEMPLATE]");
    std::string kind = argv[1], out;
    if (kind == "man" && argc == 3) {
        out = manual_page();
    } else if (kind == "html" && argc == 4) {
        out = read_template(argv[3]);
        fill(out, "{{guide}}", guide_sections());
        fill(out, "{{version}}", kelv_version);
    } else if (kind == "completion" && argc == 4) {
        std::string commands, with_id, with_json;
        command_words(commands, with_id, with_json);
        out = read_template(argv[3]);
        fill(out, "{{commands}}", commands);
        fill(out, "{{id_commands}}", with_id);
        fill(out, "{{json_commands}}", with_json);
        fill(out, "{{send_options}}", send_options());
        fill(out, "{{store}}", var_dir);
    } else {
        die("usage: kelv-doc man|html|completion OUT [TEMPLATE]");
    }
    if (write_file_atomic(argv[2], out.data(), out.size(), 0644) < 0)
        die("%s: %s", argv[2], strerror(errno));
    return 0;
}
