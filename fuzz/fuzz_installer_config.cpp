// LoadInstallerConfig on arbitrary SETUP.INI bytes: it must validate or
// refuse without touching memory outside its records.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/update_state.h"
#include "fuzz/quiet_platform.h"
#include "settings/installer_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> file(data, data + size);
  SetMemoryFile(file.data(), file.size());
  ResetUpdateState();
  UpdateState.ReportMissingKeys = size % 2;  // both states of the report
  LoadInstallerConfig();
  return 0;
}
