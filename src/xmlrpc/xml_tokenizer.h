#pragma once
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace kavor2::xmlrpc {

// What the tokenizer reports. Names are passed as written (parsers trim and
// upper-case them); text arrives with references replaced and converted to
// single bytes.
class XmlEventHandler {
 public:
  virtual ~XmlEventHandler() = default;
  virtual void OnStartTag(std::string_view name) = 0;
  virtual void OnEndTag(std::string_view name) = 0;
  virtual void OnText(std::string_view text) = 0;
};

// Entity references may nest this deep inside entity values.
inline constexpr int kMaxEntityDepth = 8;
// Budget for expanding declared entities over one document: the sum of the
// value lengths of every expansion (at least 1 each). Keeps "billion laughs"
// documents to a bounded amount of work and memory.
inline constexpr std::size_t kMaxEntityExpansion = 1 << 20;

// A lenient XML reader for XML-RPC documents. It skips the declaration
// (reading its encoding), a UTF-8 byte-order mark, comments, processing
// instructions and a DOCTYPE (whose internal general entities are expanded
// in text); CDATA sections and empty-element tags produce no event;
// attributes are ignored. Unknown entities are replaced by their name.
// Text is taken byte for byte when the declaration names an encoding other
// than UTF-8; otherwise it is converted from UTF-8 to the Windows-1252
// repertoire (0xBF for other characters). Unterminated markup at the end is
// dropped. Throws EXmlRpcError when entity limits are exceeded; handler
// exceptions propagate.
class XmlTokenizer {
 public:
  void Run(std::string_view document, XmlEventHandler& handler);

 private:
  void ReadDeclaration(std::string_view body);
  std::size_t SkipDoctype(std::string_view doc, std::size_t pos);
  void ReadEntityDeclaration(std::string_view decl);
  void DecodeText(std::string_view raw, std::string& out, int depth);
  void AppendLiteral(std::string_view raw, std::string& out) const;
  void AppendReference(std::string_view name, std::string& out, int depth);

  bool convert_utf8_ = true;
  bool declaration_seen_ = false;
  std::map<std::string, std::string, std::less<>> entities_;
  std::size_t expansion_used_ = 0;
};

}  // namespace kavor2::xmlrpc
