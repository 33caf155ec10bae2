#include "core/record_stream.h"

#include <algorithm>
#include <utility>

namespace drelix {

RecordStream::RecordStream(RecordLayout layout, Visit visit)
    : layout_(layout), visit_(std::move(visit)) {}

void RecordStream::feed(ByteView piece) {
  if (visit_) gather(piece);
  count(piece);
}

void RecordStream::count(ByteView piece) {
  seen_ += piece.size();
  if (layout_.is_fixed()) return;
  std::size_t p = 0;
  while (p < piece.size()) {
    if (prefix_bytes_ < 2) {
      prefix_[prefix_bytes_++] = piece[p++];
      if (prefix_bytes_ < 2) continue;
      body_left_ = load_u16le(prefix_.data());
    } else {
      const std::size_t take =
          static_cast<std::size_t>(std::min<std::uint64_t>(body_left_, piece.size() - p));
      p += take;
      body_left_ -= take;
    }
    if (body_left_ == 0) {
      ++records_;
      whole_bytes_ += 2 + std::uint64_t{load_u16le(prefix_.data())};
      prefix_bytes_ = 0;
    }
  }
}

std::uint64_t RecordStream::gather_need() const {
  if (layout_.is_fixed()) return layout_.size() - carry_.size();
  if (carry_.size() < 2) return 2 - carry_.size();
  return 2 + std::uint64_t{load_u16le(carry_.data())} - carry_.size();
}

void RecordStream::gather(ByteView piece) {
  if (layout_.is_fixed() && layout_.size() == 0) return;
  // First finish the record the previous piece cut.
  while (!carry_.empty()) {
    const std::uint64_t need = gather_need();
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(need, piece.size()));
    carry_.insert(carry_.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(take));
    piece = piece.subspan(take);
    if (gather_need() != 0) {
      if (piece.empty()) return;
      continue;  // a prefix just completed; its body follows
    }
    visit_(layout_.is_fixed() ? ByteView(carry_) : ByteView(carry_).subspan(2));
    carry_.clear();
  }
  const std::uint64_t torn = for_each_record(piece, layout_, visit_);
  carry_.assign(piece.end() - static_cast<std::ptrdiff_t>(torn), piece.end());
}

RecordCount RecordStream::count() const {
  if (!layout_.is_fixed()) return RecordCount{records_, whole_bytes_, seen_ - whole_bytes_};
  const std::uint64_t size = layout_.size();
  const std::uint64_t whole = size == 0 ? 0 : seen_ - seen_ % size;
  return RecordCount{size == 0 ? 0 : seen_ / size, whole, seen_ - whole};
}

}  // namespace drelix
