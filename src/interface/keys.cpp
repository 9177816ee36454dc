// The key decoder: bytes from the terminal in, one key out. A pure function,
// so every sequence can be tested as a byte string; read_key (screen.cpp)
// supplies the bytes and the escape timeout.
//
// Whatever the bytes, the decoder takes at least one of them once they are
// complete, so no input can stall the loop that reads keys.
#include "interface.h"

namespace {

// A control sequence longer than this is not a key any terminal sends.
const size_t longest_sequence = 32;

ui_key final_letter(unsigned char c)
{
    switch (c) {
    case 'A': return key_up;
    case 'B': return key_down;
    case 'C': return key_right;
    case 'D': return key_left;
    case 'F': return key_end;
    case 'H': return key_home;
    case 'Z': return key_shift_tab;
    default: return key_none;
    }
}

// "\e[N~" and "\e[N;M~": the key is named by the first digit alone.
ui_key tilde_key(unsigned char digit)
{
    switch (digit) {
    case '1': case '7': return key_home;
    case '3': return key_delete;
    case '4': case '8': return key_end;
    case '5': return key_page_up;
    case '6': return key_page_down;
    default: return key_none;
    }
}

ui_key control_key(unsigned char c)
{
    switch (c) {
    case 5: return key_ctrl_e;
    case 8: case 127: return key_backspace;
    case 9: return key_tab;
    case 10: case 13: return key_enter;
    case 19: return key_ctrl_s;
    default: return key_none;
    }
}

// "\e[" and a digit: parameter and intermediate bytes up to the final byte.
// Only a sequence that ends in "~" is a key; one that is cut off, broken by
// another byte or never ends is ignored.
size_t decode_csi(const unsigned char *b, size_t len, bool complete, ui_key &key)
{
    for (size_t i = 3; i < len && i < longest_sequence; i++) {
        unsigned char c = b[i];
        if (c >= 0x20 && c <= 0x3f)
            continue;
        if (c >= 0x40 && c <= 0x7e) {
            key = c == '~' ? tilde_key(b[2]) : key_none;
            return i + 1;
        }
        key = key_none; // not part of a sequence: it starts the next key
        return i;
    }
    if (len >= longest_sequence) {
        key = key_none;
        return longest_sequence;
    }
    key = key_none;
    return complete ? len : 0;
}

size_t decode_escape(const unsigned char *b, size_t len, bool complete, ui_key &key)
{
    key = key_none;
    if (len == 1) {
        if (!complete)
            return 0;
        key = key_escape;
        return 1;
    }
    if (b[1] != '[' && b[1] != 'O')
        return 2; // Alt with a key: swallowed with it
    if (len == 2)
        return complete ? 2 : 0;
    if (b[1] == '[' && b[2] >= '0' && b[2] <= '9')
        return decode_csi(b, len, complete, key);
    key = final_letter(b[2]);
    return 3;
}

// The length of a UTF-8 character from its lead byte.
size_t char_length(unsigned char lead)
{
    if (lead >= 240)
        return 4;
    if (lead >= 224)
        return 3;
    if (lead >= 192)
        return 2;
    return 1;
}

} // namespace

size_t decode_key(const unsigned char *bytes, size_t len, bool complete, ui_key &key, char text[5])
{
    text[0] = '\0';
    key = key_none;
    if (len == 0)
        return 0;
    unsigned char c = bytes[0];
    if (c == 27)
        return decode_escape(bytes, len, complete, key);
    if (c < 32 || c == 127) {
        key = control_key(c);
        return 1;
    }
    // A character ends early at a byte that cannot continue it: that byte
    // belongs to the next key.
    size_t want = char_length(c), n = 1;
    while (n < want && n < len && (bytes[n] & 0xc0) == 0x80)
        n++;
    if (n < want && n == len && !complete)
        return 0;
    for (size_t i = 0; i < n; i++)
        text[i] = static_cast<char>(bytes[i]);
    text[n] = '\0';
    key = key_char;
    return n;
}
