#include "core/frame_stream.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "core/hash.h"

namespace drelix {

Result<std::uint64_t> read_pieces(File& file, std::uint64_t offset, std::uint64_t len,
                                  const std::function<void(ByteView piece)>& fn,
                                  const std::function<bool()>& stop) {
  Bytes buffer(static_cast<std::size_t>(std::min<std::uint64_t>(len, kStreamPiece)));
  std::uint64_t done = 0;
  while (done < len && !(stop && stop())) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), len - done));
    DRELIX_ASSIGN_OR_RETURN(const std::size_t got,
                            file.read_at(sat_add(offset, done), std::span(buffer).first(want)));
    if (got > 0) fn(ByteView(buffer.data(), got));
    done += got;
    if (got < want) break;
  }
  return done;
}

Result<StreamedFrame> stream_frame(File& file, std::uint64_t offset, std::uint64_t len,
                                   const FrameDecoder::Sink& sink) {
  Xxh64Stream hasher;
  std::optional<FrameDecoder> decoder;
  bool first = true;
  bool raw = false;
  StreamedFrame result;
  auto piece = [&](ByteView bytes) {
    hasher.update(bytes);
    if (first) {
      // The magic is at least 4 bytes, and the first piece is all of a frame that short.
      raw = !starts_with_zstd_magic(bytes);
      if (!raw) decoder.emplace();
      first = false;
    }
    if (!result.content) return;
    if (raw) {
      sink(bytes);
      return;
    }
    if (Result<std::size_t> fed = decoder->feed(bytes, sink); !fed) {
      result.content = fail(std::move(fed).error());
    }
  };
  DRELIX_ASSIGN_OR_RETURN(const std::uint64_t got, read_pieces(file, offset, len, piece));
  result.hash = hasher.digest();
  // A frame the file cuts short is unreadable as a whole, whatever its first part decoded to.
  if (got < len) {
    result.content = fail(Error::io_eof());
  } else if (result.content && decoder && !decoder->done()) {
    result.content = fail(Error::malformed("truncated zstd frame"));
  }
  return result;
}

void CutFrameProbe::feed(ByteView piece) {
  if (piece.empty()) return;
  if (!fed_ && !starts_with_zstd_magic(piece)) candidate_ = false;
  fed_ = true;
  if (settled()) return;
  if (!decoder_.feed(piece, [](ByteView) {})) candidate_ = false;
}

Result<bool> begins_with_cut_frame(File& file, std::uint64_t offset, std::uint64_t len) {
  CutFrameProbe probe;
  // Bytes that settle the question early are not all read.
  DRELIX_TRY(read_pieces(
      file, offset, len, [&probe](ByteView p) { probe.feed(p); },
      [&probe] { return probe.settled(); }));
  return probe.cut();
}

}  // namespace drelix
