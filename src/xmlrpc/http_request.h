#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavor2::xmlrpc {

// Longest header line the server reads; a longer one ends the connection.
inline constexpr std::size_t kMaxHeaderLineLength = 16384;
inline constexpr std::string_view kMaxLineLengthExceeded = "Max line length exceeded.";
// Bounds of a whole request head (its lines with their CR LF, the request
// line included); more ends the connection. Far above what browsers and
// XML-RPC clients send, and they keep a client that never ends its head
// from growing the server's memory.
inline constexpr std::size_t kMaxHeadLines = 128;
inline constexpr std::size_t kMaxHeadLength = 64 * 1024;

// Largest body the server accepts. The protocol sets no limit, but a peer
// must not make the server allocate whatever it announces; calls of this
// service are a few kilobytes.
inline constexpr std::int64_t kMaxBodyLength = 64 * 1024 * 1024;

// What the server takes from the header lines of one request. The matching
// is deliberately loose, as clients of this service expect: each line is
// upper-cased and searched for the header names anywhere in it, and a fixed
// number of leading characters is dropped to get the value.
class HttpRequestHead {
 public:
  // Takes one header line (without its CR LF; never the empty line that
  // ends the header).
  void AddLine(std::string_view line);

  // The lines as received, each followed by CR LF.
  const std::string& RawLines() const { return raw_lines_; }

  // The last Content-Length seen; -1 when its text was not a number, 0 when
  // the header was absent.
  std::int32_t ContentLength() const { return content_length_; }
  // The last Content-MD5 seen, upper-cased.
  const std::optional<std::string>& ContentMd5() const { return content_md5_; }
  // The URL of a GET line, upper-cased.
  const std::optional<std::string>& Url() const { return url_; }

 private:
  std::string raw_lines_;
  std::int32_t content_length_ = 0;
  std::optional<std::string> content_md5_;
  std::optional<std::string> url_;
};

}  // namespace kavor2::xmlrpc
