#include "interactive_fixture.h"

#include <regex>

std::string repeat(const std::string &piece, size_t times)
{
    std::string out;
    for (size_t i = 0; i < times; i++)
        out += piece;
    return out;
}

std::string padded(int cols, const std::string &content)
{
    return content + std::string(static_cast<size_t>(cols - 4) - columns(content), ' ');
}

std::string row(int cols, const std::string &content) { return "│ " + padded(cols, content) + " │\n"; }

std::string bottom(int cols, const std::string &footer)
{
    return "├" + repeat("─", static_cast<size_t>(cols - 2)) + "┤\n" + row(cols, footer) + "└" +
           repeat("─", static_cast<size_t>(cols - 2)) + "┘\n";
}

std::string top(int cols, const std::string &title)
{
    std::string left = "┌─ " + title + " ", right = " updated at hh:mm:ss ─┐";
    return left + repeat("─", static_cast<size_t>(cols) - columns(left) - columns(right)) + right + "\n";
}

std::string masked(const std::string &screen)
{
    return std::regex_replace(screen, std::regex("updated at \\d\\d:\\d\\d:\\d\\d"), "updated at hh:mm:ss");
}


std::string with_footer(const std::string &screen, int cols, const std::string &footer)
{
    return screen.substr(0, screen.rfind("├")) + bottom(cols, footer);
}
