// The call parser: methodCall documents and the parameters they yield.
#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"
#include "xmlrpc/rpc_parsers.h"

namespace kavor2::xmlrpc {
namespace {

std::string Call(const std::string& params, const std::string& prologue = "<?xml version=\"1.0\"?>") {
  return prologue + "<methodCall><methodName>M</methodName><params>" + params + "</params></methodCall>";
}

std::string Param(const std::string& value) { return "<param><value>" + value + "</value></param>"; }

TRpcParams ParseParams(const std::string& doc) {
  TRpcServerParser p;
  p.Parse(doc);
  return p.TakeParams();
}

TEST(CallParser, ReadsMethodNameAndScalarParameters) {
  TRpcServerParser p;
  p.Parse("<?xml version=\"1.0\"?>\r\n<methodCall>\r\n  <methodName> Foo </methodName>\r\n<params>" +
          Param("<i4> 7 </i4>") + Param("<int>-3</int>") + Param("<INT4>5</INT4>") + Param("<string>a b</string>") +
          Param("<double> 2,5 </double>") + Param("<boolean> 1 </boolean>") +
          Param("<dateTime.iso8601>20240131T13:05:09</dateTime.iso8601>") + Param("<base64>QUJD\r\n</base64>") +
          "</params></methodCall>");
  EXPECT_EQ(p.MethodName(), " Foo ");
  const TRpcParams& params = p.Params();
  ASSERT_EQ(params.size(), 8u);
  EXPECT_EQ(params[0].AsInteger(), 7);
  EXPECT_EQ(params[1].AsInteger(), -3);
  EXPECT_EQ(params[2].AsInteger(), 5);
  EXPECT_EQ(params[3].AsString(), "a b");
  EXPECT_DOUBLE_EQ(params[4].AsFloat(), 2.5);
  EXPECT_TRUE(params[5].AsBoolean());
  EXPECT_EQ(params[6].AsDateTime(), (TRpcDateTime{2024, 1, 31, 13, 5, 9}));
  EXPECT_EQ(params[7].AsBase64Raw(), "QUJD\r\n");
  EXPECT_EQ(params[7].AsBase64Str(), "ABC");
}

TEST(CallParser, StringQuirks) {
  const struct {
    const char* value;
    TRpcDataType kind;
    const char* raw;
  } cases[] = {
      {"abc", rdtString, "abc"},                     // untyped value
      {"<string></string>", rdtString, ""},          // empty forms
      {"<STRING></Nil></STRING>", rdtString, ""},
      {"<string> </string>", rdtString, ""},
      {"", rdtString, ""},                           // <value></value>
      {"</null>", rdtString, ""},
      {"<string>   </string>", rdtNone, ""},         // whitespace only: no value
      {"<string>[NULL]</string>", rdtString, ""},
      {"<string> [NULL] </string>", rdtString, " [NULL] "},
      {"<string>a&amp;lt;b</string>", rdtString, "a&lt;b"},  // stored as received
      {"<sTrInG> x </sTrInG>", rdtString, " x "},
  };
  for (const auto& c : cases) {
    TRpcParams params = ParseParams(Call(Param(c.value)));
    ASSERT_EQ(params.size(), 1u) << c.value;
    EXPECT_EQ(params[0].DataType(), c.kind) << c.value;
    if (c.kind == rdtString) {
      EXPECT_EQ(params[0].AsRawString(), c.raw) << c.value;
    }
  }
}

TEST(CallParser, StructsAndArraysWithNestedContainers) {
  const std::string doc = Call(Param(
      "<struct>"
      "<member><name>id</name><value><i4> 7 </i4></value></member>"
      "<member><name>text</name><value><string>a&lt;b</string></value></member>"
      "<member><name>n4</name><value><int4>5</int4></value></member>"
      "<member><name>rate</name><value><double>1.5</double></value></member>"
      "<member><name>list</name><value><array><data>"
      "<value><int4>5</int4></value><value>plain</value>"
      "<value><struct><member><name>k</name><value><boolean>true</boolean></value></member></struct></value>"
      "<value><array><data><value><int>9</int></value></data></array></value>"
      "</data></array></value></member>"
      "<member><name>inner</name><value><struct><member><name>x</name><value><int>1</int></value></member>"
      "</struct></value></member>"
      "<member><name>last</name><value><int>2</int></value></member>"
      "</struct>"));
  TRpcParams params = ParseParams(doc);
  ASSERT_EQ(params.size(), 1u);
  const TRpcStruct& s = *params[0].AsStruct();
  EXPECT_EQ(s.KeyList(), (std::vector<std::string>{"id", "text", "n4", "rate", "list", "inner", "last"}));
  EXPECT_EQ(s.Keys("id").AsInteger(), 7);
  EXPECT_EQ(s.Keys("text").AsRawString(), "a&lt;b");  // members are stored escaped
  EXPECT_EQ(s.Keys("n4").AsInteger(), 5);
  EXPECT_DOUBLE_EQ(s.Keys("rate").AsFloat(), 1.5);
  const TRpcArray& list = *s.Keys("list").AsArray();
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Items(0).AsInteger(), 5);
  EXPECT_EQ(list.Items(1).AsString(), "plain");
  EXPECT_TRUE(list.Items(2).AsStruct()->Keys("k").AsBoolean());
  EXPECT_EQ(list.Items(3).AsArray()->Items(0).AsInteger(), 9);
  EXPECT_EQ(s.Keys("inner").AsStruct()->Keys("x").AsInteger(), 1);
  EXPECT_EQ(s.Keys("last").AsInteger(), 2);
}

TEST(CallParser, FaultStructParameterIsAnError) {
  TRpcParams params = ParseParams(
      Call(Param("<struct><member><name>faultCode</name><value><int>4</int></value></member>"
                 "<member><name>faultString</name><value><string>no</string></value></member></struct>")));
  ASSERT_EQ(params.size(), 1u);
  EXPECT_TRUE(params[0].IsError());
  EXPECT_EQ(params[0].ErrorCode(), 4);
  EXPECT_EQ(params[0].ErrorMsg(), "no");
}

// The call parser attaches a container to the struct around it at its start
// tag, with the name seen last; the response parser pairs names by a stack.
TEST(CallParser, NestedContainerTakesTheLastNameSeen) {
  const std::string body =
      "<struct><member><name>a</name><value><int>1</int></value></member>"
      "<member><value><struct><member><name>x</name><value><int>2</int></value></member></struct></value>"
      "<name>b</name></member></struct>";
  TRpcParams params = ParseParams(Call(Param(body)));
  ASSERT_EQ(params.size(), 1u);
  EXPECT_EQ(params[0].AsStruct()->KeyList(), (std::vector<std::string>{"a", "a"}));

  TRpcClientParser response;
  response.Parse("<?xml version=\"1.0\"?><methodResponse><params><param><value>" + body +
                 "</value></param></params></methodResponse>");
  EXPECT_EQ(response.Result().AsStruct()->KeyList(), (std::vector<std::string>{"a", ""}));
}

TEST(CallParser, UnbalancedDocumentsHandOutWhatIsLeft) {
  // End tags that do not match are ignored; an unclosed container goes out
  // as a parameter holding it.
  TRpcParams params = ParseParams(Call("<param><value><int>1</int></value></param>"
                                       "<param><value><array><data><value><int>2</int></value></struct></data>"));
  ASSERT_EQ(params.size(), 3u);
  EXPECT_EQ(params[0].AsInteger(), 1);
  EXPECT_EQ(params[1].DataType(), rdtNone);
  EXPECT_EQ(params[2].AsArray()->Items(0).AsInteger(), 2);

  EXPECT_TRUE(ParseParams("").empty());
  EXPECT_TRUE(ParseParams("not xml at all").empty());
}

TEST(CallParser, MalformedScalarsRaiseTheConversionText) {
  const std::pair<std::string, std::string> cases[] = {
      {Param("<int>abc</int>"), "'abc' is not a valid integer value"},
      {Param("<int>99999999999</int>"), "'99999999999' is not a valid integer value"},
      {Param("<boolean>maybe</boolean>"), "'maybe' is not a valid boolean value"},
      {Param("<double>1.2.3</double>"), "'1.2.3' is not a valid floating point value"},
      {Param("<dateTime.iso8601>2024</dateTime.iso8601>"), "'2024' is not a valid date and time"},
      {Param("<struct><member><name>n</name><value><int>x1</int></value></member></struct>"),
       "'x1' is not a valid integer value"},
  };
  TRpcServerParser p;
  for (const auto& [params, message] : cases) {
    try {
      p.Parse(Call(Param("<int>1</int>") + params));
      ADD_FAILURE() << "no error for " << params;
    } catch (const platform::ConversionError& e) {
      EXPECT_EQ(e.what(), message);
    }
    EXPECT_TRUE(p.Params().empty());  // nothing of a failed parse is kept
  }
  p.Parse(Call(Param("<int>8</int>")));
  ASSERT_EQ(p.Params().size(), 1u);
  EXPECT_EQ(p.Params()[0].AsInteger(), 8);
}

TEST(CallParser, Encodings) {
  const std::string text_1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";  // "Привет"
  const struct {
    std::string prologue;
    std::string text;
    std::string expected;
  } cases[] = {
      {"<?xml version=\"1.0\" encoding=\"Windows-1251\" ?>", text_1251, text_1251},
      {"", text_1251, std::string(6, '\xBF')},
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>", "\xD0\x9F\xC3\xA9", "\xBF\xE9"},
      {"<?xml version=\"1.0\" encoding=\"Windows-1251\" ?>", "&#1055;&#233;", "\xBF\xE9"},
  };
  for (const auto& c : cases) {
    TRpcParams params = ParseParams(Call(Param("<string>" + c.text + "</string>"), c.prologue));
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0].AsRawString(), c.expected) << c.prologue;
  }
}

TEST(CallParser, LoadRequestXMLReadsWhatGetRequestXMLWrote) {
  auto inner = std::make_shared<TRpcStruct>();
  inner->AddItem("name", "\xCF\xF0\xE8 & <co>");
  inner->AddItem("when", 0.125);
  inner->AddItemDateTime("at", {2024, 1, 31, 13, 5, 9});
  auto list = std::make_shared<TRpcArray>();
  list->AddItem(inner);
  list->AddItem(std::int32_t{-1});
  list->AddItem(true);
  TRpcFunction f;
  f.SetObjectMethod("SendData");
  f.AddItem("{GUID}");
  f.AddItem(std::int32_t{42});
  f.AddItem(1e20);
  f.AddItem(list);
  f.AddItemBase64Str("bytes");
  f.AddItem("");

  TRpcFunction g;
  g.AddItem("old");
  g.LoadRequestXML(f.GetRequestXML());
  EXPECT_EQ(g.ObjectMethod(), "SendData");
  EXPECT_EQ(g.GetRequestXML(), f.GetRequestXML());
}

}  // namespace
}  // namespace kavor2::xmlrpc
