#include "platform/systemd_unit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace kavor2::platform {
namespace {

namespace fs = std::filesystem;

struct QuoteCase {
  std::string word;
  std::string written;
};

class QuoteExecWordTable : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteExecWordTable, Writes) { EXPECT_EQ(QuoteExecWord(GetParam().word), GetParam().written); }

INSTANTIATE_TEST_SUITE_P(
    SystemdUnit, QuoteExecWordTable,
    ::testing::Values(QuoteCase{"/port=9000", "/port=9000"}, QuoteCase{"/datadir=/srv/My Data", "\"/datadir=/srv/My Data\""},
                      QuoteCase{"100%", "100%%"}, QuoteCase{"$HOME", "$$HOME"}, QuoteCase{"a\\b", "\"a\\\\b\""},
                      QuoteCase{"say \"hi\"", "\"say \\\"hi\\\"\""}, QuoteCase{"", "\"\""}, QuoteCase{";", "\";\""},
                      QuoteCase{"it's", "\"it's\""}));

TEST(SystemdUnit, RefusesWordsThatWouldSpillOverALine) {
  EXPECT_THROW(QuoteExecWord("a\nb"), UnitError);
  SystemdUnit unit{"x.service", "X", "x", "/usr/bin/x", {"/port=1\r\n[Service]"}};
  EXPECT_THROW(UnitText(unit), UnitError);
  unit.Arguments.clear();
  unit.Program = "relative/x";
  EXPECT_THROW(UnitText(unit), UnitError);
}

TEST(SystemdUnit, TextHasTheServiceSections) {
  SystemdUnit unit{"kavor2.service", "Kavor2 - Device Interface Protocol", "Описание 100%", "/opt/k2/kavor2srv",
                   {"/port=9000", "/noncrypt"}};
  EXPECT_EQ(UnitText(unit),
            "[Unit]\n"
            "Description=Kavor2 - Device Interface Protocol\n"
            "X-Description=Описание 100%\n"
            "After=network.target\n"
            "\n[Service]\n"
            "Type=notify\n"
            "ExecStart=/opt/k2/kavor2srv /port=9000 /noncrypt\n"
            "ExecReload=/bin/kill -USR1 $MAINPID\n"
            "Restart=on-failure\n"
            "\n[Install]\n"
            "WantedBy=multi-user.target\n");
}

class UnitDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("k2-units-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(UnitDir, InstallWritesRemoveDeletesAndBothReportWrongStates) {
  SystemdUnit unit{"kavor2.service", "Kavor2", "d", "/usr/bin/kavor2srv", {}};
  fs::path written = InstallUnit(unit, dir_ / "nested");  // the directory is made
  EXPECT_EQ(written, dir_ / "nested" / "kavor2.service");
  std::ifstream in(written);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), UnitText(unit));
  EXPECT_EQ(fs::status(written).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);

  // A second install leaves the first unit alone.
  SystemdUnit other = unit;
  other.Arguments = {"/port=1"};
  EXPECT_THROW(InstallUnit(other, dir_ / "nested"), UnitError);
  std::ifstream again(written);
  std::stringstream kept;
  kept << again.rdbuf();
  EXPECT_EQ(kept.str(), UnitText(unit));

  EXPECT_EQ(RemoveUnit("kavor2.service", dir_ / "nested"), written);
  EXPECT_FALSE(fs::exists(written));
  try {
    RemoveUnit("kavor2.service", dir_ / "nested");
    FAIL() << "removing a missing unit succeeded";
  } catch (const UnitError& e) {
    EXPECT_NE(std::string(e.what()).find("not installed"), std::string::npos) << e.what();
  }
  // Nothing but the unit was ever left in the directory.
  EXPECT_TRUE(fs::is_empty(dir_ / "nested"));
}

}  // namespace
}  // namespace kavor2::platform
