// libFuzzer entry point: the key decoder takes any byte string apart without
// reading past it, takes at least one byte of every complete input, and
// returns a character's bytes only for a character.
#include "interface/interface.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (bool complete : {false, true}) {
        size_t at = 0;
        while (at < size) {
            ui_key key;
            char text[5];
            size_t used = decode_key(data + at, size - at, complete, key, text);
            if (used > size - at)
                abort();
            if (used == 0) {
                if (complete)
                    abort(); // a complete input must always move on
                break;
            }
            size_t len = strlen(text);
            if (key == key_char ? len == 0 || len > used || memcmp(text, data + at, len) != 0 : len != 0)
                abort();
            at += used;
        }
    }
    return 0;
}
