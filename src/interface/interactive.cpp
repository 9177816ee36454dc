// kelv without a command: the interface's entry and the loop of its home
// screen. The loop owns the list, the search text and the selection; it
// redraws every 500 ms while idle and reloads the list on every sixth
// timeout, counted since the last timed reload whatever keys came between.
#include "interface.h"

#include <cstdlib>
#include <cstring>

namespace {

struct list_state {
    message_list list;
    char *search_text = xstrdup("");
    size_t selected = 0;
    size_t top = 0;
    // The mailbox records the list was built from: answers that came in the
    // background since make it out of date.
    uint64_t records = 0;
    footer_note note;

    list_state() = default;
    list_state(const list_state &) = delete;
    list_state &operator=(const list_state &) = delete;
    ~list_state() { free(search_text); }
};

enum class next_step { draw, reload, leave };

size_t visible_rows() { return screen_rows > 7 ? static_cast<size_t>(screen_rows - 7) : 0; }

// Keeps the selection on a row and the selected row on the screen; when
// rows went away at the end or the screen grew, the rows above come back
// into view instead of blank lines below the last one.
void clamp_selection(list_state &st)
{
    size_t v = visible_rows();
    if (st.list.count > 0 && st.selected >= st.list.count)
        st.selected = st.list.count - 1;
    if (st.top + v > st.list.count)
        st.top = st.list.count > v ? st.list.count - v : 0;
    if (st.selected < st.top)
        st.top = st.selected;
    if (v > 0 && st.top + v <= st.selected)
        st.top = st.selected - v + 1;
}

size_t last_row(const list_state &st) { return st.list.count > 0 ? st.list.count - 1 : 0; }

next_step move(list_state &st, ui_key key)
{
    size_t v = visible_rows();
    switch (key) {
    case key_up:
        if (st.selected > 0)
            st.selected--;
        break;
    case key_down:
        if (st.selected + 1 < st.list.count)
            st.selected++;
        break;
    case key_page_up: st.selected = st.selected <= v ? 0 : st.selected - v; break;
    case key_page_down:
        st.selected = st.selected + v >= st.list.count ? last_row(st) : st.selected + v;
        break;
    case key_home: st.selected = 0; break;
    case key_end: st.selected = last_row(st); break;
    default: break;
    }
    return next_step::draw;
}

next_step search(list_state &st, const frame &f)
{
    char *text = input_dialog(f, "Search", "Show only the messages containing:", st.search_text);
    if (!text)
        return next_step::draw;
    free(st.search_text);
    st.search_text = text;
    st.selected = 0;
    return next_step::reload;
}

// The letters of the list screen; only "q" counts in capitals too.
next_step act_on_letter(list_state &st, const frame &f, const char *text)
{
    const message_summary *s = st.list.count > 0 ? st.list.items[st.selected] : nullptr;
    if (strcmp(text, "q") == 0 || strcmp(text, "Q") == 0)
        return next_step::leave;
    if (strcmp(text, "n") == 0) {
        // The new message heads the reloaded list.
        if (compose_form())
            st.selected = 0;
        return next_step::reload;
    }
    if (strcmp(text, "r") == 0)
        return s && revoke_dialog(f, *s, st.note) ? next_step::reload : next_step::draw;
    if (strcmp(text, "m") == 0)
        return s && remind_dialog(f, *s, st.note) ? next_step::reload : next_step::draw;
    if (strcmp(text, "p") == 0) {
        purge_dialog(f);
        return next_step::reload;
    }
    if (strcmp(text, "/") == 0)
        return search(st, f);
    if (strcmp(text, "?") == 0)
        keys_dialog(f);
    return next_step::draw;
}

next_step act_on_key(list_state &st, const frame &f, ui_key key, const char *text, int &ticks)
{
    // Too small to show the list, the screen waits for the terminal to grow:
    // only leaving still acts, and the list keeps coming fresh.
    if (screen_too_small() && key != key_timeout && key != key_error)
        return key == key_char && (strcmp(text, "q") == 0 || strcmp(text, "Q") == 0) ? next_step::leave
                                                                                     : next_step::draw;
    switch (key) {
    case key_timeout:
        refresh_size();
        if (++ticks >= timeouts_per_reload) {
            ticks = 0;
            return next_step::reload;
        }
        // Mailboxes that answered since the last load fill their counts in
        // at once, without waiting for the next timed reload.
        return records_generation() != st.records ? next_step::reload : next_step::draw;
    case key_error: return next_step::leave;
    case key_escape:
        if (!*st.search_text)
            return next_step::draw;
        st.search_text[0] = '\0';
        return next_step::reload;
    case key_char: return act_on_letter(st, f, text);
    case key_enter:
        if (st.list.count == 0)
            return next_step::draw;
        message_view(st.list.items[st.selected]->number, st.list.loaded_at);
        return next_step::reload;
    default: return move(st, key);
    }
}

} // namespace

interface_run interactive_main()
{
    if (!screen_open())
        return screen_cols > 0 && screen_too_small() ? interface_run::too_small : interface_run::no_terminal;
    // No mailbox holds the screen up: they are read in the background, and
    // the list shows at once what root's own records say.
    records_background(true);
    {
        list_state st;
        auto load = [&st] {
            load_message_list(st.list, st.search_text);
            st.records = records_generation();
        };
        load();
        int ticks = 0;
        while (!quit_requested) {
            // Below the smallest screen the selection and the rows shown
            // stay as they were, to be found again when it grows.
            if (!screen_too_small())
                clamp_selection(st);
            frame f;
            list_frame(f, st.list, st.selected, st.top, st.search_text);
            footer_note_apply(st.note, f);
            draw_frame(f);
            char text[5];
            ui_key key = read_key(text);
            next_step step = act_on_key(st, f, key, text, ticks);
            if (step == next_step::leave || quit_requested)
                break;
            if (step == next_step::reload)
                load();
        }
    }
    records_background(false);
    screen_close();
    return interface_run::ran;
}
