#pragma once
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace kavor2::platform {

// A failure to install or remove a unit; the message says what and where.
class UnitError : public std::runtime_error {
 public:
  explicit UnitError(const std::string& message) : std::runtime_error(message) {}
};

// A systemd service unit for a program that runs in the foreground and
// reports readiness with the notify protocol.
struct SystemdUnit {
  std::string FileName;                // e.g. "kavor2.service"
  std::string Description;             // UTF-8, one line
  std::string LongDescription;         // UTF-8, one line, kept as X-Description
  std::filesystem::path Program;       // absolute
  std::vector<std::string> Arguments;  // passed to the program as given
};

inline constexpr const char* kUnitDirVariable = "KAVOR2_UNIT_DIR";
inline constexpr const char* kDefaultUnitDir = "/etc/systemd/system";

// The unit directory: $KAVOR2_UNIT_DIR when set and not empty, else
// /etc/systemd/system.
std::filesystem::path UnitDirectory();

// One ExecStart word: quoted when it needs to be, with the "%" and "$"
// characters that systemd would expand doubled, so they reach the program
// as given.
// Throws UnitError for a word that cannot be written on one line.
std::string QuoteExecWord(const std::string& word);

// The unit file text. Throws UnitError when a field cannot be written
// (line breaks, a relative program path).
std::string UnitText(const SystemdUnit& unit);

// Writes the unit into `dir` (made when missing) and returns its path. The
// file appears whole or not at all. An existing unit of that name is left
// alone and is an error: it has to be removed first.
std::filesystem::path InstallUnit(const SystemdUnit& unit, const std::filesystem::path& dir);

// Removes the unit file and returns its path; a missing unit is an error.
std::filesystem::path RemoveUnit(const std::string& file_name, const std::filesystem::path& dir);

}  // namespace kavor2::platform
