// The documents generated from the guide's texts, checked with the programs
// that read them: man, a real browser and bash's completion.
#include "guide/guide.h"
#include "support.h"

#include <gtest/gtest.h>
#include <regex>
#include <utility>
#include <string>
#include <vector>

namespace {

const std::string docs = KELV_DOC_BUILD_DIR;

std::vector<std::pair<std::string, std::string>> entries(const guide_table &t)
{
    std::vector<std::pair<std::string, std::string>> out;
    for (size_t i = 0; i < t.count; i++) {
        char *term;
        const char *description;
        split_entry(t.entries[i], &term, &description);
        out.emplace_back(term, description);
        free(term);
    }
    return out;
}

// Text with every run of blanks and newlines made one blank: paragraphs
// compared whatever their width.
std::string flowed(const std::string &text)
{
    return std::regex_replace(text, std::regex("[ \n]+"), " ");
}

// The text of a serialised DOM: tags dropped, the entities of text decoded.
std::string dom_text(const std::string &dom)
{
    std::string text = std::regex_replace(dom, std::regex("<[^>]*>"), "");
    for (auto [entity, c] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}})
        text = std::regex_replace(text, std::regex(entity), c);
    return text;
}

} // namespace

TEST(GuideDocuments, ManPageAndHtmlManualShowTheCommandsOfTheGuide)
{
    run_options o;
    o.env = {"LC_ALL=C.UTF-8", "MANWIDTH=80", "KELV_TEST=1"};
    run_result help = run_program({kelv_path(), "help"}, o);
    run_result man = run_program({"man", "--warnings", "-E", "UTF-8", "-l", docs + "/kelv.1"}, o);
    EXPECT_EQ(man.status, 0);
    EXPECT_EQ(man.err, "") << "groff warns";

    std::string html = read_text(docs + "/user-manual.html");
    // Self-contained: nothing to fetch and nothing to run.
    EXPECT_FALSE(std::regex_search(html, std::regex("<script|<link|<img|src=|@import|url\\(|href=\"[^#]")));

    temp_dir profile;
    o.env.push_back("HOME=" + profile.path);
    o.timeout_seconds = 90;
    run_result browser = run_program({"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                      "--no-first-run", "--disable-background-networking",
                                      "--disable-component-update", "--disable-sync",
                                      "--user-data-dir=" + profile.path, "--dump-dom",
                                      "file://" + docs + "/user-manual.html"},
                                     o);
    ASSERT_EQ(browser.status, 0) << browser.err;
    std::string rendered = dom_text(browser.out);
    for (const char *heading : {"Installation", "Prompt hooks", "Configuration", "Recipients",
                                       "What users see", "Where history is kept", "Send options", "Examples",
                                       "JSON output", "Many machines"})
        EXPECT_NE(rendered.find(heading), std::string::npos) << heading;
    EXPECT_EQ(rendered.find("{{"), std::string::npos);

    for (const auto &[term, description] : entries(guide_commands)) {
        EXPECT_NE(help.out.find("\n       " + term + "\n"), std::string::npos) << term;
        // man sets a short term on the line of its description.
        EXPECT_TRUE(man.out.find("\n       " + term + "\n") != std::string::npos ||
                    man.out.find("\n       " + term + " ") != std::string::npos) << term;
        EXPECT_NE(rendered.find(term), std::string::npos) << term;
    }

    // The interface in a section of its own, from the tables of its screens:
    // every heading, paragraph, key and description, in each document.
    // Unhyphenated and unjustified, man's lines flow back into the texts.
    run_result plain_man = run_program({"man", "--nh", "--nj", "-E", "UTF-8", "-l", docs + "/kelv.1"}, o);
    std::string page = flowed(help.out), shown = flowed(rendered), manned = flowed(plain_man.out);
    EXPECT_NE(man.out.find("\nINTERACTIVE INTERFACE\n"), std::string::npos) << man.out;
    EXPECT_NE(help.out.find("\nINTERACTIVE INTERFACE\n"), std::string::npos);
    for (const guide_table *t : {&guide_interface, &guide_list_keys, &guide_view_keys, &guide_form_keys,
                                 &guide_screen_keys, &guide_environment}) {
        if (!t->section) {
            EXPECT_NE(man.out.find("\n   " + std::string(t->heading) + "\n"), std::string::npos) << t->heading;
            EXPECT_NE(help.out.find("\n   " + std::string(t->heading) + "\n"), std::string::npos) << t->heading;
        }
        EXPECT_NE(rendered.find(t->heading), std::string::npos) << t->heading;
        if (t->intro) {
            EXPECT_NE(manned.find(flowed(t->intro)), std::string::npos) << t->intro;
            EXPECT_NE(page.find(flowed(t->intro)), std::string::npos) << t->intro;
            EXPECT_NE(shown.find(flowed(t->intro)), std::string::npos) << t->intro;
        }
        for (const auto &[term, description] : entries(*t)) {
            EXPECT_NE(man.out.find("\n       " + term), std::string::npos) << term;
            EXPECT_NE(page.find(" " + term + " " + flowed(description)), std::string::npos) << term;
            EXPECT_NE(manned.find(flowed(description)), std::string::npos) << description;
            EXPECT_NE(shown.find(term), std::string::npos) << term;
            EXPECT_NE(shown.find(flowed(description)), std::string::npos) << description;
        }
    }
}

// man hyphenates words at the end of a line; a path or a command cut that
// way ("/usr/lo‐cal/share/...") cannot be copied or trusted. At any width,
// every word cut is prose, and the user manual's path, blank included,
// stands whole on its lines.
TEST(GuideDocuments, ManPageNeverBreaksAPathOrACommand)
{
    const std::regex prose("[(«\"]*[A-Za-z]+('[a-z]+)?[.,;:)»\"]*");
    for (int width : {60, 67, 72, 80, 100, 120}) {
        run_options o;
        o.env = {"LC_ALL=C.UTF-8", "MANWIDTH=" + std::to_string(width)};
        run_result man = run_program({"man", "--warnings", "-E", "UTF-8", "-l", docs + "/kelv.1"}, o);
        ASSERT_EQ(man.status, 0) << man.err;
        EXPECT_EQ(man.err, "") << width;
        std::vector<std::string> rows = split_lines(man.out);
        int manual_lines = 0;
        for (size_t i = 0; i < rows.size(); i++) {
            manual_lines += rows[i].find(guide_user_manual) != std::string::npos;
            const std::string hyphen = "‐"; // U+2010, as groff sets a hyphenation
            if (rows[i].size() < hyphen.size() || rows[i].compare(rows[i].size() - hyphen.size(), hyphen.size(), hyphen))
                continue;
            std::string head = rows[i].substr(0, rows[i].size() - hyphen.size());
            head = head.substr(head.find_last_of(' ') + 1);
            std::string next = i + 1 < rows.size() ? rows[i + 1] : "";
            next = next.substr(next.find_first_not_of(' ') == std::string::npos ? 0 : next.find_first_not_of(' '));
            std::string word = head + next.substr(0, next.find(' '));
            EXPECT_TRUE(std::regex_match(word, prose)) << "at " << width << " columns man cut " << word;
        }
        // In FILES and in SEE ALSO.
        EXPECT_EQ(manual_lines, 2) << width << " columns:\n" << man.out;
    }
}

namespace {

// What the completion offers for the words of a command line, the last one
// being completed.
std::string complete(const std::vector<std::string> &words, const std::string &store = "/nonexistent")
{
    std::string script = "source '" + docs + "/kelv.bash' && COMP_WORDS=(";
    for (const std::string &w : words)
        script += "'" + w + "' ";
    script += "); COMP_CWORD=" + std::to_string(words.size() - 1) +
              "; _kelv; printf '%s\\n' \"${COMPREPLY[@]}\" | sort";
    run_options o;
    o.env = {"KELV_TEST=1", "KELV_VAR=" + store};
    run_result r = run_program({"bash", "--norc", "--noprofile", "-c", script}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

} // namespace

TEST(GuideDocuments, CompletionOffersCommandsOptionsRecipientsAndMessageNumbers)
{
    EXPECT_EQ(complete({"kelv", ""}), "--help\n-h\nhelp\nlist\nlog\npurge\nremind\nrevoke\nsend\nstatus\nversion\n");
    EXPECT_EQ(complete({"kelv", "send", "--"}), "--expires\n--file\n--json\n--title\n--to\n");
    // Each recipient of a list is completed on its own: keywords, groups.
    EXPECT_EQ(complete({"kelv", "send", "--to", "root,onl"}), "root,online\n");
    EXPECT_EQ(complete({"kelv", "send", "--to", "all,@roo"}), "all,@root\n");
    EXPECT_EQ(complete({"kelv", "list", ""}), "\n");

    temp_dir store;
    for (const char *name : {"sent", "sent/3", "sent/12", "sent/x1", "sent/0123456789012345678"})
        mkdir((store / name).c_str(), 0755);
    EXPECT_EQ(complete({"kelv", "status", ""}, store.path), "12\n3\n");
    EXPECT_EQ(complete({"kelv", "log", "1"}, store.path), "12\n");
    EXPECT_EQ(complete({"kelv", "status", "12", ""}, store.path), "\n");
    // --json where the guide lists it, and the number wherever --json stands.
    EXPECT_EQ(complete({"kelv", "list", "-"}), "--json\n");
    EXPECT_EQ(complete({"kelv", "log", "12", "--j"}, store.path), "--json\n");
    EXPECT_EQ(complete({"kelv", "revoke", "-"}, store.path), "\n");
    EXPECT_EQ(complete({"kelv", "status", "--json", "1"}, store.path), "12\n");
    EXPECT_EQ(complete({"kelv", "status", "--json", "12", ""}, store.path), "\n");
}
