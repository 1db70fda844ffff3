// Hostile documents: deep nesting and entity bombs fail with EXmlRpcError,
// and values of the allowed depth are written, copied and destroyed safely.
#include <gtest/gtest.h>

#include <string>

#include "xmlrpc/rpc_parsers.h"

namespace kavor2::xmlrpc {
namespace {

std::string NestedArrays(int depth) {
  std::string v = "<value><int>1</int></value>";
  std::string open, close;
  for (int i = 0; i < depth; ++i) {
    open += "<value><array><data>";
    close += "</data></array></value>";
  }
  return open + v + close;
}

std::string NestedStructs(int depth) {
  std::string open, close;
  for (int i = 0; i < depth; ++i) {
    open += "<value><struct><member><name>m</name>";
    close += "</member></struct></value>";
  }
  return open + "<value><int>1</int></value>" + close;
}

std::string AsCall(const std::string& value) {
  return "<?xml version=\"1.0\"?><methodCall><methodName>M</methodName><params><param>" + value +
         "</param></params></methodCall>";
}

std::string AsResponse(const std::string& value) {
  return "<?xml version=\"1.0\"?><methodResponse><params><param>" + value + "</param></params></methodResponse>";
}

TEST(Limits, NestingUpToTheCapIsReadWrittenAndCopied) {
  for (const std::string& value : {NestedArrays(kMaxValueNesting), NestedStructs(kMaxValueNesting)}) {
    TRpcFunction f;
    f.LoadRequestXML(AsCall(value));
    ASSERT_EQ(f.Count(), 1);
    const std::string text = f.GetRequestXML();

    TRpcFunction copy;
    copy.Assign(f);
    copy.SetObjectMethod("M");
    EXPECT_EQ(copy.GetRequestXML(), text);

    TRpcClientParser response;
    response.Parse(AsResponse(value));
    EXPECT_TRUE(response.Result().IsArray() || response.Result().IsStruct());
  }
}

TEST(Limits, DeeperNestingIsRefusedByBothParsers) {
  for (int depth : {kMaxValueNesting + 1, 20000}) {
    for (const std::string& value : {NestedArrays(depth), NestedStructs(depth)}) {
      TRpcServerParser call;
      EXPECT_THROW(call.Parse(AsCall(value)), EXmlRpcError);
      EXPECT_TRUE(call.Params().empty());
      TRpcClientParser response;
      EXPECT_THROW(response.Parse(AsResponse(value)), EXmlRpcError);
    }
  }
  // Unclosed containers count too.
  std::string unclosed;
  for (int i = 0; i <= kMaxValueNesting; ++i) unclosed += "<struct></array>";
  TRpcServerParser call;
  EXPECT_THROW(call.Parse(AsCall(unclosed)), EXmlRpcError);
}

TEST(Limits, EntityBombInACallIsAnXmlRpcError) {
  std::string doc = "<?xml version=\"1.0\"?><!DOCTYPE methodCall [<!ENTITY a0 \"ha\">";
  for (int i = 1; i < kMaxEntityDepth; ++i) {
    doc += "<!ENTITY a" + std::to_string(i) + " \"";
    for (int k = 0; k < 16; ++k) doc += "&a" + std::to_string(i - 1) + ";";
    doc += "\">";
  }
  doc += "]><methodCall><methodName>&a" + std::to_string(kMaxEntityDepth - 1) + ";</methodName></methodCall>";
  TRpcServerParser call;
  try {
    call.Parse(doc);
    ADD_FAILURE() << "expansion was not refused";
  } catch (const EXmlRpcError& e) {
    EXPECT_STREQ(e.what(), "Entity expansion exceeds the size limit");
  }
  TRpcClientParser response;
  EXPECT_THROW(response.Parse(doc), EXmlRpcError);
}

}  // namespace
}  // namespace kavor2::xmlrpc
