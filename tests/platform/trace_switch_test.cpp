#include "platform/trace_switch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace kavor2::platform {
namespace {

namespace fs = std::filesystem;

TEST(TraceSwitch, MissingFolderIsMadeAndLoggingStaysOffUntilTheFileExists) {
  fs::path root = fs::temp_directory_path() / ("k2-sysconf-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::path folder = root / kTraceSwitchFolder;

  TraceSwitch first = ReadTraceSwitch(folder);
  EXPECT_TRUE(first.FolderOpened);
  EXPECT_FALSE(first.Enabled);
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_TRUE(fs::is_empty(folder));  // only looked for, never made

  std::ofstream(folder / kTraceSwitchFile) << "anything";
  TraceSwitch second = ReadTraceSwitch(folder);
  EXPECT_TRUE(second.FolderOpened);
  EXPECT_TRUE(second.Enabled);
  fs::remove_all(root);
}

TEST(TraceSwitch, FolderThatCannotBeMadeLeavesLoggingOff) {
  fs::path blocker = fs::temp_directory_path() / ("k2-sysconf-file-" + std::to_string(::getpid()));
  std::ofstream(blocker) << "a file where a folder should be";
  TraceSwitch s = ReadTraceSwitch(blocker / kTraceSwitchFolder);
  EXPECT_FALSE(s.FolderOpened);
  EXPECT_FALSE(s.Enabled);
  fs::remove(blocker);
}

TEST(TraceSwitch, FolderFollowsTheSysconfRoot) {
  const char* saved = std::getenv(kSysconfDirVariable);
  std::string saved_value = saved ? saved : "";
  ::setenv(kSysconfDirVariable, "/srv/conf", 1);
  EXPECT_EQ(TraceSwitchFolder(), fs::path("/srv/conf/TERSK/KAVOR_PRO/KAVCORE"));
  ::unsetenv(kSysconfDirVariable);
  EXPECT_EQ(TraceSwitchFolder(), fs::path("/etc/TERSK/KAVOR_PRO/KAVCORE"));
  if (saved) ::setenv(kSysconfDirVariable, saved_value.c_str(), 1);
}

}  // namespace
}  // namespace kavor2::platform
