// The one error type of the engine, and the helpers that keep call sites short.
//
// Every fallible operation returns `Result<T>` (or `Status` when there is no value). An `Error`
// owns its message and path; it is moved up to the caller and never thrown.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace drelix {

class Error {
 public:
  // Declaration order is part of the contract: the binding maps each kind to one exception class.
  enum class Kind { Io, Malformed, Usage, ZoneFull, Compression };

  // An operating-system failure on an open handle (no path). Displays as
  // "<strerror(errnum)> (os error <errnum>)".
  static Error io(int errnum);
  // An operating-system failure of a call that names `path`. Displays as "<path>: <os text>".
  static Error io_at(std::string_view path, int errnum);
  // An exact read that met end of file: "failed to fill whole buffer".
  static Error io_eof();
  // An I/O-class failure detected by the engine or a library, with a fixed text (zstd's error
  // name when compressing, for example).
  static Error io_text(std::string text);
  static Error malformed(std::string message);
  static Error usage(std::string message);
  static Error zone_full(std::uint64_t need, std::uint64_t have);
  // The same with a note on what takes the room, shown after the figures in parentheses.
  static Error zone_full(std::uint64_t need, std::uint64_t have, std::string note);
  static Error compression(std::string message);

  Kind kind() const { return kind_; }
  // Io only: the path the failing call named, if any.
  const std::optional<std::string>& path() const { return path_; }
  // Io only: the errno value, or 0 for fixed texts.
  int os_code() const { return os_code_; }
  // Malformed, Usage, Compression: the message; Io: the OS text without the path.
  const std::string& message() const { return message_; }
  std::uint64_t need() const { return need_; }
  std::uint64_t have() const { return have_; }

  // Returns this Io error with `path` attached (the io_at adapter applied to an error that was
  // produced without one). Other kinds are returned unchanged.
  Error with_path(std::string_view path) &&;

  // The display text: exactly what the binding puts into the Python exception.
  std::string to_string() const;

  bool operator==(const Error&) const = default;

 private:
  Error(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
  std::optional<std::string> path_;
  int os_code_ = 0;
  std::uint64_t need_ = 0;
  std::uint64_t have_ = 0;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) {
  return std::unexpected<Error>(std::move(e));
}

// Returns the quoted form of `text` used by every message that shows caller or file text:
// between double quotes, with \" \\ \t \r \n \0 escapes, other control characters and
// non-printable or combining non-ASCII characters as \u{hex}. Invalid UTF-8 bytes (which the
// engine never quotes in practice, since header text is validated first) are shown as \u{fffd}.
std::string quoted(std::string_view text);
// Exact-match overloads, so that an unqualified call with a std::string or a literal never
// resolves to std::quoted through argument-dependent lookup.
inline std::string quoted(const std::string& text) {
  return quoted(std::string_view(text));
}
inline std::string quoted(const char* text) {
  return quoted(std::string_view(text));
}

}  // namespace drelix

// Evaluates `expr` (a Status or Result); returns its error from the enclosing function.
// Expands to one statement, so it is safe inside an unbraced if.
#define DRELIX_TRY(expr)                                                                \
  do {                                                                                  \
    if (auto drelix_try_result_ = (expr); !drelix_try_result_.has_value())              \
      return ::std::unexpected<::drelix::Error>(std::move(drelix_try_result_).error()); \
  } while (false)

#define DRELIX_CONCAT_INNER_(a, b) a##b
#define DRELIX_CONCAT_(a, b) DRELIX_CONCAT_INNER_(a, b)

// `DRELIX_ASSIGN_OR_RETURN(auto x, expr);` declares (or assigns) x from a Result, or returns its
// error. Expands to several statements: do not use it as the body of an unbraced if.
#define DRELIX_ASSIGN_OR_RETURN(lhs, expr) \
  DRELIX_ASSIGN_OR_RETURN_IMPL_(DRELIX_CONCAT_(drelix_result_, __LINE__), lhs, expr)
#define DRELIX_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr)                                      \
  auto tmp = (expr);                                                                       \
  if (!tmp.has_value()) return ::std::unexpected<::drelix::Error>(std::move(tmp).error()); \
  lhs = std::move(*tmp)
