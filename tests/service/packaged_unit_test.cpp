// The packaged unit (packaging/kavor2.service) and the one "kavor2srv
// install" writes must not drift apart: every line of the written unit but
// ExecStart is in the packaged one, which runs the packaged program.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "platform/systemd_unit.h"
#include "service/service_unit.h"

namespace kavor2::service {
namespace {

std::set<std::string> Lines(const std::string& text) {
  std::set<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') lines.insert(line);
  }
  return lines;
}

TEST(PackagedUnit, HoldsEveryLineOfTheInstalledUnit) {
  // The build names sources by absolute path.
  const std::filesystem::path source = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
  std::ifstream file(source / "packaging/kavor2.service");
  ASSERT_TRUE(file);
  std::stringstream packaged_text;
  packaged_text << file.rdbuf();
  const std::set<std::string> packaged = Lines(packaged_text.str());

  const std::string installed = platform::UnitText(ServiceUnit("/usr/sbin/kavor2srv", {}));
  for (const std::string& line : Lines(installed)) {
    if (line.starts_with("ExecStart=")) {
      EXPECT_EQ(line, "ExecStart=/usr/sbin/kavor2srv");
      continue;
    }
    EXPECT_TRUE(packaged.contains(line)) << "packaged unit lacks: " << line;
  }
  bool exec_found = false;
  for (const std::string& line : packaged) {
    if (line.starts_with("ExecStart=")) {
      exec_found = true;
      EXPECT_TRUE(line.starts_with("ExecStart=/usr/sbin/kavor2srv ")) << line;
    }
  }
  EXPECT_TRUE(exec_found);
}

}  // namespace
}  // namespace kavor2::service
