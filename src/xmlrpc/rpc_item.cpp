#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/base64.h"
#include "platform/text.h"
#include "xmlrpc/rpc_types.h"

namespace kavor2::xmlrpc {
namespace {

void CheckKind(TRpcDataType actual, TRpcDataType wanted, const char* message) {
  if (actual != wanted) throw EXmlRpcError(message);
}

}  // namespace

const std::string& TRpcCustomItem::AsRawString() const {
  CheckKind(kind_, rdtString, "Item is not a string type");
  return string_;
}

void TRpcCustomItem::SetAsRawString(std::string_view text) {
  Clear();
  kind_ = rdtString;
  string_ = text;
}

std::string TRpcCustomItem::AsString() const { return UnescapeXmlText(AsRawString()); }

void TRpcCustomItem::SetAsString(std::string_view text) {
  Clear();
  kind_ = rdtString;
  string_ = EscapeXmlText(text);
}

std::int32_t TRpcCustomItem::AsInteger() const {
  CheckKind(kind_, rdtInteger, "Item is not a integer type");
  return integer_;
}

void TRpcCustomItem::SetAsInteger(std::int32_t value) {
  Clear();
  kind_ = rdtInteger;
  integer_ = value;
}

double TRpcCustomItem::AsFloat() const {
  CheckKind(kind_, rdtDouble, "Item is not a double type");
  return double_;
}

void TRpcCustomItem::SetAsFloat(double value) {
  Clear();
  kind_ = rdtDouble;
  double_ = value;
}

bool TRpcCustomItem::AsBoolean() const {
  CheckKind(kind_, rdtBoolean, "Item is not a boolean type");
  return boolean_;
}

void TRpcCustomItem::SetAsBoolean(bool value) {
  Clear();
  kind_ = rdtBoolean;
  boolean_ = value;
}

const TRpcDateTime& TRpcCustomItem::AsDateTime() const {
  CheckKind(kind_, rdtDateTime, "Item is not a date type");
  return date_time_;
}

void TRpcCustomItem::SetAsDateTime(const TRpcDateTime& value) {
  Clear();
  kind_ = rdtDateTime;
  date_time_ = value;
}

std::string TRpcCustomItem::AsBase64Str() const { return platform::Base64DecodeLenient(AsBase64Raw()); }

void TRpcCustomItem::SetAsBase64Str(std::string_view bytes) {
  Clear();
  kind_ = rdtBase64;
  base64_ = platform::Base64EncodeLines(bytes);
}

const std::string& TRpcCustomItem::AsBase64Raw() const {
  CheckKind(kind_, rdtBase64, "Item is not a base64 type");
  return base64_;
}

void TRpcCustomItem::SetAsBase64Raw(std::string_view text) {
  Clear();
  kind_ = rdtBase64;
  base64_ = text;
}

const IRpcArray& TRpcCustomItem::AsArray() const {
  CheckKind(kind_, rdtArray, "Item is not a array type");
  return array_;
}

void TRpcCustomItem::SetAsArray(IRpcArray value) {
  if (!value) value = std::make_shared<TRpcArray>();
  Clear();
  kind_ = rdtArray;
  array_ = std::move(value);
}

const IRpcStruct& TRpcCustomItem::AsStruct() const {
  CheckKind(kind_, rdtStruct, "Item is not a struct type");
  return struct_;
}

void TRpcCustomItem::SetAsStruct(IRpcStruct value) {
  if (!value) value = std::make_shared<TRpcStruct>();
  Clear();
  kind_ = rdtStruct;
  struct_ = std::move(value);
}

void TRpcCustomItem::Assign(const TRpcCustomItem& source) {
  if (&source == this) return;
  switch (source.kind_) {
    case rdtDouble: SetAsFloat(source.double_); break;
    case rdtInteger: SetAsInteger(source.integer_); break;
    case rdtString: SetAsRawString(source.string_); break;
    case rdtBoolean: SetAsBoolean(source.boolean_); break;
    case rdtDateTime: SetAsDateTime(source.date_time_); break;
    case rdtBase64: SetAsBase64Raw(source.base64_); break;
    case rdtStruct: {
      auto copy = std::make_shared<TRpcStruct>();
      copy->Assign(*source.struct_);
      SetAsStruct(std::move(copy));
      break;
    }
    case rdtArray: {
      auto copy = std::make_shared<TRpcArray>();
      copy->Assign(*source.array_);
      SetAsArray(std::move(copy));
      break;
    }
    case rdtError:
    case rdtNone:
    default:
      throw EXmlRpcError("unknown data type in TRpcCustomItem.Assign");
  }
}

void TRpcCustomItem::Clear() {
  kind_ = rdtNone;
  string_.clear();
  base64_.clear();
  integer_ = 0;
  double_ = 0;
  boolean_ = false;
  date_time_ = TRpcDateTime{};
  struct_.reset();
  array_.reset();
}

void TRpcCustomItem::LoadFromStream(std::istream& stream) {
  stream.clear();
  stream.seekg(0, std::ios::beg);
  // A stream that cannot seek is read from where it stands.
  stream.clear();
  std::string bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  SetAsBase64Str(bytes);
}

void TRpcCustomItem::SaveToStream(std::ostream& stream) const {
  const std::string bytes = AsBase64Str();
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void TRpcCustomItem::LoadFromFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw EXmlRpcError("Cannot open file \"" + path + "\"");
  LoadFromStream(file);
}

void TRpcCustomItem::SaveToFile(const std::string& path) const {
  const std::string bytes = AsBase64Str();  // kind checked before the file is touched
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) throw EXmlRpcError("Cannot create file \"" + path + "\"");
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw EXmlRpcError("Cannot write file \"" + path + "\"");
}

std::int32_t TRpcResult::ErrorCode() const {
  CheckKind(DataType(), rdtError, "Item is not an error type");
  return error_code_;
}

const std::string& TRpcResult::ErrorMsg() const {
  CheckKind(DataType(), rdtError, "Item is not an error type");
  return error_msg_;
}

void TRpcResult::SetError(std::int32_t code, std::string_view message) {
  Clear();
  SetKind(rdtError);
  error_code_ = code;
  error_msg_ = message;
}

void TRpcResult::SetAsStruct(IRpcStruct value) {
  constexpr std::string_view kFaultCode = "faultCode";
  constexpr std::string_view kFaultString = "faultString";
  if (value) {
    int code_index = value->IndexOf(kFaultCode);
    if (code_index >= 0) {
      std::int32_t code = value->Items(code_index).AsInteger();
      int text_index = value->IndexOf(kFaultString);
      // A fault without its text still reports the code.
      std::string text = text_index >= 0 ? value->Items(text_index).AsString() : std::string();
      SetError(code, text);
      return;
    }
  }
  TRpcCustomItem::SetAsStruct(std::move(value));
}

}  // namespace kavor2::xmlrpc
