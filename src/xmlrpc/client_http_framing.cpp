#include "xmlrpc/client_http_framing.h"

#include <cctype>

#include "platform/digest.h"

namespace kavor2::xmlrpc {
namespace {

constexpr std::string_view kContinueMark = "100 Continue";
constexpr std::string_view kContentLengthMark = "Content-Length:";
constexpr std::string_view kContentMd5Mark = "Content-MD5:";
constexpr std::size_t kMaxDottedLength = 15;
constexpr int kDottedParts = 4;
constexpr int kMaxOctetDigits = 3;
constexpr int kMaxOctet = 255;
constexpr int kDecimalBase = 10;

bool ContainsNoCase(std::string_view text, std::string_view what) {
  if (what.size() > text.size()) return false;
  for (std::size_t i = 0; i + what.size() <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < what.size() && std::tolower(static_cast<unsigned char>(text[i + k])) ==
                                  std::tolower(static_cast<unsigned char>(what[k])))
      ++k;
    if (k == what.size()) return true;
  }
  return false;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A decimal integer with an optional sign; -1 for anything else. Values past
// the accepted range are clamped so that they stay out of it.
std::int64_t ParseLength(std::string_view text) {
  text = TrimBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return -1;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    if (value <= kMaxResponseContentLength) value = value * kDecimalBase + (c - '0');
  }
  return negative ? -value : value;
}

}  // namespace

std::string BuildPostRequest(std::string_view end_point, std::string_view host, std::string_view body) {
  std::string out;
  out.reserve(body.size() + end_point.size() + host.size() + 160);
  out.append("POST ").append(end_point).append(" HTTP/1.1\r\n");
  out.append("User-Agent: TCP-RPC-XML client\r\n");
  out.append("Host: ").append(host).append("\r\n");
  out.append("Content-Type: text/xml\r\n");
  out.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
  out.append("Content-MD5: ").append(platform::Md5Base64(body)).append("\r\n");
  out.append("\r\n");
  out.append(body);
  return out;
}

bool TResponseHead::Feed(std::string_view line) {
  if (complete_) return true;
  ++lines_fed_;
  if (line.empty()) {
    if (counted_line_) complete_ = true;
    return complete_;
  }
  if (ContainsNoCase(line, kContinueMark)) return false;
  counted_line_ = true;
  // Both fields are taken by position: the mark's length, and for the digest
  // the blank after the colon too.
  if (ContainsNoCase(line, kContentLengthMark)) {
    content_length_ = ParseLength(line.substr(kContentLengthMark.size()));
  }
  if (ContainsNoCase(line, kContentMd5Mark)) {
    constexpr std::size_t kDigestOffset = kContentMd5Mark.size() + 1;
    server_digest_ = line.size() > kDigestOffset ? std::string(line.substr(kDigestOffset)) : std::string();
  }
  return false;
}

bool TResponseHead::HasUsableLength() const {
  return content_length_ >= 1 && content_length_ <= kMaxResponseContentLength;
}

bool IsDottedIpv4(std::string_view text) {
  if (text.empty() || text.size() > kMaxDottedLength) return false;
  int parts = 0;
  std::size_t pos = 0;
  while (true) {
    int digits = 0;
    int value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      value = value * kDecimalBase + (text[pos] - '0');
      ++digits;
      ++pos;
      if (digits > kMaxOctetDigits) return false;
    }
    if (digits == 0 || value > kMaxOctet) return false;
    ++parts;
    if (pos == text.size()) break;
    if (text[pos] != '.' || parts == kDottedParts) return false;
    ++pos;
  }
  return parts == kDottedParts;
}

std::string TrimTrailingWhitespace(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0 && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return std::string(text.substr(0, end));
}

}  // namespace kavor2::xmlrpc
