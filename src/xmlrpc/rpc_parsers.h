#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "xmlrpc/rpc_types.h"
#include "xmlrpc/xml_tokenizer.h"

namespace kavor2::xmlrpc {

// Reads a methodCall: the method name and the ordered parameters. Lenient:
// the document is not validated, unknown tags are ignored. Every Parse starts
// from empty state. Conversion errors (platform::ConversionError) and
// EXmlRpcError (entity limits, values nested deeper than kMaxValueNesting)
// propagate; the values read so far are then discarded.
class TRpcServerParser : private XmlEventHandler {
 public:
  void Parse(std::string_view text);

  const std::string& MethodName() const { return method_name_; }
  const TRpcParams& Params() const { return params_; }
  // Hands the parameters over to the caller; Params() is empty afterwards.
  TRpcParams TakeParams();

 private:
  enum class EntryKind { kParam, kArray, kStruct };
  struct Entry {
    EntryKind kind;
    TRpcResult param;
    IRpcArray array;
    IRpcStruct strct;
  };

  void OnStartTag(std::string_view name) override;
  void OnEndTag(std::string_view name) override;
  void OnText(std::string_view text) override;
  void PushContainer(Entry entry);
  void Reset();

  std::vector<Entry> stack_;
  int containers_ = 0;
  std::string current_tag_;
  std::string last_member_name_;
  std::string method_name_;
  TRpcParams params_;
};

// Reads a methodResponse (ordinary or fault) into one result. Every Parse
// starts from empty state; errors propagate as for TRpcServerParser.
class TRpcClientParser : private XmlEventHandler {
 public:
  // apply_empty_forms: rewrite "<string></string>" and the like to "[NULL]"
  // forms before reading (the callback client turns it on).
  explicit TRpcClientParser(bool apply_empty_forms = false) : apply_empty_forms_(apply_empty_forms) {}

  bool EmptyForms() const { return apply_empty_forms_; }
  void SetEmptyForms(bool on) { apply_empty_forms_ = on; }

  // A text without "XML" (any case) gives error 601 "Invalid payload
  // received from xml-rpc server".
  void Parse(std::string_view text);
  const TRpcResult& Result() const { return result_; }
  TRpcResult& Result() { return result_; }

 private:
  struct Entry {
    IRpcArray array;    // set for an array
    IRpcStruct strct;   // set for a struct
  };

  void OnStartTag(std::string_view name) override;
  void OnEndTag(std::string_view name) override;
  void OnText(std::string_view text) override;
  void Push(Entry entry);
  std::string PopMemberName();
  void Attach(const Entry& child);
  void Reset();

  bool apply_empty_forms_;
  TRpcResult result_;
  std::vector<Entry> stack_;
  std::vector<std::string> member_names_;
  std::string current_tag_;
};

}  // namespace kavor2::xmlrpc
