// The README's marked examples, run as written against the real service
// and k2sim on ports of this run (tests/integration/python/readme_examples.py).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "integration/process_runner.h"

namespace kavor2::testing {
namespace {

const std::filesystem::path kPythonDir = K2_INTEGRATION_PYTHON_DIR;

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

TEST(ReadmeExamples, RunAsWritten) {
  const std::filesystem::path readme = std::filesystem::path(K2_EXAMPLES_DIR).parent_path() / "README.md";
  const char* build = std::getenv("K2_BUILD_DIR");
  ASSERT_NE(build, nullptr);
  TempDir scratch("k2-readme");
  ShellRun run = RunShell("timeout 600 python3 -u " + Quoted((kPythonDir / "readme_examples.py").string()) + " " +
                          Quoted(readme.string()) + " " + Quoted(build) + " " + Quoted(scratch.Path().string()) +
                          " 2>&1");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find(" 0 failed"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace kavor2::testing
