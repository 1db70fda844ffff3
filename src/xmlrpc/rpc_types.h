#pragma once
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "xmlrpc/rpc_common.h"

namespace kavor2::xmlrpc {

class TRpcArray;
class TRpcStruct;
class TRpcResult;
class TRpcFunction;

// Containers are shared by reference: an item that holds a struct or array
// keeps it alive, and handing one to a container shares it. Assign is the
// only deep copy.
using IRpcArray = std::shared_ptr<TRpcArray>;
using IRpcStruct = std::shared_ptr<TRpcStruct>;
using IRpcResult = std::shared_ptr<TRpcResult>;
using IRpcFunction = std::shared_ptr<TRpcFunction>;

// One value. Only the field of the current kind is meaningful; every setter
// clears the value first. Getters of another kind throw EXmlRpcError.
// Copying an item copies scalars and shares its container.
class TRpcCustomItem {
 public:
  TRpcCustomItem() = default;
  TRpcCustomItem(const TRpcCustomItem&) = default;
  TRpcCustomItem(TRpcCustomItem&&) = default;
  TRpcCustomItem& operator=(const TRpcCustomItem&) = default;
  TRpcCustomItem& operator=(TRpcCustomItem&&) = default;
  virtual ~TRpcCustomItem() = default;

  // The stored (escaped) text, read or written as it is.
  const std::string& AsRawString() const;
  void SetAsRawString(std::string_view text);
  // The plain text: escaped on setting, unescaped on getting.
  std::string AsString() const;
  void SetAsString(std::string_view text);

  std::int32_t AsInteger() const;
  void SetAsInteger(std::int32_t value);
  double AsFloat() const;
  void SetAsFloat(double value);
  bool AsBoolean() const;
  void SetAsBoolean(bool value);
  const TRpcDateTime& AsDateTime() const;
  void SetAsDateTime(const TRpcDateTime& value);

  // Base64: Str is the decoded bytes (encoded in 76-character lines on
  // setting), Raw the stored text as it is.
  std::string AsBase64Str() const;
  void SetAsBase64Str(std::string_view bytes);
  const std::string& AsBase64Raw() const;
  void SetAsBase64Raw(std::string_view text);

  // A null reference is stored as a new empty container.
  const IRpcArray& AsArray() const;
  void SetAsArray(IRpcArray value);
  const IRpcStruct& AsStruct() const;
  // Overridden by TRpcResult, which turns a fault struct into an error.
  virtual void SetAsStruct(IRpcStruct value);

  TRpcDataType DataType() const { return kind_; }

  // Deep copy of another item (new containers, recursively). Throws
  // EXmlRpcError("unknown data type in TRpcCustomItem.Assign") for a source of
  // kind rdtError or rdtNone.
  void Assign(const TRpcCustomItem& source);

  // Kind rdtNone, every field emptied.
  void Clear();

  bool IsArray() const { return kind_ == rdtArray; }
  bool IsBase64() const { return kind_ == rdtBase64; }
  bool IsBoolean() const { return kind_ == rdtBoolean; }
  bool IsDate() const { return kind_ == rdtDateTime; }
  bool IsFloat() const { return kind_ == rdtDouble; }
  bool IsError() const { return kind_ == rdtError; }
  bool IsInteger() const { return kind_ == rdtInteger; }
  bool IsString() const { return kind_ == rdtString; }
  bool IsStruct() const { return kind_ == rdtStruct; }

  // The whole stream (from its start) as AsBase64Str, and back.
  void LoadFromStream(std::istream& stream);
  void SaveToStream(std::ostream& stream) const;
  // Throw EXmlRpcError when the file cannot be opened or created.
  void LoadFromFile(const std::string& path);
  void SaveToFile(const std::string& path) const;

 protected:
  void SetKind(TRpcDataType kind) { kind_ = kind; }

 private:
  TRpcDataType kind_ = rdtNone;
  std::string string_;
  std::int32_t integer_ = 0;
  double double_ = 0;
  bool boolean_ = false;
  TRpcDateTime date_time_;
  std::string base64_;
  IRpcStruct struct_;
  IRpcArray array_;
};

// Items that arrays and structs create for their elements.
using TRpcArrayItem = TRpcCustomItem;
using TRpcStructItem = TRpcCustomItem;

// A call parameter or the result of an outgoing call.
class TRpcResult : public TRpcCustomItem {
 public:
  // Throw EXmlRpcError("Item is not an error type") unless kind rdtError.
  std::int32_t ErrorCode() const;
  const std::string& ErrorMsg() const;

  std::int32_t ServerPort() const { return server_port_; }
  void SetServerPort(std::int32_t port) { server_port_ = port; }

  // Clears the value; kind rdtError with this code and message.
  void SetError(std::int32_t code, std::string_view message);

  // A struct with a member "faultCode" (any case) does not become a struct:
  // the value becomes an error with that code and the "faultString" text.
  void SetAsStruct(IRpcStruct value) override;

 private:
  std::int32_t error_code_ = 0;
  std::string error_msg_;
  std::int32_t server_port_ = 0;
};

// The parameters of a call as the call parser hands them out.
using TRpcParams = std::vector<TRpcResult>;

// An ordered list that owns its items. Indexes are 0-based; a bad index
// throws platform::RangeError("List index out of bounds (i)").
class TRpcCustomArray {
 public:
  TRpcCustomArray() = default;
  TRpcCustomArray(const TRpcCustomArray&) = delete;
  TRpcCustomArray& operator=(const TRpcCustomArray&) = delete;
  TRpcCustomArray(TRpcCustomArray&&) = default;
  TRpcCustomArray& operator=(TRpcCustomArray&&) = default;
  virtual ~TRpcCustomArray() = default;

  // References stay valid until the element is deleted or replaced.
  TRpcCustomItem& Items(int index);
  const TRpcCustomItem& Items(int index) const;
  // Replaces the element with a copy of item.
  void SetItems(int index, const TRpcCustomItem& item);

  void AddItem(std::string_view text);  // through AsString (escaped)
  void AddItem(const char* text) { AddItem(std::string_view(text)); }
  void AddItem(const std::string& text) { AddItem(std::string_view(text)); }
  void AddItem(std::int32_t value);
  void AddItem(bool value);
  void AddItem(double value);
  void AddItem(IRpcStruct value);
  void AddItem(IRpcArray value);
  void AddItemBase64Raw(std::string_view text);
  void AddItemBase64Str(std::string_view bytes);
  void AddItemBase64File(const std::string& path);
  void AddItemBase64Stream(std::istream& stream);
  void AddItemDateTime(const TRpcDateTime& value);

  // Clears this list, then deep-copies every element of source. Throws
  // EXmlRpcError("unknown data type in TRpcCustomArray.Assign") for an element
  // of kind rdtError or rdtNone (this list is then left partly filled).
  void Assign(const TRpcCustomArray& source);
  virtual void Clear();
  int Count() const { return static_cast<int>(items_.size()); }
  void Delete(int index);

 protected:
  TRpcCustomItem& Append();

 private:
  std::vector<std::unique_ptr<TRpcCustomItem>> items_;
};

// An array value.
class TRpcArray : public TRpcCustomArray {
 public:
  // The array's value block: lines each followed by CR LF.
  std::string GetAsXML() const;
  // Appends an element converted from text (kinds rdtDouble..rdtBase64).
  // Malformed text throws platform::ConversionError and appends nothing.
  void LoadRawData(TRpcDataType kind, std::string_view text);
};

// An ordered list of (name, item) members. Names match without regard to
// letter case; a repeated name adds a second member (lookups find the first).
class TRpcStruct {
 public:
  TRpcStruct() = default;
  TRpcStruct(const TRpcStruct&) = delete;
  TRpcStruct& operator=(const TRpcStruct&) = delete;
  virtual ~TRpcStruct() = default;

  // Appends an empty member and returns its item (valid until deleted).
  TRpcCustomItem& AddItem(std::string_view name);
  std::vector<std::string> KeyList() const;
  TRpcCustomItem& Items(int index);
  const TRpcCustomItem& Items(int index) const;
  void SetItems(int index, const TRpcCustomItem& item);
  // The first member of that name; a missing name throws RangeError.
  TRpcCustomItem& Keys(std::string_view name);
  const TRpcCustomItem& Keys(std::string_view name) const;
  void SetKeys(std::string_view name, const TRpcCustomItem& item);

  void AddItem(std::string_view name, std::string_view text);  // escaped
  void AddItem(std::string_view name, const char* text) { AddItem(name, std::string_view(text)); }
  void AddItem(std::string_view name, const std::string& text) { AddItem(name, std::string_view(text)); }
  void AddItem(std::string_view name, std::int32_t value);
  void AddItem(std::string_view name, double value);
  void AddItem(std::string_view name, bool value);
  void AddItem(std::string_view name, IRpcArray value);
  void AddItem(std::string_view name, IRpcStruct value);
  void AddItemDateTime(std::string_view name, const TRpcDateTime& value);
  void AddItemBase64Str(std::string_view name, std::string_view bytes);
  void AddItemBase64Raw(std::string_view name, std::string_view text);
  void AddItemBase64File(std::string_view name, const std::string& path);
  void AddItemBase64Stream(std::string_view name, std::istream& stream);

  bool KeyExists(std::string_view name) const { return IndexOf(name) >= 0; }
  void Delete(int index);
  // Deletes the first member of that name; a missing name throws RangeError.
  void Delete(std::string_view name);
  void Clear();
  int Count() const { return static_cast<int>(members_.size()); }
  // -1 when absent.
  int IndexOf(std::string_view name) const;

  // The struct's value block: lines each followed by CR LF.
  std::string GetAsXML() const;
  // Appends a member converted from text; for doubles "." and "," both work.
  void LoadRawData(TRpcDataType kind, std::string_view name, std::string_view text);

  // Clears this struct, then deep-copies every member. Throws
  // EXmlRpcError("unknown data type in TRpcStruct.Assign") for a member of
  // kind rdtError or rdtNone.
  virtual void Assign(const TRpcStruct& source);

  // The member name at index (written as it is).
  const std::string& Name(int index) const;

 private:
  struct Member {
    std::string name;
    std::unique_ptr<TRpcCustomItem> item;
  };
  int CheckedIndex(int index) const;
  std::vector<Member> members_;
};

// A call (method name and parameters) or a response (result values, or an
// error) under construction.
class TRpcFunction : public TRpcCustomArray {
 public:
  // methodCall document: declaration, method name, parameter block.
  std::string GetRequestXML() const;
  // The fault document when the error code is greater than 0, otherwise a
  // methodResponse with the values as parameters.
  std::string GetResponseXML() const;
  // The fault document with the error code and message (not escaped).
  std::string GetErrorXML() const;

  const std::string& ObjectMethod() const { return object_method_; }
  void SetObjectMethod(std::string_view name);

  std::int32_t ErrorCode() const { return error_code_; }
  const std::string& ErrorMsg() const { return error_msg_; }

  // Removes all values, error code 0, empty method name.
  void Clear() override;
  // Clear, then store code and message (values are dropped).
  void SetError(std::int32_t code, std::string_view message);
  // Parses a methodCall with the call parser and takes over its method name
  // and parameters (replacing what this function held). Conversion errors
  // and EXmlRpcError propagate.
  void LoadRequestXML(std::string_view text);

 private:
  std::string object_method_;
  std::int32_t error_code_ = 0;
  std::string error_msg_;
};

}  // namespace kavor2::xmlrpc
