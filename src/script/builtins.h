// The built-in function table shared by the evaluator and the function implementations.
// Not a public header: other subsystems add their functions with register_builtin()
// (expressions.h).
#pragma once

#include "script/expressions.h"

#include <string>
#include <string_view>
#include <vector>

namespace kestrune::script::builtins {

// Index of the built-in called `name`, or -1.
int find(std::string_view name);
// The names of every built-in, in table order.
std::vector<std::string> names();
// Largest number of arguments the function reads.
int max_args(int index);
// Runs the function; an unregistered one yields 0 and says once per name on stderr that
// the subsystem providing it is not available yet.
Value call(int index, const BuiltinCall& call);

// Number of a value as the numeric built-ins see it: a numeric text counts by its digits.
double numeric_of(const Value& v);

// Implementations that live in builtins_string.cpp.
Value string_format(const BuiltinCall& call);
Value strlen_fn(const BuiltinCall& call);
Value strstr_fn(const BuiltinCall& call);
Value substr_fn(const BuiltinCall& call);
// Implementations that live in builtins_files.cpp.
Value read_file_fn(const BuiltinCall& call);
Value available_file_fn(const BuiltinCall& call);
Value write_image_fn(const BuiltinCall& call);

} // namespace kestrune::script::builtins
