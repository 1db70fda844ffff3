#include "xmlrpc/client_http_framing.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "xmlrpc/client_error_codes.h"

namespace kavor2::xmlrpc {
namespace {

struct HeadCase {
  const char* name;
  std::vector<std::string> lines;
  bool complete;                       // after all lines
  std::optional<std::int64_t> length;  // ContentLength(), when it is checked
  bool usable;
};

TEST(ResponseHeadTest, LinesAreReadByTheirFixedRules) {
  const std::vector<HeadCase> cases = {
      {"plain head", {"HTTP/1.1 200 OK", "Content-Length: 42", ""}, true, 42, true},
      {"interim response skipped", {"HTTP/1.1 100 Continue", "", "HTTP/1.1 200 OK", "Content-Length: 7", ""}, true, 7, true},
      {"100 continue in any case", {"HTTP/1.1 100 CONTINUE", ""}, false, -1, false},
      {"empty lines before the head", {"", "", "HTTP/1.1 200 OK", ""}, true, -1, false},
      {"length mark in any case", {"HTTP/1.1 200 OK", "content-length:   9", ""}, true, 9, true},
      {"length taken by position", {"X-Content-Length: 5"}, false, -1, false},
      {"not a number", {"Content-Length: 12a"}, false, -1, false},
      {"zero", {"Content-Length: 0"}, false, 0, false},
      {"negative", {"Content-Length: -3"}, false, -3, false},
      {"upper bound", {"Content-Length: 65536"}, false, 65536, true},
      {"past the upper bound", {"Content-Length: 65537"}, false, 65537, false},
      {"900 MB", {"Content-Length: 900000000"}, false, std::nullopt, false},
      {"huge number stays out of range", {"Content-Length: 99999999999999999999999"}, false, std::nullopt, false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    TResponseHead head;
    for (const auto& line : tc.lines) head.Feed(line);
    EXPECT_EQ(head.Complete(), tc.complete);
    if (tc.length) {
      EXPECT_EQ(head.ContentLength(), *tc.length);
    }
    EXPECT_EQ(head.HasUsableLength(), tc.usable);
  }
}

TEST(ResponseHeadTest, DigestAndLinesAfterTheHead) {
  TResponseHead head;
  EXPECT_FALSE(head.Feed("HTTP/1.1 200 OK"));
  EXPECT_FALSE(head.Feed("Content-MD5: rL0Y20zC+Fzt72VPzMSk2A=="));
  EXPECT_TRUE(head.Feed(""));
  EXPECT_TRUE(head.Feed("Content-Length: 5"));  // after the head: ignored
  EXPECT_EQ(head.ServerDigest(), "rL0Y20zC+Fzt72VPzMSk2A==");
  EXPECT_EQ(head.ContentLength(), -1);
  EXPECT_EQ(head.LinesFed(), 3);
}

TEST(DottedIpv4Test, FourDecimalNumbersUpTo255) {
  struct Case {
    const char* text;
    bool dotted;
  };
  const Case cases[] = {
      {"127.0.0.1", true},       {"255.255.255.255", true}, {"0.0.0.0", true},       {"256.0.0.1", false},
      {"1.2.3", false},          {"1.2.3.4.5", false},      {"1.2.3.", false},       {".1.2.3", false},
      {"localhost", false},      {"1.2.3.4a", false},       {"", false},             {"1..2.3", false},
      {"0001.2.3.4", false},     {"10.0.0.1 ", false},      {"192.168.100.200", true},
  };
  for (const auto& c : cases) EXPECT_EQ(IsDottedIpv4(c.text), c.dotted) << c.text;
}

TEST(PostRequestTest, BuiltByteForByte) {
  EXPECT_EQ(BuildPostRequest("/cb", "10.1.2.3", "abc"),
            "POST /cb HTTP/1.1\r\n"
            "User-Agent: TCP-RPC-XML client\r\n"
            "Host: 10.1.2.3\r\n"
            "Content-Type: text/xml\r\n"
            "Content-Length: 3\r\n"
            "Content-MD5: kAFQmDzST7DWlj99KOF/cg==\r\n"
            "\r\n"
            "abc");
}

TEST(TrimTrailingWhitespaceTest, RemovesControlCharactersAndSpacesAtTheEnd) {
  EXPECT_EQ(TrimTrailingWhitespace("<x/> \r\n\t\r\n"), "<x/>");
  EXPECT_EQ(TrimTrailingWhitespace("  a b  "), "  a b");
  EXPECT_EQ(TrimTrailingWhitespace(" \r\n"), "");
  EXPECT_EQ(TrimTrailingWhitespace("\xC0\xFF"), "\xC0\xFF");  // Windows-1251 letters stay
}

TEST(SocketErrorNumberTest, ErrnoBecomesTheWinsockNumber) {
  struct Case {
    int err;
    std::int32_t number;
  };
  const Case cases[] = {{ECONNRESET, 10054}, {EPIPE, 10054},        {ECONNABORTED, 10053}, {ETIMEDOUT, 10060},
                        {ECONNREFUSED, 10061}, {EHOSTUNREACH, 10065}, {ENETUNREACH, 10051}, {EFAULT, 10014},
                        {EMFILE, EMFILE}};
  for (const auto& c : cases) EXPECT_EQ(SocketErrorNumber(c.err), c.number) << c.err;
  EXPECT_EQ(SocketErrorNumber(platform::IoResult::Timeout()), kWsaETimedOut);
  EXPECT_EQ(SocketErrorNumber(platform::IoResult::Error(ECONNRESET)), kWsaEConnReset);
  EXPECT_EQ(SocketErrorNumber(platform::IoResult::Closed()), 0);
}

}  // namespace
}  // namespace kavor2::xmlrpc
