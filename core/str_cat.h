// Message building without <format> (which g++ 12 lacks): str_cat("frame ", id, " ends at ", end)
// concatenates text pieces and integers (in decimal).
#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace drelix {

namespace str_cat_detail {

inline void append(std::string& out, std::string_view s) {
  out.append(s);
}
inline void append(std::string& out, const char* s) {
  out.append(s);
}
inline void append(std::string& out, const std::string& s) {
  out.append(s);
}
inline void append(std::string& out, char c) {
  out.push_back(c);
}
template <std::integral T>
requires(!std::same_as<T, char> && !std::same_as<T, bool>) void append(std::string& out, T v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace str_cat_detail

template <class... Args>
std::string str_cat(const Args&... args) {
  std::string out;
  (str_cat_detail::append(out, args), ...);
  return out;
}

}  // namespace drelix
