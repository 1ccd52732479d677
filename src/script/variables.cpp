// The variable store: two slot tables (globals, locals) behind one lock, with a hash index
// from name to slot, an index of direct children for Count, and an index of key texts for
// AssocArray lookups. Slots keep the order in which they were taken (the first free slot
// is always reused first), because serialisation, Count and key lookups follow slot order.
#include "script/variables.h"

#include "script/expressions.h"
#include "script/scanner.h"
#include "script/system_variables.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

namespace kestrune::script {

namespace {

constexpr std::size_t k_name_max = k_var_name_size - 1;
constexpr std::size_t k_text_max = k_var_text_size - 1;
constexpr std::size_t k_key_max = k_var_key_size - 1;

struct Slot {
    bool in_use = false;
    VarType type = VarType::untyped;
    double number = 0.0;
    std::string name;
    std::string text;
    std::string key;
};

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

using NameIndex = std::unordered_map<std::string, int, StringHash, std::equal_to<>>;
using SlotSetIndex = std::unordered_map<std::string, std::set<int>, StringHash, std::equal_to<>>;

struct Table {
    explicit Table(int slot_count) : capacity(slot_count) {}
    int capacity;
    std::vector<Slot> slots; // allocated on first use
    int high = 0;            // slots at and above high were never used since the last clear
    std::set<int> holes;     // free slots below high
    NameIndex index;
    SlotSetIndex children; // parent name (up to the last '/') -> slots
    SlotSetIndex keys;     // key text -> slots

    void ensure() {
        if (slots.empty()) slots.resize(static_cast<std::size_t>(capacity));
    }
    void clear() {
        for (int i = 0; i < high; i++) slots[static_cast<std::size_t>(i)] = Slot{};
        high = 0;
        holes.clear();
        index.clear();
        children.clear();
        keys.clear();
    }
};

// The store's lock. Every hold is short (a lookup and a copy of a few fields) except for
// the rare whole-table operations (delete, clear, save and restore), and expression
// statements take it two or three times each: a lock that is one atomic exchange when free
// costs a fraction of a full mutex. A thread that finds it held spins briefly and then
// gives its time slice away, so a long hold does not keep a processor busy.
class StoreLock {
public:
    void lock() {
        for (int spins = 0; m_held.exchange(true, std::memory_order_acquire); ++spins)
            while (m_held.load(std::memory_order_relaxed))
                if (spins++ > 64) std::this_thread::yield();
    }
    void unlock() { m_held.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_held{false};
};

struct Store {
    StoreLock mutex;
    Table global{k_global_slots};
    Table local{k_local_slots};
};

Store& store() {
    static Store s;
    return s;
}

Table* table_for(Store& s, std::string_view name) {
    if (name.empty()) return nullptr;
    if (name[0] == '#') return &s.global;
    if (name[0] == '$') return &s.local;
    return nullptr;
}

std::string_view parent_of(std::string_view name) {
    std::size_t slash = name.rfind('/');
    return slash == std::string_view::npos ? std::string_view{} : name.substr(0, slash);
}

void unlink_slot(Table& t, int i) {
    Slot& s = t.slots[static_cast<std::size_t>(i)];
    t.index.erase(s.name);
    std::string_view parent = parent_of(s.name);
    if (!parent.empty()) {
        auto it = t.children.find(parent);
        if (it != t.children.end()) {
            it->second.erase(i);
            if (it->second.empty()) t.children.erase(it);
        }
    }
    if (!s.key.empty()) {
        auto it = t.keys.find(s.key);
        if (it != t.keys.end()) {
            it->second.erase(i);
            if (it->second.empty()) t.keys.erase(it);
        }
    }
}

void free_slot(Table& t, int i) {
    unlink_slot(t, i);
    t.slots[static_cast<std::size_t>(i)] = Slot{};
    t.holes.insert(i);
}

int find_locked(Table& t, std::string_view name) {
    auto it = t.index.find(name);
    return it == t.index.end() ? -1 : it->second;
}

int take_slot(Table& t, std::string_view name) {
    int i;
    if (!t.holes.empty()) {
        i = *t.holes.begin();
        t.holes.erase(t.holes.begin());
    } else if (t.high < t.capacity) {
        i = t.high++;
    } else {
        return -1;
    }
    Slot& s = t.slots[static_cast<std::size_t>(i)];
    s = Slot{};
    s.in_use = true;
    s.name.assign(name);
    t.index.emplace(s.name, i);
    std::string_view parent = parent_of(s.name);
    if (!parent.empty()) t.children[std::string(parent)].insert(i);
    return i;
}

// Find-or-create on a normalised name, under the lock.
int find_or_create_locked(Table& t, std::string_view name) {
    t.ensure();
    int i = find_locked(t, name);
    if (i >= 0) return i;
    VarType type = VarType::untyped;
    std::size_t slash = name.find('/');
    if (slash != std::string_view::npos) {
        // The root exists before its elements and lends them its type.
        int root = find_or_create_locked(t, name.substr(0, slash));
        if (root < 0) return -1;
        type = t.slots[static_cast<std::size_t>(root)].type;
    }
    i = take_slot(t, name);
    if (i >= 0) t.slots[static_cast<std::size_t>(i)].type = type;
    return i;
}

// The slot of a normalised name, trying the caller's hint first; the hint is refreshed
// with what the index found (see VarSlotHint).
int find_hinted(Table& t, std::string_view name, bool create, VarSlotHint* hint) {
    if (hint && hint->slot >= 0 && hint->slot < t.high) {
        const Slot& s = t.slots[static_cast<std::size_t>(hint->slot)];
        if (s.in_use && s.name == name) return hint->slot;
    }
    const int i = create ? find_or_create_locked(t, name) : find_locked(t, name);
    if (hint) hint->slot = i;
    return i;
}

VarRecord to_record(const Slot& s, int i) {
    VarRecord r;
    r.type = s.type;
    r.number = s.number;
    r.name = s.name;
    r.text = s.text;
    r.key = s.key;
    r.slot = i;
    return r;
}

void set_key_locked(Table& t, int i, std::string_view key) {
    Slot& s = t.slots[static_cast<std::size_t>(i)];
    if (!s.key.empty()) {
        auto it = t.keys.find(s.key);
        if (it != t.keys.end()) {
            it->second.erase(i);
            if (it->second.empty()) t.keys.erase(it);
        }
    }
    s.key.assign(key.substr(0, fit_bytes(key, k_key_max)));
    if (!s.key.empty()) t.keys[s.key].insert(i);
}

std::string cut_name(std::string_view name) {
    return std::string(name.substr(0, fit_bytes(name, k_name_max)));
}

void after_change(std::string_view name, bool run_handler) {
    if (run_handler && is_system_variable_name(name)) run_system_variable_handler(name);
}

// Reads the value of an index text for name rewriting: digits, a quoted key, a variable.
// Returns false when the index selects nothing.
bool rewrite_index(std::string& out, std::string_view index) {
    if (is_number_text(index)) {
        out += '/';
        out += number_text(std::strtod(std::string(index).c_str(), nullptr));
        return true;
    }
    std::string key;
    if (index.size() >= 2 && index.front() == '"' && index.back() == '"') {
        key.assign(index.substr(1, index.size() - 2));
    } else if (is_variable_name(index)) {
        std::optional<VarRecord> v = var_find(index);
        if (!v) return false;
        if (v->type != VarType::string) {
            out += '/';
            out += number_text(v->number);
            return true;
        }
        key = v->text;
    } else {
        key.assign(index);
    }
    std::optional<std::string> element = var_find_by_key(out, key);
    if (!element) return false;
    out = *element;
    return true;
}

// A normalised name: a view of the caller's text when it needs no rewriting (the common
// case, no allocation), else a view of the rewritten copy.
struct NameRef {
    std::string storage;
    std::string_view view;
    operator std::string_view() const { return view; }
};

bool resolve(std::string_view name, NameRef& out) {
    if (!is_variable_name(name)) return false;
    if (std::find(name.begin(), name.end(), '[') == name.end()) {
        out.view = name.size() <= k_name_max ? name : name.substr(0, fit_bytes(name, k_name_max));
        return true;
    }
    if (!normalise_variable_name(name, out.storage)) return false;
    out.view = out.storage;
    return true;
}

} // namespace

bool is_variable_name(std::string_view name) {
    return !name.empty() && (name[0] == '#' || name[0] == '$');
}

bool is_system_variable_name(std::string_view name) {
    return name.size() > 8 && is_variable_name(name) && name.substr(1, 7) == "SYSTEM_";
}

bool normalise_variable_name(std::string_view name, std::string& out) {
    if (!is_variable_name(name)) return false;
    std::string cut = cut_name(name);
    std::size_t bracket = cut.find('[');
    if (bracket == std::string::npos) {
        out = std::move(cut);
        return true;
    }
    std::string result = cut.substr(0, bracket);
    std::size_t p = bracket;
    while (p < cut.size() && cut[p] == '[') {
        // The matching ']' (nested brackets in the index count).
        int depth = 0;
        std::size_t q = p;
        bool quoted = false;
        for (; q < cut.size(); q++) {
            char c = cut[q];
            if (c == '"') quoted = !quoted;
            if (quoted) continue;
            if (c == '[') depth++;
            if (c == ']' && --depth == 0) break;
        }
        if (q >= cut.size()) break; // unclosed: the rest was cut away
        if (!rewrite_index(result, std::string_view(cut).substr(p + 1, q - p - 1))) return false;
        p = q + 1;
    }
    out = cut_name(result);
    return true;
}

std::optional<VarRecord> var_find_or_create(std::string_view name) {
    NameRef n;
    if (!resolve(name, n)) return std::nullopt;
    Store& s = store();
    std::lock_guard lock(s.mutex);
    Table* t = table_for(s, n);
    int i = find_or_create_locked(*t, n);
    if (i < 0) return std::nullopt;
    return to_record(t->slots[static_cast<std::size_t>(i)], i);
}

std::optional<VarRecord> var_find(std::string_view name) {
    NameRef n;
    if (!resolve(name, n)) return std::nullopt;
    Store& s = store();
    std::lock_guard lock(s.mutex);
    Table* t = table_for(s, n);
    int i = n.view.find('/') != std::string_view::npos ? find_or_create_locked(*t, n)
                                                       : find_locked(*t, n);
    if (i < 0) return std::nullopt;
    return to_record(t->slots[static_cast<std::size_t>(i)], i);
}

bool var_exists(std::string_view name) {
    NameRef n;
    if (!resolve(name, n)) return false;
    Store& s = store();
    std::lock_guard lock(s.mutex);
    Table* t = table_for(s, n);
    return find_locked(*t, n) >= 0;
}

bool var_read(std::string_view name, bool create, VarType& type, double& number, std::string& text,
              std::string* full_name, VarSlotHint* hint) {
    NameRef n;
    if (!resolve(name, n)) return false;
    Store& s = store();
    std::lock_guard lock(s.mutex);
    Table* t = table_for(s, n);
    bool make = create || n.view.find('/') != std::string_view::npos;
    int i = find_hinted(*t, n, make, hint);
    if (i < 0) return false;
    const Slot& slot = t->slots[static_cast<std::size_t>(i)];
    type = slot.type;
    number = slot.number;
    if (slot.type == VarType::string)
        text = slot.text;
    else
        text.clear();
    if (full_name) *full_name = slot.name;
    return true;
}

std::string var_text(std::string_view name) {
    VarType type;
    double number;
    std::string text;
    if (!var_read(name, false, type, number, text)) return {};
    if (type == VarType::number) return number_text(number);
    return text;
}

double var_number(std::string_view name) {
    double d = 0.0;
    var_get_number(name, d);
    return d;
}

bool var_get_number(std::string_view name, double& out) {
    VarType type;
    std::string text;
    return var_read(name, false, type, out, text);
}

bool detail::var_update_impl(std::string_view name, const UpdateThunk& thunk, VarSlotHint* hint) {
    NameRef n;
    if (!resolve(name, n)) return false;
    Store& s = store();
    std::lock_guard lock(s.mutex);
    Table* t = table_for(s, n);
    int i = find_hinted(*t, n, true, hint);
    if (i < 0) return false;
    Slot& slot = t->slots[static_cast<std::size_t>(i)];
    VarFields fields{slot.type, slot.number, slot.text, slot.name};
    thunk.call(thunk.fn, fields);
    if (slot.text.size() > k_text_max) slot.text.resize(fit_bytes(slot.text, k_text_max));
    return true;
}

bool var_set(std::string_view name, VarType type, double number, std::string_view text,
             bool run_handler) {
    NameRef n;
    if (!resolve(name, n)) return false;
    {
        Store& s = store();
        std::lock_guard lock(s.mutex);
        Table* t = table_for(s, n);
        int i = find_or_create_locked(*t, n);
        if (i < 0) return false;
        Slot& slot = t->slots[static_cast<std::size_t>(i)];
        slot.type = type;
        slot.number = number;
        slot.text.assign(text.substr(0, fit_bytes(text, k_text_max)));
    }
    after_change(n, run_handler);
    return true;
}

bool var_set_number(std::string_view name, double value, bool run_handler) {
    NameRef n;
    if (!resolve(name, n)) return false;
    {
        Store& s = store();
        std::lock_guard lock(s.mutex);
        Table* t = table_for(s, n);
        int i = find_or_create_locked(*t, n);
        if (i < 0) return false;
        Slot& slot = t->slots[static_cast<std::size_t>(i)];
        slot.type = VarType::number;
        slot.number = value;
    }
    after_change(n, run_handler);
    return true;
}

bool var_set_text(std::string_view name, std::string_view text, bool run_handler) {
    NameRef n;
    if (!resolve(name, n)) return false;
    {
        Store& s = store();
        std::lock_guard lock(s.mutex);
        Table* t = table_for(s, n);
        int i = find_or_create_locked(*t, n);
        if (i < 0) return false;
        Slot& slot = t->slots[static_cast<std::size_t>(i)];
        slot.type = VarType::string;
        slot.text.assign(text.substr(0, fit_bytes(text, k_text_max)));
    }
    after_change(n, run_handler);
    return true;
}

bool var_set_key(std::string_view name, std::string_view key) {
    NameRef n;
    if (!resolve(name, n)) return false;
    Store& s = store();
    std::lock_guard lock(s.mutex);
    Table* t = table_for(s, n);
    int i = find_or_create_locked(*t, n);
    if (i < 0) return false;
    set_key_locked(*t, i, key);
    return true;
}

int var_count(std::string_view name) {
    NameRef n;
    if (!resolve(name, n)) return 0;
    Store& s = store();
    std::lock_guard lock(s.mutex);
    Table* t = table_for(s, n);
    auto it = t->children.find(n.view);
    if (it == t->children.end()) return 0;
    int count = 0;
    for (int i : it->second) {
        const Slot& slot = t->slots[static_cast<std::size_t>(i)];
        if (!slot.text.empty() || slot.number != 0.0 || slot.type != VarType::untyped) count++;
    }
    return count;
}

int var_delete(std::string_view prefix) {
    if (!is_variable_name(prefix)) return 0;
    std::string p;
    if (!normalise_variable_name(prefix, p)) return 0;
    Store& s = store();
    std::lock_guard lock(s.mutex);
    Table* t = table_for(s, p);
    if (t->slots.empty()) return 0;
    int deleted = 0;
    for (int i = 0; i < t->high; i++) {
        Slot& slot = t->slots[static_cast<std::size_t>(i)];
        if (slot.in_use && slot.name.starts_with(p)) {
            free_slot(*t, i);
            deleted++;
        }
    }
    return deleted;
}

std::optional<std::string> var_find_by_key(std::string_view array_name, std::string_view key) {
    if (!is_variable_name(array_name)) return std::nullopt;
    std::string k(key.substr(0, fit_bytes(key, k_key_max)));
    Store& s = store();
    std::lock_guard lock(s.mutex);
    Table* t = table_for(s, array_name);
    auto it = t->keys.find(k);
    if (it == t->keys.end()) return std::nullopt;
    for (int i : it->second) {
        const std::string& name = t->slots[static_cast<std::size_t>(i)].name;
        // Only elements of this array: "$a" must not find a key of "$ab/0".
        if (name.size() > array_name.size() && name.starts_with(array_name) &&
            name[array_name.size()] == '/')
            return name;
    }
    return std::nullopt;
}

void var_clear_globals() {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    s.global.clear();
}

void var_clear_locals() {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    s.local.clear();
}

int var_used_count(bool global) {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    return static_cast<int>((global ? s.global : s.local).index.size());
}

// ---- save blocks ----

namespace {

constexpr std::uint32_t k_block_tag = 0xF1F122C4u;
constexpr std::size_t k_record_size = 1024;
constexpr std::size_t k_header_size = 16;

void put_u32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t get_u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void put_f64(std::uint8_t* p, double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    for (int i = 0; i < 8; i++) p[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}
double get_f64(const std::uint8_t* p) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; i++) bits |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

// One record: type, name, 4 zeros, number, text, 4 zeros, key, 4 zeros, zero fill. With a
// 127-byte name, a 1023-byte text does not fit in 1024 bytes: the text is cut so that the
// record never runs into the next one (the key, which lookups need, is kept whole).
void write_record(std::uint8_t* rec, const Slot& s) {
    rec[0] = static_cast<std::uint8_t>(s.type);
    std::size_t pos = 1;
    std::memcpy(rec + pos, s.name.data(), s.name.size());
    pos += s.name.size() + 4;
    put_f64(rec + pos, s.number);
    pos += 8;
    std::size_t key_room = s.key.size() + 4;
    std::size_t text_room = k_record_size - pos - 4 - key_room;
    std::size_t text_len = fit_bytes(s.text, text_room);
    std::memcpy(rec + pos, s.text.data(), text_len);
    pos += text_len + 4;
    std::memcpy(rec + pos, s.key.data(), s.key.size());
}

std::string_view read_cstr(const std::uint8_t* rec, std::size_t pos, std::size_t limit) {
    if (pos >= limit) return {};
    const char* start = reinterpret_cast<const char*>(rec + pos);
    std::size_t n = strnlen(start, limit - pos);
    return std::string_view(start, n);
}

} // namespace

std::vector<std::uint8_t> var_serialise(bool global) {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    Table& t = global ? s.global : s.local;
    std::uint32_t count = 0;
    for (int i = 0; i < t.high; i++)
        if (t.slots[static_cast<std::size_t>(i)].in_use) count++;
    std::vector<std::uint8_t> out(k_header_size + k_record_size * count, 0);
    std::memcpy(out.data(), global ? "VKSG" : "VKSL", 4);
    put_u32(out.data() + 4, k_block_tag);
    put_u32(out.data() + 8, static_cast<std::uint32_t>(out.size()));
    put_u32(out.data() + 12, count);
    std::size_t r = 0;
    for (int i = 0; i < t.high; i++) {
        const Slot& slot = t.slots[static_cast<std::size_t>(i)];
        if (!slot.in_use) continue;
        write_record(out.data() + k_header_size + k_record_size * r++, slot);
    }
    return out;
}

bool var_check_block(bool global, std::span<const std::uint8_t> block, std::string& error) {
    auto refuse = [&](const char* why) {
        error = why;
        return false;
    };
    if (block.size() < k_header_size) return refuse("shorter than its header");
    if (std::memcmp(block.data(), global ? "VKSG" : "VKSL", 4) != 0) return refuse("wrong magic");
    if (get_u32(block.data() + 4) != k_block_tag) return refuse("wrong tag");
    std::uint32_t count = get_u32(block.data() + 12);
    int capacity = global ? k_global_slots : k_local_slots;
    if (count > static_cast<std::uint32_t>(capacity)) return refuse("too many records");
    if (block.size() < k_header_size + k_record_size * count) return refuse("truncated records");
    return true;
}

bool var_restore(bool global, std::span<const std::uint8_t> block, std::string_view source) {
    std::string src(source);
    std::string why;
    if (!var_check_block(global, block, why)) {
        std::fprintf(stderr, "%s: variable block refused: %s\n", src.c_str(), why.c_str());
        return false;
    }
    std::uint32_t count = get_u32(block.data() + 12);
    char prefix = global ? '#' : '$';

    std::vector<std::string> system_names;
    {
        Store& s = store();
        std::lock_guard lock(s.mutex);
        Table& t = global ? s.global : s.local;
        t.ensure();
        t.clear();
        for (std::uint32_t r = 0; r < count; r++) {
            const std::uint8_t* rec = block.data() + k_header_size + k_record_size * r;
            std::uint8_t type = rec[0];
            std::string_view name = read_cstr(rec, 1, 1 + k_name_max);
            std::size_t pos = 1 + name.size() + 4;
            if (name.empty() || name[0] != prefix || type > 2 || pos + 8 > k_record_size) {
                std::fprintf(stderr, "%s: variable record %u skipped: bad name or type\n",
                             src.c_str(), r);
                continue;
            }
            if (find_locked(t, name) >= 0) continue; // a repeated name: the first one wins
            double number = get_f64(rec + pos);
            pos += 8;
            std::string_view text = read_cstr(rec, pos, std::min(k_record_size, pos + k_text_max));
            pos += text.size() + 4;
            std::string_view key = read_cstr(rec, pos, std::min(k_record_size, pos + k_key_max));
            int i = take_slot(t, name);
            if (i < 0) break;
            Slot& slot = t.slots[static_cast<std::size_t>(i)];
            slot.type = static_cast<VarType>(type);
            slot.number = number;
            slot.text.assign(text);
            set_key_locked(t, i, key);
            if (is_system_variable_name(name)) system_names.emplace_back(name);
        }
    }
    for (const std::string& n : system_names) run_system_variable_handler(n);
    return true;
}

} // namespace kestrune::script
