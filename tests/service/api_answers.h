#pragma once
// Answers of calls made through a server's executor, as the handler tests
// compare them, and the notices a call posts.
#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "service/host_test_support.h"
#include "xmlrpc/rpc_types.h"

namespace kavor2::service::testing {

// Values are written "i:5", "s:text", "b:1", "d:2.5"; faults keep code and text.
struct Answer {
  std::int32_t code = 0;  // 0: not a fault
  std::string text;       // empty with code 0: an empty response
  friend bool operator==(const Answer&, const Answer&) = default;
};

inline std::ostream& operator<<(std::ostream& os, const Answer& a) { return os << a.code << " '" << a.text << "'"; }

inline Answer AnswerOf(const xmlrpc::TRpcResult& r) {
  if (r.IsError()) return {r.ErrorCode(), r.ErrorMsg()};
  if (r.IsInteger()) return {0, "i:" + std::to_string(r.AsInteger())};
  if (r.IsString()) return {0, "s:" + r.AsString()};
  if (r.IsBoolean()) return {0, r.AsBoolean() ? "b:1" : "b:0"};
  if (r.IsFloat()) {
    std::ostringstream os;
    os << "d:" << r.AsFloat();
    return {0, os.str()};
  }
  if (r.IsArray() || r.IsStruct()) return {-1, "unexpected compound value"};
  return {};
}

inline Answer Int(std::int32_t v) { return {0, "i:" + std::to_string(v)}; }
inline Answer Str(const std::string& v) { return {0, "s:" + v}; }
inline Answer Dbl(const std::string& v) { return {0, "d:" + v}; }

inline const Answer kEmpty{};
inline const Answer kCount{2, "Parameters count error"};
inline const Answer kType{3, "Inavlid parameter type"};
inline const Answer kNotFound{1, "Device not found"};
inline const Answer kRange{1001, "Range check error"};

// A notice as the tests compare it: message, subject, owner.
struct Notice {
  std::uint32_t msg = 0;
  std::string subject;
  std::string owner;
  friend bool operator==(const Notice&, const Notice&) = default;
};

inline std::ostream& operator<<(std::ostream& os, const Notice& n) {
  return os << n.msg << " '" << n.subject << "' '" << n.owner << "'";
}

// The notices posted to `window` since the last call, then forgets them.
inline std::vector<Notice> TakeNotices(RecordingPoster& window) {
  std::vector<Notice> out;
  for (const PostedMessage& m : window.posted) out.push_back({m.msg, m.subject, m.owner});
  window.posted.clear();
  return out;
}

}  // namespace kavor2::service::testing
