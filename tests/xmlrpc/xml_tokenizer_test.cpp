// The lenient XML reader: what it skips, what it reports, how text is decoded.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "xmlrpc/rpc_common.h"
#include "xmlrpc/xml_tokenizer.h"

namespace kavor2::xmlrpc {
namespace {

// Records events as "<name", ">name" (end) and "'text".
class Recorder : public XmlEventHandler {
 public:
  void OnStartTag(std::string_view name) override { Add('<', name); }
  void OnEndTag(std::string_view name) override { Add('>', name); }
  void OnText(std::string_view text) override { Add('\'', text); }
  std::vector<std::string> events;

 private:
  void Add(char mark, std::string_view what) {
    std::string event(1, mark);
    event.append(what);
    events.push_back(std::move(event));
  }
};

std::vector<std::string> Events(std::string_view doc) {
  Recorder r;
  XmlTokenizer t;
  t.Run(doc, r);
  return r.events;
}

using V = std::vector<std::string>;

TEST(Tokenizer, SkipsPrologueCommentsAndInstructions) {
  EXPECT_EQ(Events("\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- c <a> -->"
                   "<!DOCTYPE methodCall SYSTEM \"x.dtd\"><a><?pi data?>t<!--x-->u</a>"),
            (V{"'\n", "<a", "'t", "'u", ">a"}));
}

TEST(Tokenizer, CdataAndEmptyElementsProduceNothingAndAttributesAreIgnored) {
  EXPECT_EQ(Events("<value id=\"a>b\" x='1'><![CDATA[<int>5</int>]]><nil/><string >s</ string></value >"),
            (V{"<value", "<string", "'s", ">string", ">value"}));
}

TEST(Tokenizer, ReplacesReferences) {
  const struct {
    const char* doc;
    const char* text;
  } cases[] = {
      {"<a>&lt;&gt;&amp;&apos;&quot;</a>", "<>&'\""},
      {"<a>&LT;&Amp;</a>", "LTAmp"},         // predefined names match exactly
      {"<a>&nbsp;x</a>", "nbspx"},           // unknown entity: its name
      {"<a>&#65;&#x42;&#X43;</a>", "ABC"},   // character references
      {"<a>&#233;&#x20AC;</a>", "\xE9\x80"}, // through Windows-1252
      {"<a>&#1055;</a>", "\xBF"},            // outside Windows-1252
      {"<a>[&#xZZ;][&#;][&#99999999999;][&#0;]</a>", "[ ][ ][ ][ ]"},
      {"<a>a & b &c d;</a>", "a & b &c d;"},  // not references
      {"<a>  two\r\n lines </a>", "  two\r\n lines "},
  };
  for (const auto& c : cases) EXPECT_EQ(Events(c.doc), (V{"<a", std::string("'") + c.text, ">a"})) << c.doc;
}

TEST(Tokenizer, ExpandsEntitiesOfTheInternalSubset) {
  const char* doc =
      "<?xml version=\"1.0\" encoding=\"Windows-1251\"?>"
      "<!DOCTYPE r [\n"
      "  <!-- a comment with ]> inside -->\n"
      "  <!ELEMENT r ANY>\n"
      "  <!ATTLIST r x CDATA \"]>\">\n"
      "  <!ENTITY who \"W&amp;&#65;\">\n"
      "  <!ENTITY hello 'Hi, &who;!'>\n"
      "  <!ENTITY who \"second declaration is ignored\">\n"
      "  <!ENTITY ext SYSTEM \"file:///etc/passwd\">\n"
      "  <!ENTITY % pe \"x\"> %pe;\n"
      "]><r>&hello; &ext;</r>";
  EXPECT_EQ(Events(doc), (V{"<r", "'Hi, W&A! ext", ">r"}));
}

TEST(Tokenizer, EncodingOfTheDeclarationDecidesHowBytesAreRead) {
  const std::string cyrillic_1251 = "\xCF\xF0\xE8";  // "При" in Windows-1251
  const std::string cyrillic_utf8 = "\xD0\x9F";      // "П" in UTF-8
  const std::string e_acute_utf8 = "\xC3\xA9";
  const struct {
    std::string prologue;
    std::string body;
    std::string text;
  } cases[] = {
      {"<?xml version=\"1.0\" encoding=\"Windows-1251\" ?>", cyrillic_1251, cyrillic_1251},
      {"<?xml version='1.0' encoding='windows-1252'?>", cyrillic_utf8, cyrillic_utf8},
      {"", cyrillic_1251, "\xBF\xBF\xBF"},
      {"<?xml version=\"1.0\"?>", cyrillic_1251, "\xBF\xBF\xBF"},
      {"<?xml version=\"1.0\" encoding=\"utf-8\"?>", cyrillic_utf8 + e_acute_utf8, "\xBF\xE9"},
      {"\xEF\xBB\xBF", e_acute_utf8, "\xE9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Events(c.prologue + "<a>" + c.body + "</a>"), (V{"<a", "'" + c.text, ">a"})) << c.prologue;
  }
}

TEST(Tokenizer, TextFullOfAmpersandsIsReadInLinearTime) {
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "&x ";
  text += ";";
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Events("<a>" + text + "</a>"), (V{"<a", "'" + text, ">a"}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(Tokenizer, UnterminatedMarkupEndsTheDocument) {
  EXPECT_EQ(Events("<a>x<!-- open"), (V{"<a", "'x"}));
  EXPECT_EQ(Events("<a>x</a"), (V{"<a", "'x"}));
  EXPECT_EQ(Events("<a>1 < 2</a>"), (V{"<a", "'1 < 2", ">a"}));
}

// Exponential and quadratic expansions, self reference and deep nesting of
// entity references all fail fast instead of exhausting memory or time.
TEST(Tokenizer, EntityExpansionIsBounded) {
  std::string laughs = "<!DOCTYPE r [<!ENTITY l0 \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    laughs += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&l" + std::to_string(i - 1) + ";";
    laughs += "\">";
  }
  laughs += "]><r>&l9;</r>";

  std::string empties = "<!DOCTYPE r [<!ENTITY e0 \"\">";
  for (int i = 1; i <= 7; ++i) {
    empties += "<!ENTITY e" + std::to_string(i) + " \"";
    for (int k = 0; k < 60; ++k) empties += "&e" + std::to_string(i - 1) + ";";
    empties += "\">";
  }
  empties += "]><r>&e7;</r>";

  std::string quadratic = "<!DOCTYPE r [<!ENTITY big \"" + std::string(100000, 'x') + "\">]><r>";
  for (int k = 0; k < 100; ++k) quadratic += "&big;";
  quadratic += "</r>";

  std::string deep = "<!DOCTYPE r [<!ENTITY d0 \"x\">";
  for (int i = 1; i <= kMaxEntityDepth + 1; ++i) {
    deep += "<!ENTITY d" + std::to_string(i) + " \"&d" + std::to_string(i - 1) + ";\">";
  }
  deep += "]><r>&d" + std::to_string(kMaxEntityDepth + 1) + ";</r>";

  const std::string hostile[] = {laughs, empties, quadratic, deep, "<!DOCTYPE r [<!ENTITY a \"&a;\">]><r>&a;</r>",
                                 "<!DOCTYPE r [<!ENTITY a \"&b;\"><!ENTITY b \"&a;\">]><r>&a;</r>"};
  for (const std::string& doc : hostile) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(Events(doc), EXmlRpcError) << doc.substr(0, 60);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }

  // Within the limits expansion works, also nested to the allowed depth.
  std::string allowed = "<!DOCTYPE r [<!ENTITY d0 \"x\">";
  for (int i = 1; i < kMaxEntityDepth; ++i) {
    allowed += "<!ENTITY d" + std::to_string(i) + " \"&d" + std::to_string(i - 1) + ";&d" + std::to_string(i - 1) +
               ";\">";
  }
  allowed += "]><r>&d" + std::to_string(kMaxEntityDepth - 1) + ";</r>";
  EXPECT_EQ(Events(allowed), (V{"<r", "'" + std::string(1u << (kMaxEntityDepth - 1), 'x'), ">r"}));
}

}  // namespace
}  // namespace kavor2::xmlrpc
