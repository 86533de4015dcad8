// Compact JSON text of a parsed value (no whitespace; true, false and null as words;
// strings escaped minimally; integers in decimal; floats in shortest round-trip form;
// number_text as written). Iterative, so any nesting depth is written without recursion.
#pragma once

#include <string>

#include "json/reader.h"

namespace skerrow {

// Appends the compact text of `value` to `out`. Errors: OutOfMemory.
Status write_compact_json(const JsonValue& value, std::pmr::string& out);

// Appends `text` to `out` with the escaping JSON strings need (quote, backslash and control
// bytes; everything else verbatim). No surrounding quotes are added. Errors: OutOfMemory.
Status append_json_escaped(std::string_view text, std::pmr::string& out);

}  // namespace skerrow
