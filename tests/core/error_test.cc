#include "core/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace drelix {
namespace {

TEST(ErrorTest, DisplayTexts) {
  struct Case {
    const char* name;
    Error error;
    Error::Kind kind;
    std::string display;
  };
  const Case cases[] = {
      {"io without path", Error::io(ENOENT), Error::Kind::Io,
       "No such file or directory (os error 2)"},
      {"io with path", Error::io_at("/tmp/x/y.drelix", ENOENT), Error::Kind::Io,
       "/tmp/x/y.drelix: No such file or directory (os error 2)"},
      {"io permission", Error::io_at("p", EACCES), Error::Kind::Io,
       "p: Permission denied (os error 13)"},
      {"io eof", Error::io_eof(), Error::Kind::Io, "failed to fill whole buffer"},
      {"io eof with path", Error::io_eof().with_path("f"), Error::Kind::Io,
       "f: failed to fill whole buffer"},
      {"io text", Error::io_text("Destination buffer is too small"), Error::Kind::Io,
       "Destination buffer is too small"},
      {"malformed", Error::malformed("preamble too short"), Error::Kind::Malformed,
       "preamble too short"},
      {"usage", Error::usage("invalid header key \"A\""), Error::Kind::Usage,
       "invalid header key \"A\""},
      {"zone full", Error::zone_full(5, 4), Error::Kind::ZoneFull,
       "headers need 5 bytes, the zone holds 4"},
      {"zone full large", Error::zone_full(UINT64_MAX, 16777216), Error::Kind::ZoneFull,
       "headers need 18446744073709551615 bytes, the zone holds 16777216"},
      {"compression", Error::compression("Data corruption detected"), Error::Kind::Compression,
       "Data corruption detected"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.to_string(), c.display);
  }
}

TEST(ErrorTest, MessageAndWithPath) {
  // The message is the OS text alone; the path is only added by the display.
  EXPECT_EQ(Error::io_at("some/path", ENOENT).message(), "No such file or directory (os error 2)");
  // with_path only touches Io errors.
  EXPECT_EQ(Error::malformed("m").with_path("p"), Error::malformed("m"));
  EXPECT_EQ(Error::zone_full(2, 1).with_path("p"), Error::zone_full(2, 1));
  EXPECT_EQ(Error::io(EIO).with_path("p"), Error::io_at("p", EIO));
}

TEST(QuotedTest, Table) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"abc", R"("abc")"},
      {"a b", R"("a b")"},
      {"it's", R"("it's")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"back\\slash", R"("back\\slash")"},
      {"tab\there", R"("tab\there")"},
      {"cr\rlf\n", R"("cr\rlf\n")"},
      {std::string("nul\0end", 7), R"("nul\0end")"},
      {"\x01", R"("\u{1}")"},
      {"\x1b[0m", R"("\u{1b}[0m")"},
      {"\x1f", R"("\u{1f}")"},
      {"\x7f", R"("\u{7f}")"},
      {"~!@#$%^&*()_+{}|:<>?`-=[];,./", R"("~!@#$%^&*()_+{}|:<>?`-=[];,./")"},
      // Printable non-ASCII passes through unchanged.
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"\xe6\x97\xa5\xe6\x9c\xac", "\"\xe6\x97\xa5\xe6\x9c\xac\""},
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
      // A combining acute accent after e: the mark alone is escaped.
      {"e\xcc\x81", R"("e\u{301}")"},
      // No-break space, zero-width space (a format character), C1 control, line separator.
      {"\xc2\xa0", R"("\u{a0}")"},
      {"a\u200bb", R"("a\u{200b}b")"},
      {"\xc2\x85", R"("\u{85}")"},
      {"\xe2\x80\xa8", R"("\u{2028}")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(drelix::quoted(c.in), c.out);
  }
}

}  // namespace
}  // namespace drelix
