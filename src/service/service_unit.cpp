#include "service/service_unit.h"

#include "platform/text.h"
#include "service/service_identity.h"

namespace kavor2::service {

platform::SystemdUnit ServiceUnit(const std::filesystem::path& program, std::vector<std::string> arguments) {
  platform::SystemdUnit unit;
  unit.FileName = std::string(kUnitName);
  unit.Description = std::string(kDisplayName);
  // Unit files are UTF-8; the service keeps its description in Windows-1251.
  unit.LongDescription = platform::Cp1251ToUtf8(ServiceDescription());
  unit.Program = program;
  unit.Arguments = std::move(arguments);
  return unit;
}

}  // namespace kavor2::service
