// Fuzz target for the config file of `velk-service serve`.
#include <cstddef>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>

#include "service/app/serve_config.h"
#include "tests/fuzz/fuzz_check.h"

// Input: a config file. It is refused with a config error, or every name it sets is an option
// with a value that option takes, and the config file written for those values reads back alike.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream file(std::string(reinterpret_cast<const char*>(data), size));
  std::map<std::string, std::string> values;
  try {
    values = ReadConfig(file, "fuzz.conf");
  } catch (const CConfigError& error) {
    FUZZ_CHECK(std::string(error.what()).rfind("fuzz.conf:", 0) == 0);
    return 0;
  }
  for (const auto& [name, value] : values) {
    const CServeOption* option = FindServeOption(name);
    FUZZ_CHECK(option && ValueProblem(*option, value).empty());
  }
  std::istringstream written(ConfigTemplate(values));
  FUZZ_CHECK(ReadConfig(written, "written.conf") == values);
  return 0;
}
