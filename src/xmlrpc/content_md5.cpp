#include "xmlrpc/content_md5.h"

#include "platform/digest.h"
#include "platform/text.h"

namespace kavor2::xmlrpc {

std::string TCalcMd5Class::Digest(std::string_view body) { return platform::Md5Base64(body); }

bool TCalcMd5Class::Matches(std::string_view expected, std::string_view body) {
  return platform::UpperAscii(expected) == platform::UpperAscii(Digest(body));
}

}  // namespace kavor2::xmlrpc
