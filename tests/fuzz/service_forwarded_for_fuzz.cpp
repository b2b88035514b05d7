// Fuzz target for the trusted-proxy list and the walk back along X-Forwarded-For.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "service/http/client_address.h"
#include "tests/fuzz/fuzz_check.h"

namespace ip = boost::asio::ip;

namespace {

const CTrustedProxies& Proxies() {
  static const CTrustedProxies proxies = [] {
    CTrustedProxies made;
    for (const char* network : {"127.0.0.1", "10.0.0.0/8", "fd00::/8"}) made.Add(network);
    return made;
  }();
  return proxies;
}

}  // namespace

// Input: lines "NETWORK", "X-Forwarded-For value", "X-Real-IP value".
// - A network the list takes contains its own address.
// - The answer is an address: the peer's, or one the fields name.
// - A client that is not a proxy cannot move the answer by prepending to the field, and a last hop
//   that is not a proxy is the answer.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view parts[3];
  std::string_view rest = input;
  for (std::string_view& part : parts) {
    const size_t end = rest.find('\n');
    part = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  const std::string_view forwardedFor = parts[1];
  const std::string_view realIp = parts[2];

  CTrustedProxies added;
  if (added.Add(parts[0])) {
    std::string network(parts[0]);
    network.erase(0, network.find_first_not_of(" \t"));
    network.erase(network.find_last_not_of(" \t") + 1);
    boost::system::error_code ec;
    const ip::address own = ip::make_address(network.substr(0, network.find('/')), ec);
    FUZZ_CHECK(!ec && added.Contains(own));
  }

  const ip::address proxy = ip::make_address("10.1.2.3");
  const std::string client = ClientAddress(proxy, Proxies(), forwardedFor, realIp);
  boost::system::error_code ec;
  const ip::address answer = ip::make_address(client, ec);
  FUZZ_CHECK(!ec && answer.to_string() == client);
  FUZZ_CHECK(client == "10.1.2.3" || input.find(client) != std::string_view::npos ||
             input.find(':') != std::string_view::npos);
  FUZZ_CHECK(ClientAddress(ip::make_address("192.0.2.1"), Proxies(), forwardedFor, realIp) ==
             "192.0.2.1");
  if (!Proxies().Contains(answer) && forwardedFor.find_first_not_of(" \t") != std::string::npos) {
    const std::string spoofed = "198.51.100.7, " + std::string(forwardedFor);
    FUZZ_CHECK(ClientAddress(proxy, Proxies(), spoofed, realIp) == client);
  }
  const std::string hop = std::string(forwardedFor) + ",203.0.113.5";
  FUZZ_CHECK(ClientAddress(proxy, Proxies(), hop, realIp) == "203.0.113.5");
  return 0;
}
