#include "core/gzip.h"

#include <zlib.h>

namespace collector {

std::string gzipped(const std::string& text) {
  if (text.size() < gzipFromBytes) return {};
  z_stream stream{};
  // 15 bits of window, plus 16: a gzip header and trailer instead of zlib's.
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return {};
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const bool done = deflate(&stream, Z_FINISH) == Z_STREAM_END;
  deflateEnd(&stream);
  if (!done) return {};
  // Only what was written: the bound is about the text's size, and answers
  // are kept compressed for long.
  return out.substr(0, stream.total_out);
}

}  // namespace collector
