#include "support/skips.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace reelknit::testing {
namespace {

namespace fs = std::filesystem;

/// Where the skips go: the build tree's file, which the test run empties
/// first; the variable REELKNIT_SKIPS_FILE names another (the tests of this
/// file use it, so that their made-up skips stay out of the report).
std::string skips_file() {
  if (const char* path = std::getenv("REELKNIT_SKIPS_FILE"); path && *path) return path;
  return REELKNIT_SKIPS_FILE;
}

/// A field of one line of the file: the report splits lines at tabs, and
/// CMake's lists at semicolons.
std::string field(std::string text) {
  for (char& c : text) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    if (c == ';') c = ',';
  }
  return text;
}

std::string current_test() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (!test) return "(outside a test)";
  return std::string(test->test_suite_name()) + "." + test->name();
}

/// Appends `kind`, `what`, `package` and the running test's name as one line.
/// Tests run side by side append to the same file: the line goes out in one
/// write(2) to a file opened for appending, so lines never interleave.
void append(const std::string& kind, const std::string& what, const std::string& package) {
  const std::string line = kind + "\t" + field(what) + "\t" + field(package) + "\t" + field(current_test()) + "\n";
  const std::string path = skips_file();
  std::error_code ignored;
  fs::create_directories(fs::path(path).parent_path(), ignored);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  // A skip that cannot be recorded must not pass for a clean run.
  if (fd < 0) {
    ADD_FAILURE() << "cannot record the skip in " << path;
    return;
  }
  if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    ADD_FAILURE() << "cannot record the skip in " << path;
  }
  ::close(fd);
}

/// "a", "a and b", "a, b and c".
std::string listed(const std::vector<std::string>& words) {
  std::string text;
  for (std::size_t k = 0; k < words.size(); ++k) {
    if (k > 0) text += k + 1 == words.size() ? " and " : ", ";
    text += words[k];
  }
  return text;
}

}  // namespace

std::string find_program(const std::string& program) {
  std::vector<fs::path> directories;
  if (const char* path = std::getenv("PATH")) {
    std::string rest = path;
    for (std::size_t colon; (colon = rest.find(':')) != std::string::npos; rest.erase(0, colon + 1)) {
      directories.emplace_back(rest.substr(0, colon));
    }
    directories.emplace_back(rest);
  }
  for (const char* system : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) directories.emplace_back(system);
  for (const fs::path& directory : directories) {
    if (directory.empty()) continue;
    const fs::path candidate = directory / program;
    std::error_code error;
    if (::access(candidate.c_str(), X_OK) == 0 && !fs::is_directory(candidate, error)) return candidate.string();
  }
  return {};
}

std::optional<std::string> missing_tools(std::initializer_list<Tool> tools) {
  std::vector<std::string> programs;
  std::vector<std::string> packages;
  for (const Tool& tool : tools) {
    if (!find_program(tool.program).empty()) continue;
    append("tool", tool.program, tool.package);
    programs.emplace_back(tool.program);
    if (std::find(packages.begin(), packages.end(), tool.package) == packages.end()) packages.emplace_back(tool.package);
  }
  if (programs.empty()) return std::nullopt;
  return listed(programs) + (programs.size() == 1 ? " is" : " are") + " not installed (" +
         (packages.size() == 1 ? "package " : "packages ") + listed(packages) + ")";
}

std::string record_missing_tool(const std::string& what, const std::string& package) {
  append("tool", what, package);
  return what + " is not installed (package " + package + ")";
}

std::string record_skip(const std::string& reason) {
  append("limit", reason, "");
  return reason;
}

}  // namespace reelknit::testing
