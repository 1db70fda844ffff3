// The exact text of written values and documents.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "xmlrpc/rpc_types.h"

namespace kavor2::xmlrpc {
namespace {

// Each line followed by CR LF, the last one too.
std::string Lines(std::initializer_list<std::string_view> lines) {
  std::string out;
  for (std::string_view line : lines) {
    out += line;
    out += "\r\n";
  }
  return out;
}

TEST(Layout, ArrayOfStringAndBoolean) {
  TRpcArray a;
  a.AddItem("x");
  a.AddItem(true);
  EXPECT_EQ(a.GetAsXML(), Lines({"<value>", "  <array>", "    <data>", "      <value><string>x</string></value>",
                                 "      <value><boolean>1</boolean></value>", "  </data>", "</array>", "</value>"}));
}

TEST(Layout, ArrayWithEveryKindAndNestedBlocks) {
  auto s = std::make_shared<TRpcStruct>();
  s->AddItemBase64Raw("A", "QUJD");
  s->AddItem("E");  // empty member: member element without content
  s->AddItem("n", std::int32_t{1});
  TRpcArray a;
  a.AddItem(std::int32_t{5});
  a.AddItem(0.5);
  a.AddItem(false);
  a.AddItem("a<b");
  a.AddItemDateTime({2024, 1, 31, 13, 5, 9});
  a.AddItemBase64Raw("QUJD");
  a.AddItem(s);
  a.AddItem(std::int32_t{0});
  a.SetItems(a.Count() - 1, TRpcCustomItem());  // an empty element writes no line
  a.AddItem(std::make_shared<TRpcArray>());

  const std::string expected = Lines({
      "<value>",
      "  <array>",
      "    <data>",
      "      <value><int>5</int></value>",
      "      <value><double>0.5</double></value>",
      "      <value><boolean>0</boolean></value>",
      "      <value><string>a&lt;b</string></value>",
      "      <value><dateTime.iso8601>20240131T13:05:09</dateTime.iso8601></value>",
      "      <value><base64>QUJD      </base64></value>",
      "<value>",
      "  <struct>",
      "    <member>",
      "      <name>A</name>",
      "      <value><base64>QUJD</base64></value>",
      "    </member>",
      "    <member>",
      "    </member>",
      "    <member>",
      "      <name>n</name>",
      "      <value><int>1</int></value>",
      "    </member>",
      "  </struct>",
      "</value>",
      "",
      "<value>",
      "  <array>",
      "    <data>",
      "  </data>",
      "</array>",
      "</value>",
      "",
      "  </data>",
      "</array>",
      "</value>",
  });
  EXPECT_EQ(a.GetAsXML(), expected);
}

TEST(Layout, StructMembersInOrderWithNames) {
  TRpcStruct s;
  s.AddItem("Name", "\xCF\xF0\xE8\xE2\xE5\xF2");  // Windows-1251 text is written unchanged
  s.AddItem("Flag", true);
  s.AddItem("Rate", 1e20);
  EXPECT_EQ(s.GetAsXML(), Lines({"<value>", "  <struct>", "    <member>", "      <name>Name</name>",
                                 "      <value><string>\xCF\xF0\xE8\xE2\xE5\xF2</string></value>", "    </member>",
                                 "    <member>", "      <name>Flag</name>", "      <value><boolean>1</boolean></value>",
                                 "    </member>", "    <member>", "      <name>Rate</name>",
                                 "      <value><double>1E20</double></value>", "    </member>", "  </struct>",
                                 "</value>"}));
}

TEST(Layout, RequestWithParameterBlock) {
  auto s = std::make_shared<TRpcStruct>();
  s->AddItem("k", "v");
  TRpcFunction f;
  f.SetObjectMethod("Foo");
  f.AddItem(std::int32_t{-5});
  f.AddItem("a<b");
  f.AddItem(0.5);
  f.AddItem(false);
  f.AddItemDateTime({2024, 1, 31, 13, 5, 9});
  f.AddItemBase64Raw("QUJD");
  f.AddItem(s);
  f.AddItem(true);
  f.SetItems(f.Count() - 1, TRpcCustomItem());

  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"Windows-1251\" ?>\r\n" +
      Lines({"<methodCall>",
             "  <methodName>Foo</methodName>",
             "   <params>",
             "   <param>",
             "<value><int>-5</int></value>",
             "   </param>",
             "   <param>",
             "<value><string>a&lt;b</string></value>",
             "   </param>",
             "   <param>",
             "<value><double>0.5</double></value>",
             "   </param>",
             "   <param>",
             "<value><boolean>0</boolean></value>",
             "   </param>",
             "   <param>",
             "<value><dateTime.iso8601>20240131T13:05:09</dateTime.iso8601></value>",
             "   </param>",
             "   <param>",
             "<value><base64>QUJD</base64></value>",
             "   </param>",
             "   <param>",
             "<value>",
             "  <struct>",
             "    <member>",
             "      <name>k</name>",
             "      <value><string>v</string></value>",
             "    </member>",
             "  </struct>",
             "</value>",
             "",
             "   </param>",
             "   <param>",
             "   </param>",
             "   </params>",
             "</methodCall>"});
  EXPECT_EQ(f.GetRequestXML(), expected);
}

TEST(Layout, ResponseAndFaultDocuments) {
  const std::string declaration = "<?xml version=\"1.0\" encoding=\"Windows-1251\" ?>\r\n";
  TRpcFunction f;
  f.AddItem("ok");
  EXPECT_EQ(f.GetResponseXML(), declaration + Lines({"<methodResponse>", "   <params>", "   <param>",
                                                     "<value><string>ok</string></value>", "   </param>",
                                                     "   </params>", "</methodResponse>"}));

  f.SetError(1000, "Requested method was not registered on the server: X<");
  const std::string fault =
      declaration + Lines({"<methodResponse>",
                           "   <fault>",
                           "      <value>",
                           "        <struct>",
                           "            <member>",
                           "               <name>faultCode</name>",
                           "               <value><int>1000</int></value>",
                           "               </member>",
                           "            <member>",
                           "               <name>faultString</name>",
                           "               <value><string>Requested method was not registered on the server: "
                           "X<</string></value>",
                           "               </member>",
                           "            </struct>",
                           "         </value>",
                           "      </fault>",
                           "   </methodResponse>"});
  EXPECT_EQ(f.GetErrorXML(), fault);
  EXPECT_EQ(f.GetResponseXML(), fault);

  // An error code of 0 or less is an ordinary, empty response.
  f.SetError(0, "ignored");
  EXPECT_EQ(f.GetResponseXML(),
            declaration + Lines({"<methodResponse>", "   <params>", "   </params>", "</methodResponse>"}));
  f.SetError(-3, "ignored");
  EXPECT_EQ(f.GetResponseXML(),
            declaration + Lines({"<methodResponse>", "   <params>", "   </params>", "</methodResponse>"}));
}

}  // namespace
}  // namespace kavor2::xmlrpc
