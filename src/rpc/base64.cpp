#include "rpc/base64.h"

namespace skerrow {

std::size_t base64_encode(std::string_view in, char* out) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  // Work on unsigned bytes: plain char is signed here, and a sign-extended high byte would
  // spill into the neighbouring sextets.
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  std::size_t left = in.size();
  char* o = out;
  for (; left >= 3; p += 3, left -= 3) {
    const unsigned v = (unsigned{p[0]} << 16) | (unsigned{p[1]} << 8) | p[2];
    *o++ = kAlphabet[(v >> 18) & 63];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = kAlphabet[(v >> 6) & 63];
    *o++ = kAlphabet[v & 63];
  }
  if (left > 0) {
    const unsigned v = (unsigned{p[0]} << 16) | (left == 2 ? unsigned{p[1]} << 8 : 0u);
    *o++ = kAlphabet[(v >> 18) & 63];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = left == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    *o++ = '=';
  }
  return static_cast<std::size_t>(o - out);
}

}  // namespace skerrow
