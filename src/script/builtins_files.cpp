// Built-ins that read and write files through the file-access layer: ReadFile,
// AvailableFile and WriteImage. Names go to storage as the script spells them; the cache,
// the archives and loose files serve them in that order, and containers written by
// WriteFile are decoded on the way.
#include "script/builtins.h"

#include "script/variables.h"
#include "storage/storage.h"

#include <cstring>

namespace kestrune::script::builtins {

namespace {

const Value& arg(const BuiltinCall& c, std::size_t i) {
    static const Value empty;
    return i < c.args.size() ? c.args[i] : empty;
}

} // namespace

Value read_file_fn(const BuiltinCall& c) {
    const std::string name = value_text(arg(c, 0));
    storage::FileBytes bytes;
    if (name.empty() || !storage::read_whole_file(name, bytes)) return Value::of_text("");
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
    return Value::of_number(storage::available_file(r->text));
}

Value write_image_fn(const BuiltinCall& c) {
    const std::string name = value_text(arg(c, 0));
    if (name.empty()) return Value::of_number(0);
    std::shared_ptr<PixelImage> screen = storage::load_image("SCREEN");
    return Value::of_number(screen && storage::write_vksi(*screen, name) ? 1 : 0);
}

} // namespace kestrune::script::builtins
