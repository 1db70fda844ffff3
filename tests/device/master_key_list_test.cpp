// The master-key list: key and ID texts of an entry, lookups with duplicate
// IDs, deletion by ID text.
#include "device/master_key_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/fixed_keys.h"
#include "device/test_bytes.h"
#include "platform/errors.h"

namespace kavor2::device {
namespace {

using test::Hex;

DeviceKey KeyOf(const std::string& hex) {
  const std::vector<std::uint8_t> bytes = Hex(hex);
  DeviceKey key{};
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

TKeyItem Entry(const std::string& id_text, const std::string& key_text) {
  TKeyItem item;
  item.SetIdText(id_text);
  item.SetKeyText(key_text);
  return item;
}

TEST(KeyItem, SetKeyTextTakesLeadingDigitsOfEitherCase) {
  struct Case {
    std::string text;
    std::string key;  // 16 bytes as hex
  };
  const std::vector<Case> cases = {
      {"0a1B", "0A1B0000000000000000000000000000"},
      {"12x4", "12000000000000000000000000000000"},  // stops at the first non-digit
      {"A", "A0000000000000000000000000000000"},     // an odd digit fills a high half
      {"x123", "00000000000000000000000000000000"},
      {"00112233445566778899aabbccddeeff", "00112233445566778899AABBCCDDEEFF"},
      {"00112233445566778899AABBCCDDEEFF zz", "00112233445566778899AABBCCDDEEFF"},
  };
  for (const Case& c : cases) {
    TKeyItem item;
    item.Key = DefaultKey;  // whatever was there goes first
    item.SetKeyText(c.text);
    EXPECT_EQ(KeyToText(item.Key), c.key) << c.text;
  }
}

TEST(KeyItem, SetKeyTextRangeErrors) {
  TKeyItem item;
  item.Key = DefaultKey;
  EXPECT_THROW(item.SetKeyText(""), platform::RangeError);
  EXPECT_EQ(item.Key, DeviceKey{}) << "the key is cleared before the text is looked at";

  // 33 digits: the first 32 are stored before the error.
  EXPECT_THROW(item.SetKeyText("00112233445566778899AABBCCDDEEFF1"), platform::RangeError);
  EXPECT_EQ(KeyToText(item.Key), "00112233445566778899AABBCCDDEEFF");
  EXPECT_THROW(item.SetKeyText(std::string(40, 'F')), platform::RangeError);
}

TEST(KeyItem, IdTextRoundTripsAndIsStoredReversed) {
  TKeyItem item;
  item.SetIdText("001a2b3c4d5e");
  EXPECT_EQ(item.Id, (DeviceId{0x5E, 0x4D, 0x3C, 0x2B, 0x1A, 0x00}));
  EXPECT_EQ(item.GetIdText(), "001A2B3C4D5E");

  EXPECT_THROW(item.SetIdText("012"), platform::RangeError);             // a digit without partner
  EXPECT_THROW(item.SetIdText("0102030405060708"), platform::RangeError);  // a seventh pair
}

TEST(MasterKeyList, LookupsAndDeletionWithDuplicateIds) {
  TMasterKeyList list;
  const DeviceId id = Entry("0102030405AB", "11").Id;
  EXPECT_EQ(list.MasterKeyFor(id), DefaultKey) << "empty list";

  list.Add(Entry("0102030405AB", "11"));
  list.Add(Entry("0000000000CD", "22"));
  list.Add(Entry("0102030405AB", "33"));
  EXPECT_EQ(list.MasterKeyFor(id), KeyOf("11000000000000000000000000000000")) << "the earliest entry wins";
  EXPECT_EQ(list.MasterKeyFor(Entry("0000000000EE", "1").Id), DefaultKey) << "no entry for that ID";

  // Deletion compares the upper-case ID text exactly.
  EXPECT_FALSE(list.DeleteIdText("0102030405ab"));
  EXPECT_FALSE(list.DeleteIdText("102030405AB"));
  ASSERT_TRUE(list.DeleteIdText("0102030405AB"));
  EXPECT_EQ(list.MasterKeyFor(id), KeyOf("33000000000000000000000000000000")) << "only the first went";
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Items(0)->GetIdText(), "0000000000CD");
  EXPECT_EQ(list.Items(1)->GetIdText(), "0102030405AB");
  EXPECT_FALSE(list.Items(2).has_value());

  EXPECT_FALSE(list.Delete(2));
  EXPECT_TRUE(list.Delete(0));
  list.Clear();
  EXPECT_EQ(list.MasterKeyFor(id), DefaultKey);
  EXPECT_FALSE(list.DeleteIdText("0102030405AB"));
}

}  // namespace
}  // namespace kavor2::device
