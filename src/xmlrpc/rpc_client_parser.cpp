#include <utility>

#include "platform/text.h"
#include "xmlrpc/rpc_parsers.h"
#include "xmlrpc/rpc_tags.h"

namespace kavor2::xmlrpc {
namespace {

constexpr std::int32_t kInvalidPayloadCode = 601;
constexpr std::string_view kInvalidPayloadText = "Invalid payload received from xml-rpc server";

}  // namespace

void TRpcClientParser::Reset() {
  result_ = TRpcResult();
  stack_.clear();
  member_names_.clear();
  current_tag_.clear();
}

void TRpcClientParser::Parse(std::string_view text) {
  Reset();
  const std::string document = apply_empty_forms_ ? ApplyEmptyForms(text) : std::string(text);
  if (platform::UpperAscii(document).find("XML") == std::string::npos) {
    result_.SetError(kInvalidPayloadCode, kInvalidPayloadText);
    return;
  }
  result_.Clear();
  try {
    XmlTokenizer tokenizer;
    tokenizer.Run(document, *this);
  } catch (...) {
    Reset();  // nothing of a failed parse is handed out
    throw;
  }
  stack_.clear();
  member_names_.clear();
}

void TRpcClientParser::Push(Entry entry) {
  if (static_cast<int>(stack_.size()) >= kMaxValueNesting) throw EXmlRpcError(kNestingTooDeep);
  stack_.push_back(std::move(entry));
}

std::string TRpcClientParser::PopMemberName() {
  // A member without a name element gets an empty name.
  if (member_names_.empty()) return std::string();
  std::string name = std::move(member_names_.back());
  member_names_.pop_back();
  return name;
}

void TRpcClientParser::Attach(const Entry& child) {
  if (stack_.empty()) {
    if (child.strct) {
      result_.SetAsStruct(child.strct);  // a fault struct makes the result an error
    } else {
      result_.SetAsArray(child.array);
    }
    return;
  }
  Entry& top = stack_.back();
  if (top.array) {
    if (child.strct) {
      top.array->AddItem(child.strct);
    } else {
      top.array->AddItem(child.array);
    }
  } else {
    TRpcCustomItem& member = top.strct->AddItem(PopMemberName());
    if (child.strct) {
      member.SetAsStruct(child.strct);
    } else {
      member.SetAsArray(child.array);
    }
  }
}

void TRpcClientParser::OnStartTag(std::string_view raw_name) {
  const std::string name = TagName(raw_name);
  if (name == kTagStruct) {
    Push(Entry{nullptr, std::make_shared<TRpcStruct>()});
  } else if (name == kTagArray) {
    Push(Entry{std::make_shared<TRpcArray>(), nullptr});
  }
  current_tag_ = name;
}

void TRpcClientParser::OnEndTag(std::string_view raw_name) {
  current_tag_.clear();
  const std::string name = TagName(raw_name);
  if (name == kTagStruct || name == kTagArray) {
    if (stack_.empty()) return;
    // "</struct>" with an array on top closes that array.
    const bool closes = stack_.back().array || name == kTagStruct;
    if (!closes) return;
    Entry done = std::move(stack_.back());
    stack_.pop_back();
    Attach(done);
  } else if (name == kTagParams && !stack_.empty()) {
    if (stack_.back().strct) {
      result_.SetAsStruct(stack_.back().strct);
      stack_.pop_back();
    }
    if (!stack_.empty() && stack_.back().array) result_.SetAsArray(stack_.back().array);
    stack_.clear();
    member_names_.clear();
  }
}

void TRpcClientParser::OnText(std::string_view text) {
  if (IsBlankText(text) || current_tag_.empty()) return;
  std::string_view tag = current_tag_;
  if (tag == kTagValue) tag = kTagString;  // an untyped value is a string
  if (tag == kTagString && text == kNullText) text = std::string_view();

  if (tag == kTagName) {
    member_names_.emplace_back(text);
  } else {
    const TRpcDataType kind = ValueKindOfTag(tag, /*accept_int4=*/false);
    // Texts are taken untrimmed here.
    if (kind != rdtNone) {
      if (stack_.empty()) {
        switch (kind) {
          case rdtString: result_.SetAsRawString(text); break;
          case rdtInteger: result_.SetAsInteger(platform::StrToInt(text)); break;
          case rdtDouble: result_.SetAsFloat(TextToDouble(text)); break;
          case rdtDateTime: result_.SetAsDateTime(TextToDateTime(text)); break;
          case rdtBase64: result_.SetAsBase64Raw(text); break;
          default: result_.SetAsBoolean(TextToBoolean(text)); break;
        }
      } else if (stack_.back().strct) {
        std::string name = PopMemberName();
        stack_.back().strct->LoadRawData(kind, name, text);
      } else {
        stack_.back().array->LoadRawData(kind, text);
      }
    }
  }
  current_tag_.clear();
}

}  // namespace kavor2::xmlrpc
