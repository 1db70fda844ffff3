#include "kavor2ctl/kavor2ctl_json.h"

#include <cstdint>

#include "platform/text.h"

namespace kavor2::ctl {

const JsonValue* JsonValue::Member(const std::string& name) const {
  if (kind_ != Kind::Object) return nullptr;
  for (auto it = members_.rbegin(); it != members_.rend(); ++it) {
    if (it->first == name) return &it->second;
  }
  return nullptr;
}

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  JsonValue Document() {
    JsonValue value = Value(0);
    SkipSpace();
    if (pos_ != text_.size()) Fail("text after the document");
    return value;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw JsonError(what + " at byte " + std::to_string(pos_));
  }

  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }

  void SkipSpace() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) ++pos_;
  }

  void Expect(char c) {
    if (Peek() != c || AtEnd()) Fail(std::string("expected '") + c + "'");
    ++pos_;
  }

  void CountItem() {
    if (++items_ > kMaxJsonItems) Fail("too many values");
  }

  JsonValue Value(std::size_t depth) {
    if (depth >= kMaxJsonDepth) Fail("nested too deeply");
    SkipSpace();
    CountItem();
    if (AtEnd()) Fail("unexpected end");
    JsonValue value;
    switch (Peek()) {
      case '{': Object(value, depth); break;
      case '[': Array(value, depth); break;
      case '"':
        value.kind_ = JsonValue::Kind::String;
        value.text_ = String();
        break;
      case 't': Literal(value, "true", JsonValue::Kind::Boolean); break;
      case 'f': Literal(value, "false", JsonValue::Kind::Boolean); break;
      case 'n': Literal(value, "null", JsonValue::Kind::Null); break;
      default: Number(value); break;
    }
    return value;
  }

  void Literal(JsonValue& value, std::string_view word, JsonValue::Kind kind) {
    if (text_.substr(pos_, word.size()) != word) Fail("unknown literal");
    pos_ += word.size();
    value.kind_ = kind;
    value.text_ = std::string(word);
  }

  void Object(JsonValue& value, std::size_t depth) {
    value.kind_ = JsonValue::Kind::Object;
    Expect('{');
    SkipSpace();
    if (Peek() == '}') {
      ++pos_;
      return;
    }
    for (;;) {
      SkipSpace();
      if (Peek() != '"') Fail("expected a member name");
      std::string name = String();
      SkipSpace();
      Expect(':');
      JsonValue member = Value(depth + 1);
      value.members_.emplace_back(std::move(name), std::move(member));
      SkipSpace();
      if (Peek() == ',') {
        ++pos_;
        continue;
      }
      Expect('}');
      return;
    }
  }

  void Array(JsonValue& value, std::size_t depth) {
    value.kind_ = JsonValue::Kind::Array;
    Expect('[');
    SkipSpace();
    if (Peek() == ']') {
      ++pos_;
      return;
    }
    for (;;) {
      value.items_.push_back(Value(depth + 1));
      SkipSpace();
      if (Peek() == ',') {
        ++pos_;
        continue;
      }
      Expect(']');
      return;
    }
  }

  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

  void Number(JsonValue& value) {
    const std::size_t start = pos_;
    if (Peek() == '-') ++pos_;
    if (Peek() == '0') {
      ++pos_;
    } else if (IsDigit(Peek()) && !AtEnd()) {
      while (!AtEnd() && IsDigit(Peek())) ++pos_;
    } else {
      Fail("unexpected character");
    }
    if (Peek() == '.' && !AtEnd()) {
      ++pos_;
      if (AtEnd() || !IsDigit(Peek())) Fail("digits expected after '.'");
      while (!AtEnd() && IsDigit(Peek())) ++pos_;
    }
    if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
      ++pos_;
      if (!AtEnd() && (Peek() == '+' || Peek() == '-')) ++pos_;
      if (AtEnd() || !IsDigit(Peek())) Fail("digits expected in the exponent");
      while (!AtEnd() && IsDigit(Peek())) ++pos_;
    }
    value.kind_ = JsonValue::Kind::Number;
    value.text_ = std::string(text_.substr(start, pos_ - start));
  }

  unsigned Hex4() {
    if (text_.size() - pos_ < 4) Fail("short \\u escape");
    unsigned code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      code <<= 4;
      if (c >= '0' && c <= '9') code |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') code |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') code |= static_cast<unsigned>(c - 'A' + 10);
      else Fail("bad \\u escape");
    }
    return code;
  }

  std::string String() {
    Expect('"');
    std::string out;
    for (;;) {
      if (AtEnd()) Fail("unterminated string");
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) Fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (AtEnd()) Fail("unterminated string");
      const char e = text_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          std::uint32_t code = Hex4();
          if (code >= 0xD800 && code < 0xDC00 && text_.substr(pos_, 2) == "\\u") {
            pos_ += 2;
            const std::uint32_t low = Hex4();
            if (low < 0xDC00 || low > 0xDFFF) Fail("bad surrogate pair");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;  // a lone surrogate has no UTF-8 form
          }
          platform::AppendUtf8(out, code);
          break;
        }
        default: Fail("bad escape");
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t items_ = 0;
};

JsonValue ParseJson(std::string_view text) { return JsonReader(text).Document(); }

}  // namespace kavor2::ctl
