#pragma once
// A small, bounded JSON reader for the service's status file. Numbers keep
// their text, so 64-bit counters print exactly; strings come out as UTF-8.
#include <cstddef>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kavor2::ctl {

// Text that is no JSON, or goes past the reader's bounds; what() names the
// byte offset.
class JsonError : public std::runtime_error {
 public:
  explicit JsonError(const std::string& message) : std::runtime_error(message) {}
};

class JsonValue {
 public:
  enum class Kind { Null, Boolean, Number, String, Array, Object };

  Kind Type() const { return kind_; }
  bool IsObject() const { return kind_ == Kind::Object; }
  bool IsArray() const { return kind_ == Kind::Array; }

  // Numbers: the literal as written; strings: the decoded text;
  // booleans: "true"/"false"; null: "null".
  const std::string& Text() const { return text_; }
  const std::vector<JsonValue>& Items() const { return items_; }
  // The member of an object, or nullptr (also for a non-object). Of a
  // repeated key the last one counts, as in most readers.
  const JsonValue* Member(const std::string& name) const;

 private:
  friend class JsonReader;
  Kind kind_ = Kind::Null;
  std::string text_;
  std::vector<JsonValue> items_;                    // array items
  std::vector<std::pair<std::string, JsonValue>> members_;  // object members, in order
};

// Limits: a status file is a few kilobytes per line and subscriber; these
// keep a hostile or corrupted file from exhausting the stack or memory.
inline constexpr std::size_t kMaxJsonDepth = 32;
inline constexpr std::size_t kMaxJsonItems = 1'000'000;

// Parses one JSON document (surrounding white space allowed). Throws JsonError.
JsonValue ParseJson(std::string_view text);

}  // namespace kavor2::ctl
