// The script variable store: one process-wide table of global records (names beginning
// with '#', kept in the common save data) and one of local records ('$', kept in each save
// slot). A '/' in a name makes a sub-name ("$a/0", "$a/key"): arrays and records are just
// variables sharing a prefix. Every variable has a number and a text; its type says which
// one counts. Names beginning with "#SYSTEM_" or "$SYSTEM_" are system variables: changing
// one through an assignment (or restoring it) runs the system-variable handler
// (system_variables.h), which applies the setting it stands for.
//
// Slot order matters and is kept: it decides which record serialisation writes first,
// which element Count sees and which element a key lookup finds. Names are found through a
// hash index, so a lookup costs the same with ten variables or ten thousand.
//
// Fixed sizes: names are cut to 127 bytes, texts to 1023, key texts to 127 (never written
// past). A name whose first byte is neither '#' nor '$' is no variable: every operation
// ignores it.
//
// Threading: every function here may be called from any thread. One lock guards the whole
// store; each call is atomic (two threads never take the same free slot, a reader never
// sees a half-written text). Records are copied out, never handed out by pointer. The
// system-variable handler runs after the lock is given back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kestrune::script {

inline constexpr int k_global_slots = 14336;
inline constexpr int k_local_slots = 12288;
inline constexpr std::size_t k_var_name_size = 128; // bytes with the NUL
inline constexpr std::size_t k_var_text_size = 1024;
inline constexpr std::size_t k_var_key_size = 128;

enum class VarType : std::uint8_t { untyped = 0, string = 1, number = 2 };

// A copy of one variable record.
struct VarRecord {
    VarType type = VarType::untyped;
    double number = 0.0;
    std::string name;
    std::string text;
    std::string key;
    int slot = -1; // slot index in its table
};

// True when the name is a variable name ('#' or '$' first).
bool is_variable_name(std::string_view name);
// True for a name whose part after the first byte begins with "SYSTEM_".
bool is_system_variable_name(std::string_view name);

// Name normalisation: cut to 127 bytes, then square-bracket indexes rewritten: "[3]" (or
// an index naming a number variable) becomes "/3"; a text index ("[\"k\"]", or a string
// variable) becomes the name of the element whose key text equals it. Returns false when a
// text index finds no element, or the name is no variable name.
bool normalise_variable_name(std::string_view name, std::string& out);

// A slot remembered for a variable reference that is met again and again (a statement
// run in a loop): the next lookup of the same name tries that slot first and skips the
// name index. It is only a hint: every use checks, under the store lock, that the slot is
// in use and holds that very name, so a variable deleted and created again (in another
// slot, or after a clear or a restore) is simply looked up afresh and the hint refreshed.
struct VarSlotHint {
    int slot = -1;
};

// Find: the record, or nothing. A name with '/' is found or created: in the script
// language, reading an element of an array makes it exist.
std::optional<VarRecord> var_find(std::string_view name);
// Find-or-create: the record (created untyped and empty when new; a sub-name first makes
// its root exist and takes its type). Nothing when the table is full or the name is bad.
std::optional<VarRecord> var_find_or_create(std::string_view name);
bool var_exists(std::string_view name);

// Convenience reads. var_text gives a string's text, a number rendered with %d, or "" for
// an untyped or missing variable. var_number gives the number (0 when missing).
std::string var_text(std::string_view name);
double var_number(std::string_view name);
// Reads the number only when the variable exists.
bool var_get_number(std::string_view name, double& out);

// Reads type, number and text (the text only for a string; empty otherwise) without
// copying the rest of the record; creates the variable when `create` is set (or the name
// is a sub-name). full_name, when given, receives the normalised name. False when the
// variable does not exist (and was not created).
bool var_read(std::string_view name, bool create, VarType& type, double& number, std::string& text,
              std::string* full_name = nullptr, VarSlotHint* hint = nullptr);

// Writes (creating the variable when needed). set_number makes it a number; set_text
// makes it a string (the text cut to 1023 bytes). When run_handler is true and the name is
// a system variable, the system-variable handler runs afterwards. False when the variable
// could not be created.
bool var_set_number(std::string_view name, double value, bool run_handler = true);
bool var_set_text(std::string_view name, std::string_view text, bool run_handler = true);
// Writes the whole record (type, number, text; the key is kept).
bool var_set(std::string_view name, VarType type, double number, std::string_view text,
             bool run_handler = true);
// Sets the key text of an element (AssocArray).
bool var_set_key(std::string_view name, std::string_view key);

// Count: used records named name + "/" + one more component without a further '/', that
// hold something (a non-empty text, a non-zero number or a non-zero type).
int var_count(std::string_view name);
// Delete: zeroes every record whose name begins with the given text (a plain prefix test:
// "$a" also deletes "$ab" and "$a/0"). Returns the number deleted.
int var_delete(std::string_view prefix);
// The name of the first element in slot order whose key text equals key and whose name
// begins with array_name; nothing when none.
std::optional<std::string> var_find_by_key(std::string_view array_name, std::string_view key);

void var_clear_globals();
void var_clear_locals();
// Number of used records in a table (tests, debugging).
int var_used_count(bool global);

// Save blocks VKSG (globals) and VKSL (locals): 16-byte header (magic, tag 0xF1F122C4,
// total size, count) and one 1024-byte record per used variable, in slot order.
std::vector<std::uint8_t> var_serialise(bool global);
// Clears the table, reads the records into consecutive slots from the first, and runs the
// system-variable handler for every restored system variable. A malformed block is
// refused (false, message on stderr naming `source`) and the table is left as it was.
bool var_restore(bool global, std::span<const std::uint8_t> block,
                 std::string_view source = "variable block");
// The checks var_restore makes before it changes anything: false, with the reason in
// `error`, for a block that var_restore would refuse.
bool var_check_block(bool global, std::span<const std::uint8_t> block, std::string& error);

// The fields of a record that var_update hands to its function: type, number and text
// may be changed in place; the name is the variable's own, to read only.
struct VarFields {
    VarType& type;
    double& number;
    std::string& text;
    std::string_view name;
};

// Store-wide read-modify-write for the expression evaluator: runs fn(VarFields&) under the
// store lock on the record of `name` (created when needed), in place. The text is cut to
// 1023 bytes afterwards. Returns false when the record could not be created. The
// system-variable handler is NOT run here; the caller does that.
template <typename Fn> bool var_update(std::string_view name, Fn&& fn, VarSlotHint* hint = nullptr);

namespace detail {
struct UpdateThunk {
    void* fn;
    void (*call)(void* fn, VarFields& record);
};
bool var_update_impl(std::string_view name, const UpdateThunk& thunk, VarSlotHint* hint);
} // namespace detail

template <typename Fn> bool var_update(std::string_view name, Fn&& fn, VarSlotHint* hint) {
    detail::UpdateThunk thunk{static_cast<void*>(&fn), [](void* f, VarFields& r) {
                                  (*static_cast<std::remove_reference_t<Fn>*>(f))(r);
                              }};
    return detail::var_update_impl(name, thunk, hint);
}

} // namespace kestrune::script
