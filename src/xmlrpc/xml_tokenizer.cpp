#include "xmlrpc/xml_tokenizer.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "platform/text.h"
#include "xmlrpc/rpc_common.h"

namespace kavor2::xmlrpc {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kCommentOpen = "<!--";
constexpr std::string_view kCommentClose = "-->";
constexpr std::string_view kCdataOpen = "<![CDATA[";
constexpr std::string_view kCdataClose = "]]>";
constexpr std::string_view kPiOpen = "<?";
constexpr std::string_view kPiClose = "?>";
constexpr std::string_view kDoctype = "<!DOCTYPE";
constexpr std::string_view kEntity = "<!ENTITY";
constexpr std::uint32_t kMaxCodePoint = 0x10FFFF;
constexpr int kDecimal = 10;
constexpr int kHex = 16;
// What a character reference that cannot be read becomes.
constexpr char kUnreadableReference = ' ';

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsNameStart(char c) {
  auto b = static_cast<unsigned char>(c);
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || b >= 0x80;
}

bool StartsAt(std::string_view doc, std::size_t pos, std::string_view what) {
  return doc.substr(pos, what.size()) == what;
}

bool StartsAtNoCase(std::string_view doc, std::size_t pos, std::string_view what) {
  return platform::EqualsNoCaseAscii(doc.substr(pos, what.size()), what);
}

// The first whitespace-delimited word (a tag or PI name).
std::string_view FirstWord(std::string_view text) {
  std::size_t b = 0;
  while (b < text.size() && IsSpace(text[b])) ++b;
  std::size_t e = b;
  while (e < text.size() && !IsSpace(text[e]) && text[e] != '/') ++e;
  return text.substr(b, e - b);
}

// Position of the '>' that closes markup starting at pos, skipping quoted
// literals; npos when the document ends first.
std::size_t FindMarkupEnd(std::string_view doc, std::size_t pos) {
  char quote = 0;
  for (std::size_t i = pos; i < doc.size(); ++i) {
    char c = doc[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      return i;
    }
  }
  return std::string_view::npos;
}

// What may stand between "&" and ";" of a reference ("&name;", "&#...;").
bool IsReferenceChar(char c) { return !IsSpace(c) && c != '&' && c != '<' && c != ';'; }

bool ReadCodePoint(std::string_view digits, std::uint32_t& cp) {
  int base = kDecimal;
  if (!digits.empty() && (digits[0] == 'x' || digits[0] == 'X')) {
    base = kHex;
    digits.remove_prefix(1);
  }
  if (digits.empty()) return false;
  auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp, base);
  // NUL is not an XML character.
  return ec == std::errc() && ptr == digits.data() + digits.size() && cp != 0 && cp <= kMaxCodePoint;
}

}  // namespace

void XmlTokenizer::Run(std::string_view doc, XmlEventHandler& handler) {
  convert_utf8_ = true;
  declaration_seen_ = false;
  entities_.clear();
  expansion_used_ = 0;

  std::size_t pos = StartsAt(doc, 0, kUtf8Bom) ? kUtf8Bom.size() : 0;
  std::size_t text_start = pos;
  bool element_seen = false;
  auto flush_text = [&](std::size_t end) {
    if (end > text_start) {
      std::string text;
      DecodeText(doc.substr(text_start, end - text_start), text, 0);
      if (!text.empty()) handler.OnText(text);
    }
  };
  // Skips to after the close marker; false when the document ends first.
  auto skip_past = [&](std::size_t from, std::string_view close) {
    std::size_t end = doc.find(close, from);
    if (end == std::string_view::npos) return false;
    pos = end + close.size();
    return true;
  };

  while (pos < doc.size()) {
    if (doc[pos] != '<' || pos + 1 >= doc.size()) {
      ++pos;
      continue;
    }
    const char next = doc[pos + 1];
    bool known = true;
    if (StartsAt(doc, pos, kCommentOpen)) {
      flush_text(pos);
      if (!skip_past(pos + kCommentOpen.size(), kCommentClose)) return;
    } else if (StartsAt(doc, pos, kCdataOpen)) {
      flush_text(pos);  // CDATA content is not reported
      if (!skip_past(pos + kCdataOpen.size(), kCdataClose)) return;
    } else if (StartsAtNoCase(doc, pos, kDoctype)) {
      flush_text(pos);
      pos = SkipDoctype(doc, pos + kDoctype.size());
      if (pos == std::string_view::npos) return;
    } else if (next == '!') {
      flush_text(pos);
      std::size_t end = FindMarkupEnd(doc, pos + 2);
      if (end == std::string_view::npos) return;
      pos = end + 1;
    } else if (next == '?') {
      flush_text(pos);
      std::size_t end = doc.find(kPiClose, pos + kPiOpen.size());
      if (end == std::string_view::npos) return;
      std::string_view body = doc.substr(pos + kPiOpen.size(), end - pos - kPiOpen.size());
      if (!declaration_seen_ && !element_seen && platform::EqualsNoCaseAscii(FirstWord(body), "xml")) {
        declaration_seen_ = true;
        ReadDeclaration(body);
      }
      pos = end + kPiClose.size();
    } else if (next == '/') {
      flush_text(pos);
      std::size_t end = doc.find('>', pos + 2);
      if (end == std::string_view::npos) return;
      std::string_view name = FirstWord(doc.substr(pos + 2, end - pos - 2));
      pos = end + 1;
      if (!name.empty()) handler.OnEndTag(name);
    } else if (IsNameStart(next)) {
      flush_text(pos);
      std::size_t end = FindMarkupEnd(doc, pos + 1);
      if (end == std::string_view::npos) return;
      std::string_view content = doc.substr(pos + 1, end - pos - 1);
      pos = end + 1;
      element_seen = true;
      // An empty-element tag (<nil/>) holds no value and is not reported.
      if (content.back() != '/') handler.OnStartTag(FirstWord(content));
    } else {
      known = false;  // a stray '<' is text
      ++pos;
    }
    if (known) text_start = pos;
  }
  flush_text(doc.size());
}

void XmlTokenizer::ReadDeclaration(std::string_view body) {
  // Reads encoding="..." (or '...'); version and standalone are not needed.
  constexpr std::string_view kEncoding = "encoding";
  std::size_t at = body.find(kEncoding);
  convert_utf8_ = true;
  if (at == std::string_view::npos) return;
  std::size_t i = at + kEncoding.size();
  while (i < body.size() && IsSpace(body[i])) ++i;
  if (i >= body.size() || body[i] != '=') return;
  ++i;
  while (i < body.size() && IsSpace(body[i])) ++i;
  if (i >= body.size() || (body[i] != '"' && body[i] != '\'')) return;
  char quote = body[i++];
  std::size_t end = body.find(quote, i);
  if (end == std::string_view::npos) return;
  std::string_view name = platform::Trim(body.substr(i, end - i));
  convert_utf8_ = name.empty() || platform::EqualsNoCaseAscii(name, "UTF-8");
}

std::size_t XmlTokenizer::SkipDoctype(std::string_view doc, std::size_t pos) {
  constexpr auto npos = std::string_view::npos;
  // The external id part, up to the internal subset or the end.
  char quote = 0;
  for (; pos < doc.size(); ++pos) {
    char c = doc[pos];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      return pos + 1;
    } else if (c == '[') {
      break;
    }
  }
  if (pos >= doc.size()) return npos;
  ++pos;
  // The internal subset: declarations, comments, PIs and parameter references.
  while (pos < doc.size()) {
    char c = doc[pos];
    if (c == ']') {
      std::size_t end = doc.find('>', pos + 1);
      return end == npos ? npos : end + 1;
    }
    if (StartsAt(doc, pos, kCommentOpen)) {
      std::size_t end = doc.find(kCommentClose, pos + kCommentOpen.size());
      if (end == npos) return npos;
      pos = end + kCommentClose.size();
    } else if (StartsAt(doc, pos, kPiOpen)) {
      std::size_t end = doc.find(kPiClose, pos + kPiOpen.size());
      if (end == npos) return npos;
      pos = end + kPiClose.size();
    } else if (StartsAt(doc, pos, "<!")) {
      std::size_t end = FindMarkupEnd(doc, pos + 2);
      if (end == npos) return npos;
      if (StartsAt(doc, pos, kEntity)) {
        ReadEntityDeclaration(doc.substr(pos + kEntity.size(), end - pos - kEntity.size()));
      }
      pos = end + 1;
    } else {
      ++pos;
    }
  }
  return npos;
}

void XmlTokenizer::ReadEntityDeclaration(std::string_view decl) {
  std::size_t i = 0;
  while (i < decl.size() && IsSpace(decl[i])) ++i;
  if (i < decl.size() && decl[i] == '%') return;  // parameter entities are not used in text
  std::size_t name_start = i;
  while (i < decl.size() && !IsSpace(decl[i]) && decl[i] != '"' && decl[i] != '\'') ++i;
  std::string_view name = decl.substr(name_start, i - name_start);
  while (i < decl.size() && IsSpace(decl[i])) ++i;
  if (name.empty() || i >= decl.size() || (decl[i] != '"' && decl[i] != '\'')) {
    return;  // external entities are not loaded
  }
  char quote = decl[i++];
  std::size_t end = decl.find(quote, i);
  if (end == std::string_view::npos) return;
  // The first declaration of a name is binding.
  entities_.try_emplace(std::string(name), decl.substr(i, end - i));
}

void XmlTokenizer::DecodeText(std::string_view raw, std::string& out, int depth) {
  std::size_t literal_start = 0;
  std::size_t i = 0;
  while (i < raw.size()) {
    if (raw[i] != '&') {
      ++i;
      continue;
    }
    // Scan only as far as a reference can reach, so that text with many
    // ampersands stays linear.
    std::size_t semi = i + 1;
    while (semi < raw.size() && IsReferenceChar(raw[semi])) ++semi;
    if (semi >= raw.size() || raw[semi] != ';' || semi == i + 1) {
      ++i;  // a bare "&" is kept as text
      continue;
    }
    std::string_view ref = raw.substr(i + 1, semi - i - 1);
    AppendLiteral(raw.substr(literal_start, i - literal_start), out);
    AppendReference(ref, out, depth);
    i = semi + 1;
    literal_start = i;
  }
  AppendLiteral(raw.substr(literal_start), out);
}

void XmlTokenizer::AppendLiteral(std::string_view raw, std::string& out) const {
  if (raw.empty()) return;
  if (convert_utf8_) {
    out += platform::Utf8ToCp1252(raw);
  } else {
    out += raw;
  }
}

void XmlTokenizer::AppendReference(std::string_view name, std::string& out, int depth) {
  if (name[0] == '#') {
    std::uint32_t cp = 0;
    out += ReadCodePoint(name.substr(1), cp) ? static_cast<char>(platform::CodePointToCp1252(cp))
                                             : kUnreadableReference;
    return;
  }
  if (name == "lt") {
    out += '<';
  } else if (name == "gt") {
    out += '>';
  } else if (name == "amp") {
    out += '&';
  } else if (name == "apos") {
    out += '\'';
  } else if (name == "quot") {
    out += '"';
  } else if (auto it = entities_.find(name); it != entities_.end()) {
    if (depth + 1 > kMaxEntityDepth) throw EXmlRpcError("Entity references are nested too deeply");
    expansion_used_ += std::max<std::size_t>(1, it->second.size());
    if (expansion_used_ > kMaxEntityExpansion) throw EXmlRpcError("Entity expansion exceeds the size limit");
    DecodeText(it->second, out, depth + 1);
  } else {
    AppendLiteral(name, out);  // an unknown entity stands for its name
  }
}

}  // namespace kavor2::xmlrpc
