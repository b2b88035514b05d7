// The options of `velk-service serve`: their names, defaults and checks, and the config file
// ("name = value" lines) that may set any of them.
#pragma once

#include <istream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

struct CServeOption {
  const char* name;      // as in the file and, after "--", on the command line
  const char* fallback;  // the value when neither gives one
  enum class EKind { kText, kNumber, kPort, kAddress, kListener, kSwitch } kind;
  const char* help;  // one line for the config file's comment
};

// Every option of serve, in the order the config file lists them.
const std::vector<CServeOption>& ServeOptions();
// The option called `name`, or null.
const CServeOption* FindServeOption(const std::string& name);
// What is wrong with `value` for `option`, or empty when nothing is.
std::string ValueProblem(const CServeOption& option, const std::string& value);

class CConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a config file: "name = value" lines, where blank lines and lines starting with "#" are
// skipped and blanks around name and value do not count. Returns the values by name. Throws
// CConfigError, naming the file, the line and the name, for a file that cannot be read, a line
// without "=", a name that is not an option of serve, a name given twice or a bad value.
std::map<std::string, std::string> ReadConfigFile(const std::string& path);
// The same for the text `in` holds, named `path` in the errors.
std::map<std::string, std::string> ReadConfig(std::istream& in, const std::string& path);

// A config file that lists every option with its help and its default, commented out; the
// options in `set` appear uncommented with the value given there.
std::string ConfigTemplate(const std::map<std::string, std::string>& set);

// "ADDR:PORT" or "[IPv6]:PORT" split; false when `text` has neither form.
bool SplitListener(const std::string& text, std::string* address, unsigned short* port);
