// The options of `velk-service serve`: their names, defaults and checks, and the config file
// ("name = value" lines) that may set any of them.
#include "app/serve_config.h"

#include <boost/asio/ip/address.hpp>
#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace {

using EKind = CServeOption::EKind;

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool IsIpAddress(const std::string& text) {
  boost::system::error_code ec;
  boost::asio::ip::make_address(text, ec);
  return !ec;
}

// Whether `text` is a number from 0 to `max`.
bool IsNumber(const std::string& text, long max) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return errno == 0 && value <= max;
}

}  // namespace

const std::vector<CServeOption>& ServeOptions() {
  static const std::vector<CServeOption> options = {
      {"db", "velk-service.sqlite", EKind::kText,
       "The data: a SQLite file, or a PostgreSQL connection string or URI that several instances "
       "may share."},
      {"address", "127.0.0.1", EKind::kAddress,
       "The IP address to listen on (0.0.0.0 or :: for every interface)."},
      {"port", "8080", EKind::kPort, "The port to listen on; 0 picks a free one."},
      {"threads", "2", EKind::kNumber, "Network threads."},
      {"public-url", "", EKind::kText,
       "http://host[:port] as users reach the service, for the image URL the registration page "
       "shows; empty: taken from each request's Host."},
      {"https-url", "", EKind::kText,
       "https://host[:port] where page requests that did not come over HTTPS are sent (301); "
       "empty: pages are served on any scheme."},
      {"trusted-proxy", "", EKind::kText,
       "Proxies whose X-Forwarded-For, X-Real-IP, X-Forwarded-Proto and PROXY lines are "
       "believed: addresses or networks (10.0.0.0/8) separated by blanks; empty: none. On the "
       "command line --trusted-proxy may repeat."},
      {"report-interval-ms", "2000", EKind::kNumber,
       "Reports of one account closer than this are kept and applied when due."},
      {"now-playing-for", "30", EKind::kNumber,
       "Minutes after which a track reported playing shows as last played; 0: never."},
      {"key-check-threads", "1", EKind::kNumber, "Threads that check keys (slow hashes)."},
      {"key-check-queue", "256", EKind::kNumber,
       "Key checks that may wait; more are answered 503."},
      {"wrong-keys-per-minute", "20", EKind::kNumber,
       "Wrong keys and tokens per client address and minute; more get 429 unchecked."},
      {"listenbrainz-requests-per-minute", "600", EKind::kNumber,
       "Requests to the ListenBrainz endpoints per client address and minute, counted by each "
       "instance; more get 429."},
      {"registrations-per-hour", "10", EKind::kNumber, "New accounts per client address and hour."},
      {"history-listens", "10000", EKind::kNumber,
       "The newest listens kept in each account's history; older ones are removed as new ones "
       "come (their plays stay counted in the charts); 0: this instance keeps no history."},
      {"image-cache-mb", "64", EKind::kNumber, "Memory for rendered images, in MiB."},
      {"max-connections", "10000", EKind::kNumber,
       "Open connections at most (also bounded by the descriptors the system allows)."},
      {"connections-per-address", "256", EKind::kNumber,
       "Open connections per client address; more get 503."},
      {"request-timeout-s", "10", EKind::kNumber, "Seconds for a whole request to arrive."},
      {"idle-timeout-s", "30", EKind::kNumber,
       "Seconds a kept-alive connection may wait for its next request."},
      {"write-timeout-s", "30", EKind::kNumber, "Seconds a client may take to read an answer."},
      {"metrics-address", "127.0.0.1:9464", EKind::kListener,
       "ADDR:PORT of the listener for /metrics (and /healthz, /readyz); off: none. With port 0 "
       "for the service, its default port is 0 too."},
      {"access-log", "on", EKind::kSwitch,
       "One line per request on standard output (on or off); errors go to standard error."},
  };
  return options;
}

const CServeOption* FindServeOption(const std::string& name) {
  for (const CServeOption& option : ServeOptions()) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

bool SplitListener(const std::string& text, std::string* address, unsigned short* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || !IsNumber(text.substr(colon + 1), 65535)) return false;
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // an IPv6 address must be in brackets
  }
  if (!IsIpAddress(host)) return false;
  *address = host;
  *port = static_cast<unsigned short>(std::strtol(text.c_str() + colon + 1, nullptr, 10));
  return true;
}

std::string ValueProblem(const CServeOption& option, const std::string& value) {
  switch (option.kind) {
    case EKind::kText:
      return "";
    case EKind::kNumber:
      return IsNumber(value, 1L << 40) ? "" : "wants a whole number, not \"" + value + "\"";
    case EKind::kPort:
      return IsNumber(value, 65535) ? "" : "wants a port from 0 to 65535, not \"" + value + "\"";
    case EKind::kAddress:
      return IsIpAddress(value) ? "" : "wants an IP address, not \"" + value + "\"";
    case EKind::kListener: {
      std::string address;
      unsigned short port;
      if (value == "off" || SplitListener(value, &address, &port)) return "";
      return "wants ADDR:PORT ([ADDR]:PORT for IPv6) or off, not \"" + value + "\"";
    }
    case EKind::kSwitch:
      return value == "on" || value == "off" ? "" : "wants on or off, not \"" + value + "\"";
  }
  return "";
}

std::map<std::string, std::string> ReadConfigFile(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw CConfigError(path + ": cannot be read");
  return ReadConfig(file, path);
}

std::map<std::string, std::string> ReadConfig(std::istream& file, const std::string& path) {
  std::map<std::string, std::string> values;
  std::map<std::string, int> lineOf;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    const std::string where = path + ":" + std::to_string(number) + ": ";
    const std::string text = Trim(line);
    if (text.empty() || text[0] == '#') continue;
    const size_t equals = text.find('=');
    if (equals == std::string::npos) {
      throw CConfigError(where + "\"" + text + "\" is not a \"name = value\" line");
    }
    const std::string name = Trim(text.substr(0, equals));
    const std::string value = Trim(text.substr(equals + 1));
    const std::string key = where + "key \"" + name + "\": ";
    const CServeOption* option = FindServeOption(name);
    if (!option) throw CConfigError(key + "not an option of velk-service serve");
    if (lineOf.count(name)) {
      throw CConfigError(key + "given twice (first on line " + std::to_string(lineOf[name]) + ")");
    }
    const std::string problem = ValueProblem(*option, value);
    if (!problem.empty()) throw CConfigError(key + problem);
    values[name] = value;
    lineOf[name] = number;
  }
  if (file.bad()) throw CConfigError(path + ": cannot be read");
  return values;
}

namespace {

// `text` as "# " comment lines of at most 100 columns.
std::string Comment(const std::string& text) {
  std::string out;
  std::string line;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    if (!line.empty() && line.size() + 1 + word.size() > 98) {
      out += "# " + line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    start = end + 1;
  }
  return out + "# " + line + "\n";
}

}  // namespace

std::string ConfigTemplate(const std::map<std::string, std::string>& set) {
  std::string text =
      "# The settings of velk-service serve, read with --config FILE; an option given on the\n"
      "# command line overrides the line of the same name. Each line is \"name = value\"; blank\n"
      "# lines and lines starting with # are skipped. Commented out: the default.\n";
  for (const CServeOption& option : ServeOptions()) {
    text += "\n" + Comment(option.help);
    auto given = set.find(option.name);
    if (given != set.end()) {
      text += "# (velk-service's own default: \"" + std::string(option.fallback) + "\")\n";
      text += std::string(option.name) + " = " + given->second + "\n";
    } else {
      const std::string fallback = option.fallback;
      text +=
          "#" + std::string(option.name) + " =" + (fallback.empty() ? "" : " " + fallback) + "\n";
    }
  }
  return text;
}
