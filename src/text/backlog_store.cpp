// The backlog store: additions with the row wrapping and the line-start and line-end
// rules, clearing, the row split the screen pages through, and the saved form.
#include "text/backlog_internal.h"

#include "frame/engine.h"
#include "text/glyphs.h"
#include "text/layout.h"

#include <algorithm>
#include <cstring>

namespace kestrune::text {

using detail::BacklogStore;

namespace {

constexpr std::uint32_t k_tag = 0xF1F122C4u;
constexpr std::size_t k_header = 20;

// Additions stop in the system-script state (the backlog screen itself shows text) and
// while a save is being restored (the restored page would be stored twice).
bool adding_allowed() {
    const std::int32_t st = engine::state();
    return st != engine::k_state_system_script && st != engine::k_state_load_requested &&
           st != engine::k_state_restoring;
}

// Control bytes that are no row break of the text would break rows or fake voice markers.
std::uint16_t clean_code(std::uint32_t code) {
    if (code == 9 || code == 13 || code == 16 || code == 17 || code == 0) return ' ';
    return static_cast<std::uint16_t>(code);
}

void push(BacklogStore& s, std::uint16_t u) {
    s.units.push_back(u);
}

// One character (lock held, room checked by the caller).
void add_char(BacklogStore& s, std::uint16_t c) {
    const std::uint16_t prev = s.units.empty() ? 0 : s.units.back();
    if ((prev == 10 || prev == 13) && c != 10 && is_forbidden_at_line_start(c)) {
        // The character may not begin a row: it stays at the end of the previous one.
        s.units.back() = c;
        push(s, 9);
        s.column = 0;
        return;
    }
    if (c == 10 && (prev == 13 || prev == 9)) {
        // A line end right after a full row: the row break was enough.
        s.units.pop_back();
        --s.rows;
    }
    push(s, c);
    if (c == 10) {
        ++s.rows;
        s.column = 0;
        return;
    }
    if (++s.column < s.width) return;
    ++s.rows;
    if (is_forbidden_at_line_end(c)) {
        // The character may not end a row: it begins the next one.
        s.units.back() = 9;
        push(s, c);
        s.column = 1;
    } else {
        push(s, 13);
        s.column = 0;
    }
}

// Units one character can take at most (a moved bad_end character, a paired code).
constexpr std::size_t k_char_room = 4;

bool has_room(const BacklogStore& s, std::size_t n) {
    return s.units.size() + n <= k_backlog_units;
}

void add_code(BacklogStore& s, std::uint32_t code) {
    if (is_paired_code(code)) {
        add_char(s, clean_code(code >> 16));
        add_char(s, clean_code(code & 0xFFFF));
    } else if (code == 10) {
        add_char(s, 10);
    } else {
        add_char(s, clean_code(code));
    }
}

void push_name(BacklogStore& s, std::string_view name) {
    for (unsigned char b : name) push(s, b < 32 ? '_' : b);
}

bool add_voice(BacklogStore& s, std::string_view character, std::string_view file) {
    if (!has_room(s, character.size() + file.size() + 4 + k_char_room)) return false;
    push(s, 16);
    push(s, 17);
    push_name(s, character);
    push(s, 17);
    push_name(s, file);
    push(s, 16);
    return true;
}

// Additions change at most the last unit before the write position and what follows.
void note_change(BacklogStore& s) {
    s.dirty_from = std::min(s.dirty_from, s.units.empty() ? std::size_t{0} : s.units.size() - 1);
}

bool add_locked(BacklogStore& s, std::int32_t code, const VoiceRecord* voice) {
    note_change(s);
    if (voice && !add_voice(s, voice->class_name, voice->src)) return false;
    if (code == 0) {
        ++s.generation;
        return voice != nullptr;
    }
    if (!has_room(s, k_char_room)) return false;
    add_code(s, static_cast<std::uint32_t>(code));
    ++s.generation;
    return true;
}

void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t get32(const std::uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

} // namespace

namespace detail {

BacklogStore& backlog_store() {
    static BacklogStore s;
    return s;
}

const std::vector<BacklogRowSpan>& backlog_rows(BacklogStore& s) {
    if (s.split_generation == s.generation) return s.split;
    // Keep the rows that end (with their break) before the first changed unit.
    while (!s.split.empty() && s.split.back().end + 1 >= s.dirty_from) s.split.pop_back();
    const std::uint16_t* u = s.units.data();
    const auto n = static_cast<std::uint32_t>(s.units.size());
    std::uint32_t begin = s.split.empty() ? 0 : s.split.back().end + 1;
    for (std::uint32_t i = begin; i < n; ++i) {
        if (u[i] == 16) {
            // A voice marker: 16, 17, name, 17, file, 16.
            int delimiters = 0;
            while (i + 1 < n && delimiters < 3) {
                ++i;
                if (u[i] == 16 || u[i] == 17) ++delimiters;
            }
            continue;
        }
        if (is_row_break(u[i])) {
            s.split.push_back({begin, i});
            begin = i + 1;
        }
    }
    if (begin < n) s.split.push_back({begin, n});
    s.split_generation = s.generation;
    s.dirty_from = n;
    return s.split;
}

} // namespace detail

bool backlog_add(std::int32_t code, const VoiceRecord* voice) {
    if (!adding_allowed()) return false;
    BacklogStore& s = detail::backlog_store();
    std::lock_guard guard(s.mutex);
    return add_locked(s, code, voice);
}

bool backlog_set(std::string_view text, std::string_view voice_file, std::string_view character) {
    if (!adding_allowed()) return false;
    BacklogStore& s = detail::backlog_store();
    std::lock_guard guard(s.mutex);
    if (!has_room(s, text.size() * 2 + voice_file.size() + character.size() + 8)) return false;
    note_change(s);
    if (voice_file != "NULL") add_voice(s, character, voice_file);
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b >= 0x80 && i + 1 < text.size()) {
            add_code(s, b * 256u + static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            add_code(s, b);
            ++i;
        }
    }
    add_code(s, 10);
    ++s.generation;
    return true;
}

void backlog_clear() {
    BacklogStore& s = detail::backlog_store();
    std::lock_guard guard(s.mutex);
    s.units.clear();
    s.column = 0;
    s.rows = 0;
    s.dirty_from = 0;
    ++s.generation;
}

std::int32_t backlog_row_count() {
    BacklogStore& s = detail::backlog_store();
    std::lock_guard guard(s.mutex);
    return s.rows;
}

void set_backlog_width(std::int32_t width) {
    BacklogStore& s = detail::backlog_store();
    std::lock_guard guard(s.mutex);
    s.width = std::clamp(width, 1, k_backlog_max_width);
}

std::vector<std::uint8_t> backlog_save() {
    BacklogStore& s = detail::backlog_store();
    std::lock_guard guard(s.mutex);
    std::vector<std::uint8_t> out(k_header + 2 * s.units.size());
    std::memcpy(out.data(), "VKSB", 4);
    put32(out.data() + 4, k_tag);
    put32(out.data() + 8, static_cast<std::uint32_t>(out.size()));
    put32(out.data() + 12, static_cast<std::uint32_t>(s.column));
    put32(out.data() + 16, static_cast<std::uint32_t>(s.rows));
    for (std::size_t i = 0; i < s.units.size(); ++i) {
        out[k_header + 2 * i] = static_cast<std::uint8_t>(s.units[i]);
        out[k_header + 2 * i + 1] = static_cast<std::uint8_t>(s.units[i] >> 8);
    }
    return out;
}

bool backlog_restore(std::span<const std::uint8_t> blob) {
    backlog_clear();
    if (blob.size() < k_header || std::memcmp(blob.data(), "VKSB", 4) != 0 ||
        get32(blob.data() + 4) != k_tag)
        return false;
    const std::uint32_t size = get32(blob.data() + 8);
    const auto column = static_cast<std::int32_t>(get32(blob.data() + 12));
    const auto rows = static_cast<std::int32_t>(get32(blob.data() + 16));
    const std::size_t units = (size - k_header) / 2;
    BacklogStore& s = detail::backlog_store();
    std::lock_guard guard(s.mutex);
    if (size < k_header || size > blob.size() || size % 2 != 0 || units >= k_backlog_units ||
        column < 0 || column >= s.width || rows < 0)
        return false;
    s.units.resize(units);
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint16_t u =
            static_cast<std::uint16_t>(blob[k_header + 2 * i] | blob[k_header + 2 * i + 1] << 8);
        if (u == 0) {
            s.units.resize(i);
            break;
        }
        s.units[i] = u;
    }
    s.column = column;
    s.rows = rows;
    s.dirty_from = 0;
    ++s.generation;
    return true;
}

std::vector<std::uint16_t> backlog_units() {
    BacklogStore& s = detail::backlog_store();
    std::lock_guard guard(s.mutex);
    return s.units;
}

std::int32_t backlog_column() {
    BacklogStore& s = detail::backlog_store();
    std::lock_guard guard(s.mutex);
    return s.column;
}

} // namespace kestrune::text
