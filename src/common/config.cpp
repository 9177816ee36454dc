// The configuration file: NAME=VALUE lines with "#" comments. Every bad line
// is ignored on its own; nothing is ever reported.
#include "common.h"

#include <cstring>

static const size_t config_file_limit = 65536;

void config_parse(const char *text, config &c)
{
    c.remind_minutes = 30;
    c.agent_poll = 60;
    if (!text)
        return;
    const char *p = text;
    while (*p) {
        char line[256];
        size_t n = 0;
        bool too_long = false;
        bool comment = false;
        for (; *p && *p != '\n'; p++) {
            if (*p == '#')
                comment = true;
            if (comment || strchr(" \t\v\f\r", *p))
                continue;
            if (n < 255)
                line[n++] = *p;
            else
                too_long = true;
        }
        if (*p == '\n')
            p++;
        line[n] = '\0';
        if (too_long || n == 0)
            continue;
        char *eq = strchr(line, '=');
        if (!eq)
            continue;
        *eq = '\0';
        const char *value = eq + 1;
        size_t vlen = strlen(value);
        int64_t v;
        if (vlen < 1 || vlen > 6 || !parse_number(value, v) || v <= 0)
            continue;
        if (strcmp(line, "KELV_REMIND_MINUTES") == 0)
            c.remind_minutes = v;
        else if (strcmp(line, "KELV_AGENT_POLL") == 0)
            c.agent_poll = v;
    }
}

void config_load(config &c)
{
    textbuf b;
    if (read_file(conf_path, config_file_limit, false, b) < 0) {
        config_parse(nullptr, c);
        return;
    }
    config_parse(textbuf_str(b), c);
}
