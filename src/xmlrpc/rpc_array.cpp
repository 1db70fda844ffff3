#include <string>

#include "platform/errors.h"
#include "platform/text.h"
#include "xmlrpc/rpc_raw_text.h"
#include "xmlrpc/rpc_types.h"
#include "xmlrpc/rpc_xml_writer.h"

namespace kavor2::xmlrpc {
namespace {

void ThrowIndexError(int index) {
  throw platform::RangeError("List index out of bounds (" + std::to_string(index) + ")");
}

bool IsCopyable(TRpcDataType kind) { return kind != rdtError && kind != rdtNone; }

void AppendLine(std::string& out, std::string_view line) {
  out += line;
  out += "\r\n";
}

}  // namespace

TRpcCustomItem& TRpcCustomArray::Items(int index) {
  if (index < 0 || index >= Count()) ThrowIndexError(index);
  return *items_[static_cast<std::size_t>(index)];
}

const TRpcCustomItem& TRpcCustomArray::Items(int index) const {
  if (index < 0 || index >= Count()) ThrowIndexError(index);
  return *items_[static_cast<std::size_t>(index)];
}

void TRpcCustomArray::SetItems(int index, const TRpcCustomItem& item) {
  if (index < 0 || index >= Count()) ThrowIndexError(index);
  items_[static_cast<std::size_t>(index)] = std::make_unique<TRpcCustomItem>(item);
}

TRpcCustomItem& TRpcCustomArray::Append() {
  items_.push_back(std::make_unique<TRpcCustomItem>());
  return *items_.back();
}

void TRpcCustomArray::AddItem(std::string_view text) { Append().SetAsString(text); }
void TRpcCustomArray::AddItem(std::int32_t value) { Append().SetAsInteger(value); }
void TRpcCustomArray::AddItem(bool value) { Append().SetAsBoolean(value); }
void TRpcCustomArray::AddItem(double value) { Append().SetAsFloat(value); }
void TRpcCustomArray::AddItem(IRpcStruct value) { Append().SetAsStruct(std::move(value)); }
void TRpcCustomArray::AddItem(IRpcArray value) { Append().SetAsArray(std::move(value)); }
void TRpcCustomArray::AddItemBase64Raw(std::string_view text) { Append().SetAsBase64Raw(text); }
void TRpcCustomArray::AddItemBase64Str(std::string_view bytes) { Append().SetAsBase64Str(bytes); }
void TRpcCustomArray::AddItemDateTime(const TRpcDateTime& value) { Append().SetAsDateTime(value); }

void TRpcCustomArray::AddItemBase64File(const std::string& path) {
  TRpcCustomItem item;
  item.LoadFromFile(path);  // nothing is appended when the file cannot be read
  Append() = std::move(item);
}

void TRpcCustomArray::AddItemBase64Stream(std::istream& stream) {
  TRpcCustomItem item;
  item.LoadFromStream(stream);
  Append() = std::move(item);
}

void TRpcCustomArray::Assign(const TRpcCustomArray& source) {
  if (&source == this) return;
  Clear();
  for (const auto& element : source.items_) {
    if (!IsCopyable(element->DataType())) throw EXmlRpcError("unknown data type in TRpcCustomArray.Assign");
    Append().Assign(*element);
  }
}

void TRpcCustomArray::Clear() { items_.clear(); }

void TRpcCustomArray::Delete(int index) {
  if (index < 0 || index >= Count()) ThrowIndexError(index);
  items_.erase(items_.begin() + index);
}

std::string TRpcArray::GetAsXML() const {
  std::string out;
  AppendLine(out, "<value>");
  AppendLine(out, "  <array>");
  AppendLine(out, "    <data>");
  for (int i = 0; i < Count(); ++i) {
    const TRpcCustomItem& item = Items(i);
    if (!IsCopyable(item.DataType())) continue;
    AppendLine(out, writer::ValueLine(item, writer::LineContext::kArrayElement));
  }
  AppendLine(out, "  </data>");
  AppendLine(out, "</array>");
  AppendLine(out, "</value>");
  return out;
}

void TRpcArray::LoadRawData(TRpcDataType kind, std::string_view text) {
  // Converted before appending, so that malformed text appends nothing.
  TRpcCustomItem item = ItemFromRawText(kind, text);
  Append() = std::move(item);
}

TRpcCustomItem ItemFromRawText(TRpcDataType kind, std::string_view text) {
  TRpcCustomItem item;
  switch (kind) {
    case rdtDouble: item.SetAsFloat(TextToDouble(text)); break;
    case rdtInteger: item.SetAsInteger(platform::StrToInt(text)); break;
    case rdtString: item.SetAsString(text); break;
    case rdtBoolean: item.SetAsBoolean(TextToBoolean(text)); break;
    case rdtDateTime: item.SetAsDateTime(TextToDateTime(text)); break;
    case rdtBase64: item.SetAsBase64Raw(text); break;
    default: throw EXmlRpcError("unknown data type in LoadRawData");
  }
  return item;
}

}  // namespace kavor2::xmlrpc
