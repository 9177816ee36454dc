// libFuzzer entry point: any configuration text gives settings within the
// accepted range, and parsing does not depend on what came before.
#include "common/common.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    config c;
    config_parse(text.c_str(), c);
    for (int64_t v : {c.remind_minutes, c.agent_poll})
        if (v < 1 || v > 999999)
            abort();
    config again;
    again.remind_minutes = 7;
    again.agent_poll = 7;
    config_parse(text.c_str(), again);
    if (again.remind_minutes != c.remind_minutes || again.agent_poll != c.agent_poll)
        abort();
    return 0;
}
