// The values that the JSON forms of the reports share. A time of 0 means
// none and shows as null, like an absent text; present texts go out as they
// are stored, for print_json to escape.
#include "reports.h"

#include <nlohmann/json.hpp>

nlohmann::ordered_json json_time(int64_t t)
{
    return t ? nlohmann::ordered_json(t) : nlohmann::ordered_json();
}

nlohmann::ordered_json json_text(const char *s)
{
    return s ? nlohmann::ordered_json(s) : nlohmann::ordered_json();
}

nlohmann::ordered_json json_message(int64_t n, const message &m)
{
    return {{"number", n},
            {"date", json_time(m.date)},
            {"author", json_text(m.from)},
            {"title", json_text(m.title)},
            {"expires", json_time(m.expires)}};
}
