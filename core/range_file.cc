#include "core/range_file.h"

#include <utility>

namespace drelix {

namespace {

class RangeFile final : public File {
 public:
  RangeFile(std::uint64_t length, RangeFetch fetch) : length_(length), fetch_(std::move(fetch)) {}

  Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
    DRELIX_ASSIGN_OR_RETURN(const std::size_t got, read_at(offset, buf));
    if (got < buf.size()) return fail(Error::io_eof());
    return {};
  }
  Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
    if (buf.empty() || offset >= length_) return std::size_t{0};
    // Past the length looked up, the object is not the one the reader took.
    if (buf.size() > length_ - offset) buf = buf.first(static_cast<std::size_t>(length_ - offset));
    return fetch_(offset, buf);
  }
  Status write_all_at(std::uint64_t, ByteView) override { return fail(read_only()); }
  Result<std::uint64_t> length() override { return length_; }
  Status truncate(std::uint64_t) override { return fail(read_only()); }
  Status sync() override { return {}; }
  Result<std::uint32_t> permissions() override { return std::uint32_t{0444}; }
  Status set_permissions(std::uint32_t) override { return fail(read_only()); }

 private:
  static Error read_only() { return Error::usage("an object read by range cannot be written"); }

  const std::uint64_t length_;
  const RangeFetch fetch_;
};

}  // namespace

FilePtr range_file(std::uint64_t length, RangeFetch fetch) {
  return std::make_unique<RangeFile>(length, std::move(fetch));
}

}  // namespace drelix
