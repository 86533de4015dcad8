#include "json/writer.h"

#include <array>
#include <charconv>
#include <new>
#include <stdexcept>
#include <vector>

#include "log/format.h"

namespace skerrow {
namespace {

// 0: copied verbatim; otherwise the letter of a short escape, or 'u' for \u00XX.
constexpr auto kEscape = [] {
  std::array<char, 256> t{};
  for (std::size_t c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\f'] = 'f';
  t['\n'] = 'n';
  t['\r'] = 'r';
  t['\t'] = 't';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

void escape_into(std::string_view text, std::pmr::string& out) {
  const char* p = text.data();
  const char* end = p + text.size();
  const char* run = p;
  for (; p < end; ++p) {
    char e = kEscape[static_cast<unsigned char>(*p)];
    if (e == 0) continue;
    out.append(run, p);
    if (e == 'u') {
      auto c = static_cast<unsigned char>(*p);
      char u[6] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 15]};
      out.append(u, 6);
    } else {
      char pair[2] = {'\\', e};
      out.append(pair, 2);
    }
    run = p + 1;
  }
  out.append(run, end);
}

void write_scalar(const JsonValue& v, std::pmr::string& out) {
  char buf[32];
  switch (v.kind()) {
    case JsonKind::null: out.append("null"); break;
    case JsonKind::boolean: out.append(v.as_bool() ? "true" : "false"); break;
    case JsonKind::integer: {
      auto r = std::to_chars(buf, buf + sizeof buf, v.as_integer());
      out.append(buf, r.ptr);
      break;
    }
    case JsonKind::floating: {
      auto r = std::to_chars(buf, buf + sizeof buf, v.as_float());
      out.append(buf, r.ptr);
      // Keep a float a float when it is read back: 100.0 must not come back as integer 100.
      if (std::string_view(buf, r.ptr).find_first_of(".e") == std::string_view::npos) out.append(".0");
      break;
    }
    case JsonKind::number_text: out.append(v.as_text()); break;
    case JsonKind::string:
      out.push_back('"');
      escape_into(v.as_text(), out);
      out.push_back('"');
      break;
    case JsonKind::array: out.append("[]"); break;
    case JsonKind::object: out.append("{}"); break;
  }
}

struct Frame {
  const JsonValue* container;
  std::size_t next;
};

void write_tree(const JsonValue& root, std::pmr::string& out) {
  std::pmr::vector<Frame> stack(out.get_allocator().resource());
  auto open = [&](const JsonValue& v) {
    bool nested = (v.is_array() && !v.items().empty()) || (v.is_object() && !v.members().empty());
    if (!nested) {
      write_scalar(v, out);
      return;
    }
    out.push_back(v.is_array() ? '[' : '{');
    stack.push_back(Frame{&v, 0});
  };
  open(root);
  while (!stack.empty()) {
    Frame& top = stack.back();
    const JsonValue& c = *top.container;
    bool array = c.is_array();
    std::size_t count = array ? c.items().size() : c.members().size();
    if (top.next == count) {
      out.push_back(array ? ']' : '}');
      stack.pop_back();
      continue;
    }
    if (top.next != 0) out.push_back(',');
    std::size_t i = top.next++;
    if (array) {
      open(c.items()[i]);  // may grow the stack: `top` is not used past this point
    } else {
      const JsonMember& m = c.members()[i];
      out.push_back('"');
      escape_into(m.key, out);
      out.append("\":");
      open(m.value);
    }
  }
}

}  // namespace

Status write_compact_json(const JsonValue& value, std::pmr::string& out) {
  std::size_t before = out.size();
  try {
    write_tree(value, out);
    return {};
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  out.resize(before);  // no half-written value is left behind
  return fail(ErrorCode::OutOfMemory);
}

Status append_json_escaped(std::string_view text, std::pmr::string& out) {
  std::size_t before = out.size();
  try {
    escape_into(text, out);
    return {};
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  out.resize(before);
  return fail(ErrorCode::OutOfMemory);
}

}  // namespace skerrow
