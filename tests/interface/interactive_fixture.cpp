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


std::string waiting(int cols, int rows, const std::string &title, const std::string &footer)
{
    std::string left = "┌─ " + title + " ";
    std::string screen = left + repeat("─", static_cast<size_t>(cols - 1) - columns(left)) + "┐\n" + row(cols, "") +
                         row(cols, " The terminal is smaller than 80×20. Enlarge it to go on.");
    for (int i = 0; i < rows - 6; i++)
        screen += row(cols, "");
    return screen + bottom(cols, footer);
}

std::string with_footer(const std::string &screen, int cols, const std::string &footer)
{
    return screen.substr(0, screen.rfind("├")) + bottom(cols, footer);
}
