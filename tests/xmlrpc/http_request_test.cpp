#include "xmlrpc/http_request.h"

#include <gtest/gtest.h>

#include "xmlrpc/http_response.h"

namespace kavor2::xmlrpc {
namespace {

TEST(HttpRequestHead, HeaderMatchingIsBySubstringAndFixedOffsets) {
  struct Case {
    const char* line;
    std::int32_t length;
    std::optional<std::string> md5;
    std::optional<std::string> url;
  };
  const Case cases[] = {
      {"Content-Length: 120", 120, {}, {}},
      {"content-length: 7", 7, {}, {}},
      {"CONTENT-LENGTH:12", 12, {}, {}},
      {"  Content-Length: 9", -1, {}, {}},         // "h: 9" after the first 15
      {"Content-Length: abc", -1, {}, {}},
      {"X-Content-Length: 5", -1, {}, {}},         // "h: 5" after the first 15
      {"Content-MD5: q0bHzfX3Ts7jJ8nxQ0n1vQ==", 0, "Q0BHZFX3TS7JJ8NXQ0N1VQ==", {}},
      {"content-md5: abc", 0, "ABC", {}},
      {"GET /abc HTTP/1.1", 0, {}, "/ABC"},
      {"get /x?y=1 HTTP/1.0", 0, {}, "/X?Y=1"},
      {"GET /nospace", 0, {}, {}},
      {"POST /RPC2 HTTP/1.1", 0, {}, {}},
  };
  for (const Case& c : cases) {
    HttpRequestHead head;
    head.AddLine(c.line);
    EXPECT_EQ(head.ContentLength(), c.length) << c.line;
    EXPECT_EQ(head.ContentMd5(), c.md5) << c.line;
    EXPECT_EQ(head.Url(), c.url) << c.line;
    EXPECT_EQ(head.RawLines(), std::string(c.line) + "\r\n");
  }
}

TEST(HttpResponse, XmlResponseBytes) {
  EXPECT_EQ(BuildXmlResponse("abc"),
            "HTTP/1.1 200 OK\r\n"
            "Connection: Keep-Alive\r\n"
            "Content-Length: 3\r\n"
            "Content-Type: text/xml\r\n"
            "Content-MD5: kAFQmDzST7DWlj99KOF/cg==\r\n"
            "Server:  TerskXMLRPC/1.10 (Windows NT) KAVOR-TERSK v1.10\r\n"
            "\r\n"
            "abc");
}

}  // namespace
}  // namespace kavor2::xmlrpc
