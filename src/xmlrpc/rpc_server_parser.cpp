#include <utility>

#include "platform/text.h"
#include "xmlrpc/rpc_parsers.h"
#include "xmlrpc/rpc_tags.h"

namespace kavor2::xmlrpc {

void TRpcServerParser::Reset() {
  stack_.clear();
  containers_ = 0;
  current_tag_.clear();
  last_member_name_.clear();
  method_name_.clear();
  params_.clear();
}

void TRpcServerParser::Parse(std::string_view text) {
  Reset();
  const std::string document = ApplyEmptyForms(text);
  try {
    XmlTokenizer tokenizer;
    tokenizer.Run(document, *this);
  } catch (...) {
    Reset();
    throw;
  }
  // Whatever is left on the stack is handed out, in document order; a
  // container that was never closed goes out as a parameter holding it.
  for (Entry& entry : stack_) {
    switch (entry.kind) {
      case EntryKind::kParam: params_.push_back(std::move(entry.param)); break;
      case EntryKind::kArray: params_.emplace_back().SetAsArray(entry.array); break;
      case EntryKind::kStruct: params_.emplace_back().SetAsStruct(entry.strct); break;
    }
  }
  stack_.clear();
  containers_ = 0;
}

TRpcParams TRpcServerParser::TakeParams() {
  TRpcParams out = std::move(params_);
  params_.clear();
  return out;
}

void TRpcServerParser::PushContainer(Entry entry) {
  if (containers_ >= kMaxValueNesting) throw EXmlRpcError(kNestingTooDeep);
  ++containers_;
  stack_.push_back(std::move(entry));
}

void TRpcServerParser::OnStartTag(std::string_view raw_name) {
  const std::string name = TagName(raw_name);
  if (name == kTagParam) {
    stack_.push_back(Entry{EntryKind::kParam, TRpcResult(), nullptr, nullptr});
  } else if (name == kTagArray || name == kTagStruct) {
    Entry entry{name == kTagArray ? EntryKind::kArray : EntryKind::kStruct, TRpcResult(), nullptr, nullptr};
    if (entry.kind == EntryKind::kArray) {
      entry.array = std::make_shared<TRpcArray>();
    } else {
      entry.strct = std::make_shared<TRpcStruct>();
    }
    // Inside a struct a container becomes a member at once, under the name
    // seen last.
    if (!stack_.empty() && stack_.back().kind == EntryKind::kStruct) {
      TRpcCustomItem& member = stack_.back().strct->AddItem(last_member_name_);
      if (entry.array) {
        member.SetAsArray(entry.array);
      } else {
        member.SetAsStruct(entry.strct);
      }
    }
    PushContainer(std::move(entry));
  }
  current_tag_ = name;
}

void TRpcServerParser::OnEndTag(std::string_view raw_name) {
  current_tag_.clear();
  if (stack_.empty()) return;
  const std::string name = TagName(raw_name);
  EntryKind closing;
  if (name == kTagArray) {
    closing = EntryKind::kArray;
  } else if (name == kTagStruct) {
    closing = EntryKind::kStruct;
  } else {
    return;
  }
  if (stack_.back().kind != closing) return;  // unbalanced: ignored
  Entry done = std::move(stack_.back());
  stack_.pop_back();
  --containers_;
  if (stack_.empty()) return;
  Entry& top = stack_.back();
  if (top.kind == EntryKind::kParam) {
    if (done.array) {
      top.param.SetAsArray(done.array);
    } else {
      top.param.SetAsStruct(done.strct);  // a fault struct makes an error parameter
    }
  } else if (top.kind == EntryKind::kArray) {
    if (done.array) {
      top.array->AddItem(done.array);
    } else {
      top.array->AddItem(done.strct);
    }
  }
  // Under a struct it was attached at its start tag.
}

void TRpcServerParser::OnText(std::string_view text) {
  if (IsBlankText(text)) return;
  std::string_view tag = current_tag_;
  if (tag == kTagValue) tag = kTagString;  // an untyped value is a string
  if (tag == kTagString && text == kNullText) text = std::string_view();

  if (tag == kTagMethodName) {
    method_name_ = text;
    return;
  }
  if (tag == kTagName) {
    last_member_name_ = text;
    return;
  }
  if (stack_.empty()) return;
  Entry& top = stack_.back();
  if (top.kind == EntryKind::kParam) {
    TRpcResult& param = top.param;
    if (tag == kTagString) {
      param.SetAsRawString(text);  // kept as received, not escaped
    } else if (tag == kTagInt || tag == kTagI4 || tag == kTagInt4) {
      param.SetAsInteger(platform::StrToInt(platform::Trim(text)));
    } else if (tag == kTagDouble) {
      param.SetAsFloat(TextToDouble(platform::Trim(text)));
    } else if (tag == kTagDateTime) {
      param.SetAsDateTime(TextToDateTime(text));
    } else if (tag == kTagBase64) {
      param.SetAsBase64Raw(text);
    } else if (tag == kTagBoolean) {
      param.SetAsBoolean(TextToBoolean(platform::Trim(text)));
    }
    return;
  }
  const TRpcDataType kind = ValueKindOfTag(tag, /*accept_int4=*/true);
  if (kind == rdtNone) return;
  // Numbers and booleans are trimmed in calls.
  const bool trimmed = kind == rdtInteger || kind == rdtDouble || kind == rdtBoolean;
  const std::string_view value = trimmed ? platform::Trim(text) : text;
  if (top.kind == EntryKind::kStruct) {
    top.strct->LoadRawData(kind, last_member_name_, value);
  } else {
    top.array->LoadRawData(kind, value);
  }
}

}  // namespace kavor2::xmlrpc
