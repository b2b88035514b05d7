// The velk-service program: serves signatures, and manages accounts from the command line.
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "render/code_page.h"
#include "http/server.h"
#include "accounts/key_hash.h"
#include "accounts/player_token.h"
#include "render/render.h"
#include "app/service.h"
#include "storage/store.h"

namespace {

constexpr char kUsage[] = R"(Usage:
  velk-service serve   [--db FILE|URI] [--address ADDR] [--port N] [--threads N]
                       [--public-url URL] [--https-url URL] [--report-interval-ms N]
                       [--key-check-threads N] [--key-check-queue N] [--wrong-keys-per-minute N]
                       [--registrations-per-hour N] [--image-cache-mb N] [--max-connections N]
                       [--connections-per-address N] [--request-timeout-s N]
                       [--idle-timeout-s N] [--write-timeout-s N] [--now-playing-for MINUTES]
                       [--trusted-proxy CIDR]...
  velk-service adduser [--db FILE|URI] [--codepage N] [--key DIGITS] NAME...
  velk-service show    [--db FILE|URI] NAME
  velk-service token   [--db FILE|URI] NAME

serve    answers reports, images and registrations on ADDR:N (default 127.0.0.1:8080);
         --port 0 picks a free port. The line "listening on http://ADDR:PORT" tells where.
         It refuses to start when the data file cannot be written. A track reported playing
         more than --now-playing-for minutes ago (default 30; 0: never) shows as last played.
         --https-url https://HOST sends page requests that did not come over HTTPS there.
         --trusted-proxy (repeatable, e.g. 127.0.0.1 or 10.0.0.0/8; none by default) names the
         proxies whose X-Forwarded-For, X-Real-IP, X-Forwarded-Proto and PROXY lines are
         believed: limits per client then count the client's own address.
adduser  creates accounts without the registration page and prints the key: for one NAME the key
         alone, for several NAMEs a line "NAME KEY" each. --key sets the key instead of drawing
         one (the same for every NAME); --codepage is the player's code page (default 1252).
show     prints an account's current state and its image path.
token    makes a new player token for the account (other players' password) and prints it; the
         old one stops working.
--db is a SQLite file (by default ./velk-service.sqlite), or a PostgreSQL database named by a libpq
connection string or URI ("postgresql://user@host/velk", "host=/run/pg dbname=velk"), which
several instances may share.
)";

struct CArgs {
  std::string command;
  std::map<std::string, std::string> options;
  std::vector<std::string> trustedProxies;  // every --trusted-proxy, in order
  std::vector<std::string> names;
};

bool ParseArgs(int argc, char** argv, CArgs* args) {
  if (argc < 2) return false;
  args->command = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) == 0) {
      if (i + 1 >= argc) return false;
      if (arg == "--trusted-proxy") {
        args->trustedProxies.push_back(argv[++i]);
        continue;
      }
      args->options[arg.substr(2)] = argv[++i];
    } else {
      args->names.push_back(arg);
    }
  }
  return true;
}

std::string Option(const CArgs& args, const std::string& name, const std::string& fallback) {
  auto found = args.options.find(name);
  return found == args.options.end() ? fallback : found->second;
}

// The option as a non-negative number; exits with a message when it is not one.
long NumberOption(const CArgs& args, const std::string& name, long fallback) {
  const std::string text = Option(args, name, "");
  if (text.empty()) return fallback;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || value < 0) {
    std::fprintf(stderr, "velk-service: --%s wants a number, not \"%s\"\n", name.c_str(),
                 text.c_str());
    std::exit(2);
  }
  return value;
}

// Lets the server keep as many connections open as the system allows this process, and returns
// how many connections fit beside the descriptors the service needs for itself.
size_t RaiseDescriptorLimit() {
  constexpr rlim_t kOwnDescriptors = 64;  // database, log, event loops, the spare descriptor
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return SIZE_MAX;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  return limit.rlim_cur > kOwnDescriptors * 2 ? limit.rlim_cur - kOwnDescriptors
                                              : limit.rlim_cur / 2;
}

size_t SizeOption(const CArgs& args, const std::string& name, long fallback) {
  return static_cast<size_t>(NumberOption(args, name, fallback));
}

int Serve(const CArgs& args, const std::string& db) {
  CServiceOptions serviceOptions;
  serviceOptions.publicUrl = Option(args, "public-url", "");
  serviceOptions.httpsUrl = Option(args, "https-url", "");
  if (!serviceOptions.httpsUrl.empty() && serviceOptions.httpsUrl.rfind("https://", 0) != 0) {
    std::fprintf(stderr, "velk-service: --https-url wants https://HOST[:PORT], not \"%s\"\n",
                 serviceOptions.httpsUrl.c_str());
    return 2;
  }
  while (!serviceOptions.httpsUrl.empty() && serviceOptions.httpsUrl.back() == '/') {
    serviceOptions.httpsUrl.pop_back();
  }
  serviceOptions.minReportIntervalMs = NumberOption(args, "report-interval-ms", 2000);
  serviceOptions.keyCheckThreads = std::max<size_t>(1, SizeOption(args, "key-check-threads", 1));
  serviceOptions.maxPendingKeyChecks = SizeOption(args, "key-check-queue", 256);
  serviceOptions.wrongKeysPerMinute = SizeOption(args, "wrong-keys-per-minute", 20);
  serviceOptions.registrationsPerHour = SizeOption(args, "registrations-per-hour", 10);
  serviceOptions.imageCacheBytes = SizeOption(args, "image-cache-mb", 64) << 20;
  serviceOptions.nowPlayingForMinutes = NumberOption(args, "now-playing-for", 30);
  CServerOptions serverOptions;
  serverOptions.address = Option(args, "address", "127.0.0.1");
  const long portOption = NumberOption(args, "port", 8080);
  if (portOption > 65535) {
    std::fprintf(stderr, "velk-service: --port %ld is not a port\n", portOption);
    return 2;
  }
  serverOptions.port = static_cast<unsigned short>(portOption);
  serverOptions.threads = SizeOption(args, "threads", 2);
  serverOptions.maxConnections =
      std::min(SizeOption(args, "max-connections", 10000), RaiseDescriptorLimit());
  serverOptions.maxConnectionsPerAddress = SizeOption(args, "connections-per-address", 256);
  serverOptions.requestTimeoutSeconds =
      static_cast<int>(NumberOption(args, "request-timeout-s", 10));
  serverOptions.idleTimeoutSeconds = static_cast<int>(NumberOption(args, "idle-timeout-s", 30));
  serverOptions.writeTimeoutSeconds = static_cast<int>(NumberOption(args, "write-timeout-s", 30));
  for (const std::string& proxy : args.trustedProxies) {
    if (!serverOptions.trustedProxies.Add(proxy)) {
      std::fprintf(stderr,
                   "velk-service: --trusted-proxy wants an address or a network such as "
                   "10.0.0.0/8, not \"%s\"\n",
                   proxy.c_str());
      return 2;
    }
  }
  // The code page tables are built once, before the first report needs one.
  for (const CCodePageInfo& page : SupportedCodePages()) CodePageFor(page.id);

  std::unique_ptr<CStore> opened = OpenStore(db);
  CStore& store = *opened;
  // A promise of "stored" must be one the file can keep: refuse to start otherwise.
  store.CheckWritable();
  CSystemClock clock;
  auto service = std::make_unique<CSignatureService>(store, clock, serviceOptions);
  auto server = std::make_unique<CHttpServer>(*service, serverOptions);
  const unsigned short port = server->Listen();
  std::printf("velk-service: listening on http://%s:%u (data in %s)\n",
              serverOptions.address.c_str(), port, IsPostgresUri(db) ? "PostgreSQL" : db.c_str());
  std::fflush(stdout);
  server->Run();
  // The service first: its key checks and writes still under way post replies to the server's
  // loops, which must still exist then.
  service.reset();
  server.reset();
  std::printf("velk-service: stopped\n");
  return 0;
}

int AddUsers(const CArgs& args, const std::string& db) {
  const int codePage = static_cast<int>(NumberOption(args, "codepage", kDefaultCodePage));
  const std::string fixedKey = Option(args, "key", "");
  if (args.names.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!FindCodePage(codePage)) {
    std::fprintf(stderr, "velk-service: code page %d is not offered; choose one of:", codePage);
    for (const CCodePageInfo& page : SupportedCodePages()) std::fprintf(stderr, " %d", page.id);
    std::fprintf(stderr, "\n");
    return 2;
  }
  if (!fixedKey.empty() && !IsWellFormedKey(fixedKey)) {
    std::fprintf(stderr, "velk-service: a key is 1 to 64 decimal digits\n");
    return 2;
  }
  for (const std::string& name : args.names) {
    if (!IsValidUserName(name) || IsReservedUserName(name)) {
      std::fprintf(stderr,
                   "velk-service: \"%s\" cannot be a user name (2 to 32 letters, digits, \".\", "
                   "\"_\" or \"-\", starting with a letter or digit; not \"Username\")\n",
                   name.c_str());
      return 2;
    }
  }
  std::unique_ptr<CStore> opened = OpenStore(db);
  CStore& store = *opened;
  const std::string fixedHash = fixedKey.empty() ? "" : HashKey(fixedKey);
  std::vector<std::future<ECreateResult>> results;
  std::vector<std::string> keys;
  for (const std::string& name : args.names) {
    CAccountRecord record;
    record.name = name;
    keys.push_back(fixedKey.empty() ? GenerateKey() : fixedKey);
    record.keyHash = fixedKey.empty() ? HashKey(keys.back()) : fixedHash;
    record.codePage = codePage;
    record.createdAt = CSystemClock().WallSeconds();
    auto promise = std::make_shared<std::promise<ECreateResult>>();
    results.push_back(promise->get_future());
    store.CreateAccount(std::move(record),
                        [promise](ECreateResult result) { promise->set_value(result); });
  }
  int status = 0;
  for (size_t i = 0; i < args.names.size(); ++i) {
    const ECreateResult result = results[i].get();
    if (result == ECreateResult::kCreated) {
      if (args.names.size() == 1) {
        std::printf("%s\n", keys[i].c_str());
      } else {
        std::printf("%s %s\n", args.names[i].c_str(), keys[i].c_str());
      }
      continue;
    }
    std::fprintf(stderr, "velk-service: %s: %s\n", args.names[i].c_str(),
                 result == ECreateResult::kDuplicate ? "the name is taken" : "could not be saved");
    status = 1;
  }
  return status;
}

int NewPlayerToken(const CArgs& args, const std::string& db) {
  if (args.names.size() != 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::unique_ptr<CStore> store = OpenStore(db);
  if (!store->FindAccount(args.names[0])) {
    std::fprintf(stderr, "velk-service: no account called \"%s\"\n", args.names[0].c_str());
    return 1;
  }
  const std::string token = GeneratePlayerToken();
  CAccountWrite write;
  write.playerToken = std::make_pair(PlayerTokenHash(token), Md5Hex(token));
  std::promise<std::string> outcome;
  store->Write(NameKey(args.names[0]), std::move(write),
               [&outcome](bool stored, const std::string& error) {
                 outcome.set_value(stored ? "" : error.empty() ? "not stored" : error);
               });
  const std::string error = outcome.get_future().get();
  if (!error.empty()) {
    std::fprintf(stderr, "velk-service: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", token.c_str());
  return 0;
}

int Show(const CArgs& args, const std::string& db) {
  if (args.names.size() != 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::optional<CAccountRecord> account = OpenStore(db)->FindAccount(args.names[0]);
  if (!account) {
    std::fprintf(stderr, "velk-service: no account called \"%s\"\n", args.names[0].c_str());
    return 1;
  }
  const CTrackState& state = account->state;
  std::printf(
      "user:       %s\ncode page:  %d\nplayback:   %s\nartist:     %s\ntitle:      %s\n"
      "album:      %s\nyear:       %s\ngenre:      %s\ntrack at:   %lld\nstopped at: %lld\n"
      "image:      /signature/%s.png\n",
      account->name.c_str(), account->codePage, CTrackState::PlaybackName(state.playback),
      state.artist.c_str(), state.title.c_str(), state.album.c_str(), state.year.c_str(),
      state.genre.c_str(), static_cast<long long>(state.trackAt),
      static_cast<long long>(state.stoppedAt), account->name.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CArgs args;
  if (!ParseArgs(argc, argv, &args) || args.command == "--help" || args.command == "help") {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  if (!InitKeyHashing()) {
    std::fprintf(stderr, "velk-service: libsodium cannot start\n");
    return 1;
  }
  const std::string db = Option(args, "db", "velk-service.sqlite");
  try {
    if (args.command == "serve") return Serve(args, db);
    if (args.command == "adduser") return AddUsers(args, db);
    if (args.command == "show") return Show(args, db);
    if (args.command == "token") return NewPlayerToken(args, db);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "velk-service: %s\n", error.what());
    return 1;
  }
  std::fputs(kUsage, stderr);
  return 2;
}
