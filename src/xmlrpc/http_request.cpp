#include "xmlrpc/http_request.h"

#include "platform/errors.h"
#include "platform/text.h"

namespace kavor2::xmlrpc {
namespace {

constexpr std::string_view kContentLength = "CONTENT-LENGTH:";
constexpr std::size_t kContentLengthSkip = 15;
constexpr std::string_view kContentMd5 = "CONTENT-MD5:";
// The name, its colon and the one space that follows it.
constexpr std::size_t kContentMd5Skip = 13;
constexpr std::string_view kGet = "GET ";
constexpr std::size_t kGetSkip = 4;
constexpr std::int32_t kNotANumber = -1;

std::string_view DropPrefix(std::string_view text, std::size_t n) {
  return n < text.size() ? text.substr(n) : std::string_view();
}

}  // namespace

void HttpRequestHead::AddLine(std::string_view line) {
  raw_lines_.append(line);
  raw_lines_.append("\r\n");
  const std::string upper = platform::UpperAscii(line);
  if (upper.find(kContentLength) != std::string::npos) {
    try {
      content_length_ = platform::StrToInt(DropPrefix(upper, kContentLengthSkip));
    } catch (const platform::ConversionError&) {
      content_length_ = kNotANumber;
    }
  }
  if (upper.find(kContentMd5) != std::string::npos) {
    content_md5_ = std::string(DropPrefix(upper, kContentMd5Skip));
  }
  if (upper.find(kGet) != std::string::npos) {
    std::string_view rest = DropPrefix(upper, kGetSkip);
    std::size_t space = rest.find(' ');
    if (space != std::string_view::npos) url_ = std::string(rest.substr(0, space));
  }
}

}  // namespace kavor2::xmlrpc
