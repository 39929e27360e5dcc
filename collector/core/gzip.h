// Bodies kept compressed beside their plain bytes, for the clients that take
// gzip: a browser's page of the leaderboard is a fifth of its size or less.
#pragma once

#include <cstddef>
#include <string>

namespace collector {

// A body shorter than this is always sent as it is: compressing it would
// save at most a packet, less than its headers add.
constexpr std::size_t gzipFromBytes = 1024;

// `text` in the gzip format; empty when it is shorter than gzipFromBytes or
// zlib fails, and the body is then sent as it is.
std::string gzipped(const std::string& text);

}  // namespace collector
