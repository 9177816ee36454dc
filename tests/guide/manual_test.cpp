// The manual page: what kelv prints when its output is not a terminal, and
// its layout at other widths.
#include "guide/guide.h"
#include "support.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

size_t indent_of(const std::string &line)
{
    return line.find_first_not_of(' ');
}

// Checks the page's frame and that every paragraph is filled greedily: no
// line could have taken the first word of the line after it.
void expect_laid_out(const std::string &page, size_t width)
{
    EXPECT_EQ(page.find('\033'), std::string::npos);
    std::vector<std::string> lines = split_lines(page);
    ASSERT_GT(lines.size(), 20u);
    size_t gap = width - 25;
    EXPECT_EQ(lines.front(), "KELV(1)" + std::string(gap / 2, ' ') + "kelv manual" +
                                 std::string(gap - gap / 2, ' ') + "KELV(1)");
    EXPECT_EQ(lines.back(), "kelv 0.2.0" + std::string(width - 17, ' ') + "KELV(1)");

    // Sections, and the interface's parts within its own (indented by 3); a
    // paragraph before a part's entries is set apart from them by an empty
    // line too.
    std::vector<std::string> sections;
    for (size_t i = 1; i + 1 < lines.size(); i++) {
        const std::string &line = lines[i], &next = lines[i + 1];
        if (line.empty()) {
            if (indent_of(next) < 7)
                sections.push_back(next);
            continue;
        }
        const std::string &section = sections.back();
        bool paragraph = section == "NAME" || section == "DESCRIPTION" || section == "SEE ALSO" ||
                         section == "INTERACTIVE INTERFACE" || section.starts_with("   ");
        // Terms are never broken; everything else fits the width.
        if (paragraph || indent_of(line) != 7) {
            EXPECT_LE(guide_text_width(line.c_str()), width) << line;
        }
        if (section == "SYNOPSIS" || next.empty() || indent_of(line) != indent_of(next))
            continue;
        std::string first_word = next.substr(indent_of(next), next.find(' ', indent_of(next)) - indent_of(next));
        EXPECT_GT(guide_text_width(line.c_str()) + 1 + guide_text_width(first_word.c_str()), width)
            << "'" << first_word << "' fits after: " << line;
    }
    EXPECT_EQ(sections, (std::vector<std::string>{"NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "SEND OPTIONS",
                                                  "JSON OUTPUT", "INTERACTIVE INTERFACE", "   The list",
                                                  "   The message view", "   The form for a new message",
                                                  "   Every screen", "EXAMPLES", "FILES", "ENVIRONMENT",
                                                  "EXIT STATUS", "SEE ALSO", "kelv 0.2.0" +
                                                  std::string(width - 17, ' ') + "KELV(1)"}));
}

std::string manual_at(int width)
{
    char *data = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&data, &size);
    write_manual(f, false, width);
    fclose(f);
    std::string s(data, size);
    free(data);
    return s;
}

} // namespace

TEST(GuideManual, OnAPipeEveryWayToTheGuidePrintsThePlainPageAt80Columns)
{
    run_options o;
    o.env = {"KELV_TEST=1", "KELV_VAR=/nonexistent/kelvora-store", "PAGER=false"};
    run_result help = run_program({kelv_path(), "help"}, o);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    expect_laid_out(help.out, 80);
    EXPECT_NE(help.out.find("\n       --expires DURATION\n              Expiry, after which the message is "
                            "no longer shown: 30m, 2h, 3d or\n              1w (minutes, hours, days or weeks "
                            "from now), or a date and time\n              (\"2026-10-04 12:00\"). send and "
                            "status show the time it comes to.\n"),
              std::string::npos);
    EXPECT_NE(help.out.find("\n       /usr/local/share/doc/kelvora/User Manual.html\n"), std::string::npos);

    for (std::vector<std::string> args : {std::vector<std::string>{"-h"}, {"--help", "extra"}, {}, {"", "x"}}) {
        args.insert(args.begin(), kelv_path());
        run_result r = run_program(args, o);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, help.out);
    }
}

TEST(GuideManual, WidthIsClampedTo60To100)
{
    expect_laid_out(manual_at(200), 100);
    expect_laid_out(manual_at(43), 60);
    expect_laid_out(manual_at(67), 67);
}
