#include <string>

#include "platform/errors.h"
#include "platform/text.h"
#include "xmlrpc/rpc_raw_text.h"
#include "xmlrpc/rpc_types.h"
#include "xmlrpc/rpc_xml_writer.h"

namespace kavor2::xmlrpc {
namespace {

constexpr int kNotFound = -1;

[[noreturn]] void ThrowIndexError(int index) {
  throw platform::RangeError("List index out of bounds (" + std::to_string(index) + ")");
}

// Member names compare as the Windows-1251 letters they are, case ignored.
bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && platform::UpperCp1251(a) == platform::UpperCp1251(b);
}

void AppendLine(std::string& out, std::string_view line) {
  out += line;
  out += "\r\n";
}

}  // namespace

int TRpcStruct::CheckedIndex(int index) const {
  if (index < 0 || index >= Count()) ThrowIndexError(index);
  return index;
}

TRpcCustomItem& TRpcStruct::AddItem(std::string_view name) {
  members_.push_back(Member{std::string(name), std::make_unique<TRpcCustomItem>()});
  return *members_.back().item;
}

std::vector<std::string> TRpcStruct::KeyList() const {
  std::vector<std::string> names;
  names.reserve(members_.size());
  for (const auto& m : members_) names.push_back(m.name);
  return names;
}

TRpcCustomItem& TRpcStruct::Items(int index) {
  return *members_[static_cast<std::size_t>(CheckedIndex(index))].item;
}

const TRpcCustomItem& TRpcStruct::Items(int index) const {
  return *members_[static_cast<std::size_t>(CheckedIndex(index))].item;
}

void TRpcStruct::SetItems(int index, const TRpcCustomItem& item) {
  members_[static_cast<std::size_t>(CheckedIndex(index))].item = std::make_unique<TRpcCustomItem>(item);
}

const std::string& TRpcStruct::Name(int index) const {
  return members_[static_cast<std::size_t>(CheckedIndex(index))].name;
}

TRpcCustomItem& TRpcStruct::Keys(std::string_view name) { return Items(IndexOf(name)); }
const TRpcCustomItem& TRpcStruct::Keys(std::string_view name) const { return Items(IndexOf(name)); }
void TRpcStruct::SetKeys(std::string_view name, const TRpcCustomItem& item) { SetItems(IndexOf(name), item); }

void TRpcStruct::AddItem(std::string_view name, std::string_view text) { AddItem(name).SetAsString(text); }
void TRpcStruct::AddItem(std::string_view name, std::int32_t value) { AddItem(name).SetAsInteger(value); }
void TRpcStruct::AddItem(std::string_view name, double value) { AddItem(name).SetAsFloat(value); }
void TRpcStruct::AddItem(std::string_view name, bool value) { AddItem(name).SetAsBoolean(value); }
void TRpcStruct::AddItem(std::string_view name, IRpcArray value) { AddItem(name).SetAsArray(std::move(value)); }
void TRpcStruct::AddItem(std::string_view name, IRpcStruct value) { AddItem(name).SetAsStruct(std::move(value)); }
void TRpcStruct::AddItemDateTime(std::string_view name, const TRpcDateTime& value) {
  AddItem(name).SetAsDateTime(value);
}
void TRpcStruct::AddItemBase64Str(std::string_view name, std::string_view bytes) {
  AddItem(name).SetAsBase64Str(bytes);
}
void TRpcStruct::AddItemBase64Raw(std::string_view name, std::string_view text) {
  AddItem(name).SetAsBase64Raw(text);
}

void TRpcStruct::AddItemBase64File(std::string_view name, const std::string& path) {
  TRpcCustomItem item;
  item.LoadFromFile(path);  // nothing is added when the file cannot be read
  AddItem(name) = std::move(item);
}

void TRpcStruct::AddItemBase64Stream(std::string_view name, std::istream& stream) {
  TRpcCustomItem item;
  item.LoadFromStream(stream);
  AddItem(name) = std::move(item);
}

void TRpcStruct::Delete(int index) { members_.erase(members_.begin() + CheckedIndex(index)); }

void TRpcStruct::Delete(std::string_view name) { Delete(IndexOf(name)); }

void TRpcStruct::Clear() { members_.clear(); }

int TRpcStruct::IndexOf(std::string_view name) const {
  for (std::size_t i = 0; i < members_.size(); ++i) {
    if (SameName(members_[i].name, name)) return static_cast<int>(i);
  }
  return kNotFound;
}

std::string TRpcStruct::GetAsXML() const {
  std::string out;
  AppendLine(out, "<value>");
  AppendLine(out, "  <struct>");
  for (const auto& m : members_) {
    AppendLine(out, "    <member>");
    TRpcDataType kind = m.item->DataType();
    if (kind != rdtError && kind != rdtNone) {
      AppendLine(out, "      <name>" + m.name + "</name>");
      AppendLine(out, writer::ValueLine(*m.item, writer::LineContext::kStructMember));
    }
    AppendLine(out, "    </member>");
  }
  AppendLine(out, "  </struct>");
  AppendLine(out, "</value>");
  return out;
}

void TRpcStruct::LoadRawData(TRpcDataType kind, std::string_view name, std::string_view text) {
  TRpcCustomItem item = ItemFromRawText(kind, text);
  AddItem(name) = std::move(item);
}

void TRpcStruct::Assign(const TRpcStruct& source) {
  if (&source == this) return;
  Clear();
  for (const auto& m : source.members_) {
    TRpcDataType kind = m.item->DataType();
    if (kind == rdtError || kind == rdtNone) throw EXmlRpcError("unknown data type in TRpcStruct.Assign");
    AddItem(m.name).Assign(*m.item);
  }
}

}  // namespace kavor2::xmlrpc
