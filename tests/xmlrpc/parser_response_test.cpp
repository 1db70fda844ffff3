// The response parser: methodResponse documents and the result they yield.
#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"
#include "xmlrpc/rpc_parsers.h"

namespace kavor2::xmlrpc {
namespace {

std::string Response(const std::string& value) {
  return "<?xml version=\"1.0\" encoding=\"Windows-1251\" ?><methodResponse><params><param><value>" + value +
         "</value></param></params></methodResponse>";
}

TRpcResult Parse(const std::string& doc, bool empty_forms = true) {
  TRpcClientParser p(empty_forms);
  p.Parse(doc);
  return p.Result();
}

TEST(ResponseParser, ReadsTopLevelScalars) {
  EXPECT_EQ(Parse(Response("<string>a&amp;lt;b</string>")).AsRawString(), "a&lt;b");  // not escaped
  EXPECT_EQ(Parse(Response("plain")).AsRawString(), "plain");
  EXPECT_EQ(Parse(Response("<i4>7</i4>")).AsInteger(), 7);
  EXPECT_EQ(Parse(Response("<INT>-7</INT>")).AsInteger(), -7);
  EXPECT_DOUBLE_EQ(Parse(Response("<double>0.5</double>")).AsFloat(), 0.5);
  EXPECT_TRUE(Parse(Response("<boolean>1</boolean>")).AsBoolean());
  EXPECT_EQ(Parse(Response("<base64>QUJD</base64>")).AsBase64Str(), "ABC");
  EXPECT_EQ(Parse(Response("<dateTime.iso8601>20240131T13:05:09</dateTime.iso8601>")).AsDateTime(),
            (TRpcDateTime{2024, 1, 31, 13, 5, 9}));
  // A later top-level value replaces an earlier one.
  EXPECT_EQ(Parse(Response("<int>1</int></value><value><int>2</int>")).AsInteger(), 2);
}

TEST(ResponseParser, FaultDocumentGivesAnErrorResult) {
  TRpcFunction f;
  f.SetError(1002, "Checksum MD5 error of client request \r\nShould be: A contains: B\r\n");
  TRpcResult r = Parse(f.GetResponseXML());
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.ErrorCode(), 1002);
  EXPECT_EQ(r.ErrorMsg(), "Checksum MD5 error of client request \r\nShould be: A contains: B\r\n");
}

TEST(ResponseParser, PayloadWithoutXmlIsError601) {
  for (const char* text : {"", "HTTP/1.1 500 Internal", "<methodResponse/>"}) {
    TRpcResult r = Parse(text);
    ASSERT_TRUE(r.IsError()) << text;
    EXPECT_EQ(r.ErrorCode(), 601);
    EXPECT_EQ(r.ErrorMsg(), "Invalid payload received from xml-rpc server");
  }
  // "xml" in any letter case is enough.
  EXPECT_EQ(Parse("<Xml/><value><int>3</int></value>").AsInteger(), 3);
}

TEST(ResponseParser, TextIsNotTrimmedAndInt4IsUnknown) {
  EXPECT_THROW(Parse(Response("<i4> 7 </i4>")), platform::ConversionError);
  EXPECT_THROW(Parse(Response("<struct><member><name>n</name><value><i4> 7 </i4></value></member></struct>")),
               platform::ConversionError);
  EXPECT_EQ(Parse(Response("<int4>5</int4>")).DataType(), rdtNone);
  TRpcResult r = Parse(Response("<struct><member><name>a</name><value><int4>5</int4></value></member>"
                                "<member><name>b</name><value><int>6</int></value></member></struct>"));
  // The INT4 member is skipped; its name is still on the name stack, so the
  // next member takes the newest name.
  EXPECT_EQ(r.AsStruct()->KeyList(), (std::vector<std::string>{"b"}));
  EXPECT_EQ(r.AsStruct()->Keys("b").AsInteger(), 6);
}

TEST(ResponseParser, EmptyFormsOnlyWhenAsked) {
  EXPECT_EQ(Parse(Response("<string></string>"), true).AsRawString(), "");
  EXPECT_EQ(Parse(Response("<string></string>"), false).DataType(), rdtNone);
  EXPECT_EQ(Parse(Response(""), true).AsRawString(), "");
  EXPECT_EQ(Parse(Response("<string>[NULL]</string>"), false).AsRawString(), "");
  EXPECT_EQ(Parse(Response("<string>   </string>"), true).DataType(), rdtNone);
}

TEST(ResponseParser, NestedContainersAttachAtTheirEndWithPairedNames) {
  TRpcResult r = Parse(Response(
      "<struct>"
      "<member><name>outer</name><value><struct>"
      "<member><name>deep</name><value><struct><member><name>z</name><value><int>1</int></value></member>"
      "</struct></value></member>"
      "<member><name>y</name><value><string>s</string></value></member>"
      "</struct></value></member>"
      "<member><name>list</name><value><array><data>"
      "<value><struct><member><name>k</name><value><double>2,5</double></value></member></struct></value>"
      "<value><array><data><value><boolean>0</boolean></value></data></array></value>"
      "<value>x</value>"
      "</data></array></value></member>"
      "<member><name>after</name><value><int>3</int></value></member>"
      "</struct>"));
  const TRpcStruct& s = *r.AsStruct();
  EXPECT_EQ(s.KeyList(), (std::vector<std::string>{"outer", "list", "after"}));
  const TRpcStruct& outer = *s.Keys("outer").AsStruct();
  EXPECT_EQ(outer.KeyList(), (std::vector<std::string>{"deep", "y"}));
  EXPECT_EQ(outer.Keys("deep").AsStruct()->Keys("z").AsInteger(), 1);
  const TRpcArray& list = *s.Keys("list").AsArray();
  ASSERT_EQ(list.Count(), 3);
  EXPECT_DOUBLE_EQ(list.Items(0).AsStruct()->Keys("k").AsFloat(), 2.5);
  EXPECT_FALSE(list.Items(1).AsArray()->Items(0).AsBoolean());
  EXPECT_EQ(list.Items(2).AsString(), "x");
  EXPECT_EQ(s.Keys("after").AsInteger(), 3);
}

TEST(ResponseParser, UnbalancedEndings) {
  // "</struct>" closes an array.
  TRpcResult r = Parse(Response("<array><data><value><int>1</int></value></data></struct>"));
  EXPECT_EQ(r.AsArray()->Items(0).AsInteger(), 1);

  // "</params>" hands out a struct that was never closed ...
  r = Parse("<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>"
            "<member><name>a</name><value><int>1</int></value></member></param></params></methodResponse>");
  EXPECT_EQ(r.AsStruct()->Keys("a").AsInteger(), 1);
  // ... and an unclosed array below it wins over it.
  r = Parse("<?xml version=\"1.0\"?><params><array><data><value><struct>"
            "<member><name>a</name><value><int>1</int></value></member></params>");
  EXPECT_TRUE(r.IsArray());
  EXPECT_EQ(r.AsArray()->Count(), 0);

  // A fault struct left open at "</params>" is still detected.
  r = Parse("<?xml version=\"1.0\"?><params><struct><member><name>faultCode</name><value><int>5</int></value>"
            "</member></params>");
  EXPECT_TRUE(r.IsError());
  EXPECT_EQ(r.ErrorCode(), 5);
  EXPECT_EQ(r.ErrorMsg(), "");
}

TEST(ResponseParser, EveryParseStartsAfresh) {
  TRpcClientParser p(true);
  p.Parse("garbage");
  EXPECT_TRUE(p.Result().IsError());
  EXPECT_THROW(p.Parse(Response("<struct><member><name>n</name><value><int>q</int></value></member></struct>")),
               platform::ConversionError);
  p.Parse(Response("<struct><member><name>m</name><value><int>1</int></value></member></struct>"));
  EXPECT_EQ(p.Result().AsStruct()->KeyList(), (std::vector<std::string>{"m"}));
}

TEST(ResponseParser, Encodings) {
  const std::string text_1251 = "\xCF\xF0\xE8";
  EXPECT_EQ(Parse(Response("<string>" + text_1251 + "</string>")).AsRawString(), text_1251);
  EXPECT_EQ(Parse("<?xml version=\"1.0\"?><methodResponse><params><param><value><string>" + text_1251 +
                  "&#1055;</string></value></param></params></methodResponse>")
                .AsRawString(),
            "\xBF\xBF\xBF\xBF");
}

}  // namespace
}  // namespace kavor2::xmlrpc
