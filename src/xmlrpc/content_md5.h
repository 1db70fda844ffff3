#pragma once
#include <string>
#include <string_view>

namespace kavor2::xmlrpc {

// Content-MD5 texts for both sides of the transport.
class TCalcMd5Class {
 public:
  // The standard Base64 text (24 characters) of the body's MD5 digest.
  static std::string Digest(std::string_view body);
  // True when `expected` names the body's digest, letter case ignored.
  static bool Matches(std::string_view expected, std::string_view body);
};

}  // namespace kavor2::xmlrpc
