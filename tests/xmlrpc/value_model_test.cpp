// Value model: kinds, escaping, scalar text forms, containers and copying.
#include <gtest/gtest.h>

#include <clocale>
#include <locale.h>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <unistd.h>

#include "platform/errors.h"
#include "xmlrpc/rpc_types.h"

namespace kavor2::xmlrpc {
namespace {

using platform::ConversionError;
using platform::RangeError;

template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(Escaping, StoresEscapedFormAndReadsPlainText) {
  TRpcCustomItem item;
  item.SetAsString("a<b&c");
  EXPECT_EQ(item.AsRawString(), "a&lt;b&amp;c");
  EXPECT_EQ(item.AsString(), "a<b&c");

  item.SetAsString("\"'<>&");
  EXPECT_EQ(item.AsRawString(), "&quot;&apos;&lt;&gt;&amp;");
  EXPECT_EQ(item.AsString(), "\"'<>&");

  item.SetAsString(std::string("a\0b\0", 4));
  EXPECT_EQ(item.AsRawString(), "ab");

  item.SetAsRawString("x&amp;y");
  EXPECT_EQ(item.AsRawString(), "x&amp;y");
  EXPECT_EQ(item.AsString(), "x&y");
}

TEST(Escaping, UnescapesEachEntityOnceAndIgnoresCase) {
  const struct {
    const char* stored;
    const char* plain;
  } cases[] = {
      {"&AMP;lt;", "&lt;"},  // "&lt;" pass runs before "&amp;" is undone
      {"&LT;&Gt;&QUOT;&apos;", "<>\"'"},
      {"&amp;amp;", "&amp;"},
      {"&unknown; & plain", "&unknown; & plain"},
  };
  for (const auto& c : cases) {
    TRpcCustomItem item;
    item.SetAsRawString(c.stored);
    EXPECT_EQ(item.AsString(), c.plain) << c.stored;
  }
}

TEST(Kinds, GettersOfAnotherKindThrowWithFixedMessages) {
  TRpcResult item;
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { (void)item.AsRawString(); }, "Item is not a string type"},
      {[&] { (void)item.AsString(); }, "Item is not a string type"},
      {[&] { (void)item.AsInteger(); }, "Item is not a integer type"},
      {[&] { (void)item.AsFloat(); }, "Item is not a double type"},
      {[&] { (void)item.AsBoolean(); }, "Item is not a boolean type"},
      {[&] { (void)item.AsDateTime(); }, "Item is not a date type"},
      {[&] { (void)item.AsBase64Str(); }, "Item is not a base64 type"},
      {[&] { (void)item.AsBase64Raw(); }, "Item is not a base64 type"},
      {[&] { (void)item.AsArray(); }, "Item is not a array type"},
      {[&] { (void)item.AsStruct(); }, "Item is not a struct type"},
      {[&] { (void)item.ErrorCode(); }, "Item is not an error type"},
      {[&] { (void)item.ErrorMsg(); }, "Item is not an error type"},
  };
  for (const auto& [call, message] : cases) {
    EXPECT_THROW(call(), EXmlRpcError);
    EXPECT_EQ(ErrorOf(call), message);
  }
  EXPECT_EQ(item.DataType(), rdtNone);
}

TEST(Kinds, CodesAreFixed) {
  EXPECT_EQ(static_cast<int>(rdtDouble), 0);
  EXPECT_EQ(static_cast<int>(rdtString), 2);
  EXPECT_EQ(static_cast<int>(rdtArray), 7);
  EXPECT_EQ(static_cast<int>(rdtNone), 9);
}

TEST(Kinds, SetterClearsThePreviousValueAndReleasesContainers) {
  auto s = std::make_shared<TRpcStruct>();
  TRpcCustomItem item;
  item.SetAsStruct(s);
  EXPECT_EQ(s.use_count(), 2);
  item.SetAsInteger(7);
  EXPECT_EQ(s.use_count(), 1);
  EXPECT_TRUE(item.IsInteger());
  EXPECT_THROW((void)item.AsStruct(), EXmlRpcError);
  item.SetAsBase64Raw("QUJD");
  EXPECT_THROW((void)item.AsInteger(), EXmlRpcError);
  EXPECT_EQ(item.AsBase64Str(), "ABC");
  item.Clear();
  EXPECT_EQ(item.DataType(), rdtNone);
}

TEST(Doubles, WrittenInShortestFormWithPointAndE) {
  const std::pair<double, const char*> cases[] = {
      {0.5, "0.5"},
      {100, "100"},
      {1e20, "1E20"},
      {1.5e20, "1.5E20"},
      {-2.25, "-2.25"},
      {0, "0"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {123456789012345.0, "123456789012345"},
      {999999999999999.0, "999999999999999"},
      {1e15, "1E15"},
      {1234567890123456.0, "1.23456789012346E15"},
      {0.00001, "0.00001"},
      {0.000012345, "0.000012345"},
      {0.000001, "1E-6"},
      {-1.25e-10, "-1.25E-10"},
      {3.14159265358979, "3.14159265358979"},
      {0.1 + 0.2, "0.3"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(DoubleToText(value), text) << value;
}

TEST(Doubles, WritingIgnoresACommaLocale) {
  const char* previous = std::setlocale(LC_ALL, nullptr);
  std::string saved = previous ? previous : "C";
  const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "ru_RU.UTF-8", "ru_RU.utf8", "fr_FR.UTF-8"};
  bool switched = false;
  for (const char* name : names) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      switched = true;
      break;
    }
  }
  if (!switched || std::string(std::localeconv()->decimal_point) != ",") {
    std::setlocale(LC_ALL, saved.c_str());
    GTEST_SKIP() << "no locale with a decimal comma installed";
  }
  EXPECT_EQ(DoubleToText(0.5), "0.5");
  EXPECT_EQ(DoubleToText(1e20), "1E20");
  EXPECT_DOUBLE_EQ(TextToDouble("0.5"), 0.5);
  EXPECT_DOUBLE_EQ(TextToDouble("0,5"), 0.5);
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(Doubles, ReadWithPointOrComma) {
  EXPECT_DOUBLE_EQ(TextToDouble("0.5"), 0.5);
  EXPECT_DOUBLE_EQ(TextToDouble("0,5"), 0.5);
  EXPECT_DOUBLE_EQ(TextToDouble("-1,5E3"), -1500);
  EXPECT_DOUBLE_EQ(TextToDouble("1E20"), 1e20);
  EXPECT_EQ(ErrorOf([] { TextToDouble("1.2.3"); }), "'1.2.3' is not a valid floating point value");
  EXPECT_THROW(TextToDouble("abc"), ConversionError);
}

TEST(Booleans, ReadFromIntegerOrWords) {
  EXPECT_TRUE(TextToBoolean("1"));
  EXPECT_FALSE(TextToBoolean("0"));
  EXPECT_TRUE(TextToBoolean("-5"));
  EXPECT_TRUE(TextToBoolean("TRUE"));
  EXPECT_FALSE(TextToBoolean("False"));
  EXPECT_EQ(ErrorOf([] { TextToBoolean("yes"); }), "'yes' is not a valid boolean value");
}

TEST(Dates, WrittenAndReadByPosition) {
  EXPECT_EQ(DateTimeToText({2024, 1, 31, 13, 5, 9}), "20240131T13:05:09");
  EXPECT_EQ(DateTimeToText({987, 12, 1, 0, 0, 0}), "09871201T00:00:00");
  const TRpcDateTime expected{2024, 1, 31, 13, 5, 9};
  EXPECT_EQ(TextToDateTime("20240131T13:05:09"), expected);
  EXPECT_EQ(TextToDateTime("20240131 13-05-09"), expected);  // separators are not looked at
  EXPECT_EQ(TextToDateTime("20240131T13:05:09.750Z"), expected);
  EXPECT_EQ(TextToDateTime("20240229T23:59:59"), (TRpcDateTime{2024, 2, 29, 23, 59, 59}));

  const char* bad[] = {"20240131T13:05:0", "2024-01-31T13:05:09", "20230229T00:00:00", "20241301T00:00:00",
                       "20240100T00:00:00", "20240131T24:00:00", "20240131T13:60:00", "00000101T00:00:00",
                       "2024013xT13:05:09", ""};
  for (const char* text : bad) {
    EXPECT_THROW(TextToDateTime(text), ConversionError) << text;
  }
  EXPECT_EQ(ErrorOf([] { TextToDateTime("2024"); }), "'2024' is not a valid date and time");
}

TEST(Base64, EncodesIn76CharacterLines) {
  TRpcCustomItem item;
  item.SetAsBase64Str(std::string(57, 'x'));
  EXPECT_EQ(item.AsBase64Raw().size(), 76u);
  EXPECT_EQ(item.AsBase64Raw().find('\r'), std::string::npos);

  item.SetAsBase64Str(std::string(58, 'x'));
  const std::string& text = item.AsBase64Raw();
  ASSERT_EQ(text.size(), 76u + 2 + 4);
  EXPECT_EQ(text.substr(76, 2), "\r\n");
  EXPECT_EQ(text.substr(78), "eA==");
  EXPECT_EQ(item.AsBase64Str(), std::string(58, 'x'));

  const std::string binary("\0\xFF\x10 z", 5);
  item.SetAsBase64Str(binary);
  EXPECT_EQ(item.AsBase64Str(), binary);
  item.SetAsBase64Str("");
  EXPECT_EQ(item.AsBase64Raw(), "");
  item.SetAsBase64Raw(" QU\r\nJD=");  // decoding skips what is not in the alphabet
  EXPECT_EQ(item.AsBase64Str(), "ABC");
}

TEST(Base64, StreamsAndFilesCarryTheDecodedBytes) {
  const std::string bytes("file\0bytes\xC0", 11);
  std::istringstream in(bytes);
  in.get();  // loading reads from the start whatever was consumed
  TRpcCustomItem item;
  item.LoadFromStream(in);
  EXPECT_EQ(item.AsBase64Str(), bytes);
  std::ostringstream out;
  item.SaveToStream(out);
  EXPECT_EQ(out.str(), bytes);

  const auto path = std::filesystem::temp_directory_path() / ("h2_item_" + std::to_string(::getpid()));
  item.SaveToFile(path.string());
  TRpcArray array;
  array.AddItemBase64File(path.string());
  std::filesystem::remove(path);
  EXPECT_EQ(array.Items(0).AsBase64Str(), bytes);
  EXPECT_THROW(array.AddItemBase64File(path.string()), EXmlRpcError);
  EXPECT_EQ(array.Count(), 1);
}

TEST(Struct, NamesIgnoreCaseKeepDuplicatesAndOrder) {
  TRpcStruct s;
  s.AddItem("A", 1);
  s.AddItem("b", "text");
  s.AddItem("a", 2);
  s.AddItem("\xC0\xE1", true);  // Cyrillic "Аб"
  EXPECT_EQ(s.Count(), 4);
  EXPECT_EQ(s.KeyList(), (std::vector<std::string>{"A", "b", "a", "\xC0\xE1"}));
  EXPECT_EQ(s.Keys("a").AsInteger(), 1);
  EXPECT_EQ(s.IndexOf("B"), 1);
  EXPECT_EQ(s.IndexOf("\xE0\xC1"), 3);
  EXPECT_EQ(s.IndexOf("c"), -1);
  EXPECT_FALSE(s.KeyExists("c"));
  EXPECT_THROW(s.Keys("c"), RangeError);
  EXPECT_EQ(ErrorOf([&] { s.Keys("c"); }), "List index out of bounds (-1)");

  s.Delete("a");  // the first of the two
  EXPECT_EQ(s.Keys("A").AsInteger(), 2);
  TRpcCustomItem replacement;
  replacement.SetAsString("new");
  s.SetKeys("B", replacement);
  EXPECT_EQ(s.Items(0).AsString(), "new");
  EXPECT_THROW(s.Delete(9), RangeError);
}

TEST(Array, IndexesAreCheckedAndItemsOwned) {
  TRpcArray a;
  a.AddItem("x");
  a.AddItem(std::int32_t{5});
  a.AddItem(2.5);
  a.AddItem(false);
  a.AddItemDateTime({2024, 1, 31, 13, 5, 9});
  EXPECT_EQ(a.Count(), 5);
  EXPECT_TRUE(a.Items(0).IsString());
  EXPECT_TRUE(a.Items(3).IsBoolean());
  EXPECT_EQ(ErrorOf([&] { a.Items(5); }), "List index out of bounds (5)");
  EXPECT_THROW(a.Delete(-1), RangeError);
  a.Delete(0);
  EXPECT_EQ(a.Items(0).AsInteger(), 5);
  a.Clear();
  EXPECT_EQ(a.Count(), 0);
}

TEST(Containers, AreSharedByReference) {
  auto inner = std::make_shared<TRpcArray>();
  TRpcStruct s;
  s.AddItem("list", inner);
  inner->AddItem(std::int32_t{1});  // added after sharing: visible through the struct
  EXPECT_EQ(s.Keys("list").AsArray()->Count(), 1);
  EXPECT_EQ(s.Keys("list").AsArray().get(), inner.get());
}

TEST(LoadRawData, ConvertsByKindCode) {
  TRpcArray a;
  a.LoadRawData(rdtDouble, "1.5");
  a.LoadRawData(rdtInteger, "-12");
  a.LoadRawData(rdtString, "a<b");
  a.LoadRawData(rdtBoolean, "true");
  a.LoadRawData(rdtDateTime, "20240131T13:05:09");
  a.LoadRawData(rdtBase64, "QUJD");
  EXPECT_DOUBLE_EQ(a.Items(0).AsFloat(), 1.5);
  EXPECT_EQ(a.Items(1).AsInteger(), -12);
  EXPECT_EQ(a.Items(2).AsRawString(), "a&lt;b");
  EXPECT_TRUE(a.Items(3).AsBoolean());
  EXPECT_EQ(a.Items(4).AsDateTime(), (TRpcDateTime{2024, 1, 31, 13, 5, 9}));
  EXPECT_EQ(a.Items(5).AsBase64Raw(), "QUJD");

  EXPECT_THROW(a.LoadRawData(rdtInteger, "7x"), ConversionError);
  EXPECT_THROW(a.LoadRawData(rdtStruct, ""), EXmlRpcError);
  EXPECT_EQ(a.Count(), 6);

  TRpcStruct s;
  s.LoadRawData(rdtDouble, "p", "2.5");
  s.LoadRawData(rdtDouble, "c", "2,5");
  EXPECT_DOUBLE_EQ(s.Keys("p").AsFloat(), 2.5);
  EXPECT_DOUBLE_EQ(s.Keys("c").AsFloat(), 2.5);
  EXPECT_THROW(s.LoadRawData(rdtBoolean, "x", "maybe"), ConversionError);
  EXPECT_EQ(s.Count(), 2);
}

TEST(Result, FaultStructBecomesAnError) {
  auto fault = std::make_shared<TRpcStruct>();
  fault->AddItem("FAULTCODE", std::int32_t{5});
  fault->AddItem("faultString", "bad <thing>");
  TRpcResult r;
  r.SetAsStruct(fault);
  EXPECT_TRUE(r.IsError());
  EXPECT_EQ(r.ErrorCode(), 5);
  EXPECT_EQ(r.ErrorMsg(), "bad <thing>");
  EXPECT_EQ(fault.use_count(), 1);  // released

  auto plain = std::make_shared<TRpcStruct>();
  plain->AddItem("faultString", "only");
  r.SetAsStruct(plain);
  EXPECT_TRUE(r.IsStruct());

  // A plain item takes any struct as it is.
  TRpcCustomItem item;
  auto again = std::make_shared<TRpcStruct>();
  again->AddItem("faultCode", std::int32_t{1});
  item.SetAsStruct(again);
  EXPECT_TRUE(item.IsStruct());

  r.SetError(7, "seven");
  EXPECT_EQ(r.ErrorCode(), 7);
  r.SetAsInteger(1);
  EXPECT_THROW((void)r.ErrorCode(), EXmlRpcError);
}

TEST(Assign, DeepCopiesEverything) {
  auto inner = std::make_shared<TRpcStruct>();
  inner->AddItem("s", "a&b");
  inner->AddItemBase64Raw("b", "QUJD");
  auto list = std::make_shared<TRpcArray>();
  list->AddItem(inner);
  list->AddItem(1.25);
  TRpcCustomItem source;
  source.SetAsArray(list);

  TRpcCustomItem copy;
  copy.Assign(source);
  ASSERT_TRUE(copy.IsArray());
  EXPECT_NE(copy.AsArray().get(), list.get());
  const std::string before = copy.AsArray()->GetAsXML();
  inner->AddItem("later", std::int32_t{1});
  list->AddItem(false);
  EXPECT_EQ(copy.AsArray()->GetAsXML(), before);
  EXPECT_EQ(copy.AsArray()->Items(0).AsStruct()->Keys("s").AsRawString(), "a&amp;b");
  EXPECT_EQ(copy.AsArray()->Items(0).AsStruct()->Count(), 2);
}

TEST(Assign, RefusesEmptyAndErrorValues) {
  TRpcCustomItem none;
  TRpcCustomItem target;
  EXPECT_EQ(ErrorOf([&] { target.Assign(none); }), "unknown data type in TRpcCustomItem.Assign");

  TRpcArray with_none;
  with_none.AddItem(std::int32_t{1});
  with_none.SetItems(0, TRpcCustomItem());
  TRpcArray array_target;
  EXPECT_EQ(ErrorOf([&] { array_target.Assign(with_none); }), "unknown data type in TRpcCustomArray.Assign");

  TRpcResult error;
  error.SetError(1, "x");
  TRpcArray with_error;
  with_error.AddItem(std::int32_t{1});
  with_error.SetItems(0, error);
  EXPECT_EQ(ErrorOf([&] { array_target.Assign(with_error); }), "unknown data type in TRpcCustomArray.Assign");

  TRpcStruct s;
  s.AddItem("empty");
  TRpcStruct struct_target;
  EXPECT_EQ(ErrorOf([&] { struct_target.Assign(s); }), "unknown data type in TRpcStruct.Assign");
}

TEST(Function, ClearAndSetErrorDropValues) {
  TRpcFunction f;
  f.SetObjectMethod("Foo");
  f.AddItem(std::int32_t{1});
  f.SetError(3, "oops");
  EXPECT_EQ(f.Count(), 0);
  EXPECT_EQ(f.ErrorCode(), 3);
  EXPECT_EQ(f.ErrorMsg(), "oops");
  EXPECT_EQ(f.ObjectMethod(), "");
  f.SetObjectMethod("Bar");
  f.Clear();
  EXPECT_EQ(f.ErrorCode(), 0);
  EXPECT_EQ(f.ObjectMethod(), "");
}

}  // namespace
}  // namespace kavor2::xmlrpc
