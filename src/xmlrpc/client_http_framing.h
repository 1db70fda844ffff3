#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kavor2::xmlrpc {

// The callback client's side of the HTTP framing, without any I/O: the
// request it writes and the reading of the response head.

// Response header lines longer than this fail the call.
inline constexpr std::size_t kMaxResponseLineLength = 80;
// A response body must announce between 1 and this many bytes. Answers to
// callbacks are a few hundred bytes. Each body is parsed on the owner's (the
// service's) thread, and a hostile subscriber can answer every queued call
// with the largest body allowed, so the cap bounds that thread's time too.
inline constexpr std::int64_t kMaxResponseContentLength = std::int64_t{64} * 1024;
// A peer that keeps sending header lines (or interim responses) cannot hold
// the worker for ever: past this many lines the call fails.
inline constexpr int kMaxResponseHeadLines = 256;

inline constexpr std::string_view kMaxLineLengthExceeded = "Max line length exceeded.";
inline constexpr std::string_view kTooManyHeadLines = "Too many response header lines.";

// The whole request: the POST line for `end_point`, User-Agent, Host (the
// host only, no port), Content-Type, Content-Length, Content-MD5 of `body`,
// the empty line, then the body.
std::string BuildPostRequest(std::string_view end_point, std::string_view host, std::string_view body);

// Reads the response head line by line. A line counts when it is not empty
// and does not contain "100 Continue" (any case); the head ends at the first
// empty line after a counted line, so an interim 100 response and its empty
// line are skipped.
class TResponseHead {
 public:
  // Feeds one line without its CR LF; returns true once the head is
  // complete (further lines are ignored).
  bool Feed(std::string_view line);

  bool Complete() const { return complete_; }
  // Lines fed so far, counted or not.
  int LinesFed() const { return lines_fed_; }
  // From the last "Content-Length:" line: its text after the first 15
  // characters as a decimal number; -1 when absent or not a number.
  std::int64_t ContentLength() const { return content_length_; }
  // True when ContentLength is between 1 and kMaxResponseContentLength.
  bool HasUsableLength() const;
  // From the last "Content-MD5:" line: its text after the first 13 characters.
  const std::string& ServerDigest() const { return server_digest_; }

 private:
  bool complete_ = false;
  bool counted_line_ = false;
  int lines_fed_ = 0;
  std::int64_t content_length_ = -1;
  std::string server_digest_;
};

// Four decimal numbers 0 to 255 joined by dots, at most 15 characters.
bool IsDottedIpv4(std::string_view text);

// The text without trailing characters up to and including the space (line
// breaks, tabs and other control characters).
std::string TrimTrailingWhitespace(std::string_view text);

}  // namespace kavor2::xmlrpc
