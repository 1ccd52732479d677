// Built-ins that read and write files through the file-access layer: ReadFile,
// AvailableFile and WriteImage. Names go to storage as the script spells them; the cache,
// the archives and loose files serve them in that order, and containers written by
// WriteFile are decoded on the way. Names must stay inside the game and save folders.
#include "script/builtins.h"

#include "script/variables.h"
#include "storage/storage.h"

#include <cstdio>
#include <cstring>

namespace kestrune::script::builtins {

namespace {

const Value& arg(const BuiltinCall& c, std::size_t i) {
    static const Value empty;
    return i < c.args.size() ? c.args[i] : empty;
}

// Names that would leave the game and save folders are refused with a warning naming the
// script file (the built-in does not know its line).
bool allowed(const BuiltinCall& c, const char* function, const std::string& name) {
    std::string why;
    if (storage::script_name_allowed(name, why)) return true;
    const std::string_view file = c.ctx ? c.ctx->module_file_name : std::string_view("?");
    std::fprintf(stderr, "%.*s: %s(\"%s\") refused: %s\n", static_cast<int>(file.size()),
                 file.data(), function, name.c_str(), why.c_str());
    return false;
}

} // namespace

Value read_file_fn(const BuiltinCall& c) {
    const std::string name = value_text(arg(c, 0));
    storage::FileBytes bytes;
    if (name.empty() || !allowed(c, "ReadFile", name) || !storage::read_whole_file(name, bytes))
        return Value::of_text("");
    // The text ends at the first zero byte, as a text read into a buffer does; the caller
    // cuts it to the text result size on a character boundary.
    const char* text = reinterpret_cast<const char*>(bytes.data.get());
    const std::size_t limit = bytes.size < k_text_result_size ? bytes.size : k_text_result_size;
    return Value::of_text(std::string_view(text, strnlen(text, limit)));
}

Value available_file_fn(const BuiltinCall& c) {
    // Only a string variable names a file; anything else names none.
    const Value& v = arg(c, 0);
    if (v.var_name.empty()) return Value::of_number(-1);
    std::optional<VarRecord> r = var_find(v.var_name);
    if (!r || r->type != VarType::string || r->text.empty()) return Value::of_number(-1);
    if (!allowed(c, "AvailableFile", r->text)) return Value::of_number(-1);
    return Value::of_number(storage::available_file(r->text));
}

Value write_image_fn(const BuiltinCall& c) {
    const std::string name = value_text(arg(c, 0));
    if (name.empty() || !allowed(c, "WriteImage", name)) return Value::of_number(0);
    std::shared_ptr<PixelImage> screen = storage::load_image("SCREEN");
    return Value::of_number(screen && storage::write_vksi(*screen, name) ? 1 : 0);
}

} // namespace kestrune::script::builtins
