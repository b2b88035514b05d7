// The velk-service program: serves signatures, and manages accounts from the command line.
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "accounts/accounts.h"
#include "app/serve_config.h"
#include "base/log.h"
#include "storage/sqlite_backup.h"
#include "render/code_page.h"
#include "http/server.h"
#include "accounts/key_hash.h"
#include "accounts/player_token.h"
#include "render/render.h"
#include "app/service.h"
#include "storage/store.h"
#include "storage/write_queue.h"
#include "operator/operator_room.h"
#include "http/pipeline.h"

namespace {

constexpr char kUsage[] = R"(Usage:
  velk-service serve   [--config FILE] [--db FILE|URI] [--address ADDR] [--port N]
                       [--threads N] [--public-url URL] [--https-url URL] [--report-interval-ms N]
                       [--key-check-threads N] [--key-check-queue N] [--wrong-keys-per-minute N]
                       [--listenbrainz-requests-per-minute N] [--history-listens N]
                       [--registrations-per-hour N] [--image-cache-mb N] [--max-connections N]
                       [--connections-per-address N] [--request-timeout-s N]
                       [--idle-timeout-s N] [--write-timeout-s N] [--now-playing-for MINUTES]
                       [--metrics-address ADDR:PORT|off] [--access-log on|off]
                       [--trusted-proxy CIDR]...
  velk-service adduser [--config FILE] [--db FILE|URI] [--codepage N] [--key DIGITS] NAME...
  velk-service show    [--config FILE] [--db FILE|URI] NAME
  velk-service token   [--config FILE] [--db FILE|URI] NAME
  velk-service backup  [--config FILE] [--db FILE] COPY
  velk-service config  [--OPTION VALUE]...

serve    answers reports, images and registrations on ADDR:N (default 127.0.0.1:8080);
         --port 0 picks a free port. The line "listening on http://ADDR:PORT" tells where.
         It refuses to start when the data file cannot be written. A track reported playing
         more than --now-playing-for minutes ago (default 30; 0: never) shows as last played.
         --https-url https://HOST sends page requests that did not come over HTTPS there.
         --trusted-proxy (repeatable, e.g. 127.0.0.1 or 10.0.0.0/8; none by default) names the
         proxies whose X-Forwarded-For, X-Real-IP, X-Forwarded-Proto and PROXY lines are
         believed: limits per client then count the client's own address.
         /healthz answers while the process runs, /readyz while the database takes writes.
         Prometheus metrics are on http://ADDR:PORT/metrics of --metrics-address (default
         127.0.0.1:9464; with --port 0, a free port). One access line per request goes to
         standard output (--access-log off: none), errors to standard error.
adduser  creates accounts without the registration page and prints the key: for one NAME the key
         alone, for several NAMEs a line "NAME KEY" each. --key sets the key instead of drawing
         one (the same for every NAME); --codepage is the player's code page (default 1252).
show     prints an account's current state and its image path.
token    makes a new player token for the account (other players' password) and prints it; the
         old one stops working.
backup   copies a SQLite data file, live or not, to COPY as one consistent snapshot (through
         SQLite's backup API) and checks the copy. For PostgreSQL, use pg_dump.
config   prints a config file listing every option of serve with its default, commented out;
         the options given appear set.
--config FILE reads serve's options from FILE ("name = value" lines; see "config"); options on
the command line override it. --db is a SQLite file (by default ./velk-service.sqlite), or a
PostgreSQL database named by a libpq connection string or URI ("postgresql://user@host/velk",
"host=/run/pg dbname=velk"), which several instances may share.
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

// An option of serve, or its default.
std::string Setting(const CArgs& args, const std::string& name) {
  return Option(args, name, FindServeOption(name)->fallback);
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

int Serve(const CArgs& args, const std::string& db) {
  const auto number = [&](const char* name) {
    return static_cast<size_t>(NumberOption(args, name, std::atol(Setting(args, name).c_str())));
  };
  CServiceOptions serviceOptions;
  serviceOptions.publicUrl = Setting(args, "public-url");
  serviceOptions.httpsUrl = Setting(args, "https-url");
  if (!serviceOptions.httpsUrl.empty() && serviceOptions.httpsUrl.rfind("https://", 0) != 0) {
    std::fprintf(stderr, "velk-service: --https-url wants https://HOST[:PORT], not \"%s\"\n",
                 serviceOptions.httpsUrl.c_str());
    return 2;
  }
  while (!serviceOptions.httpsUrl.empty() && serviceOptions.httpsUrl.back() == '/') {
    serviceOptions.httpsUrl.pop_back();
  }
  serviceOptions.minReportIntervalMs = static_cast<int64_t>(number("report-interval-ms"));
  serviceOptions.keyCheckThreads = std::max<size_t>(1, number("key-check-threads"));
  serviceOptions.maxPendingKeyChecks = number("key-check-queue");
  serviceOptions.wrongKeysPerMinute = number("wrong-keys-per-minute");
  serviceOptions.listenBrainzRequestsPerMinute = number("listenbrainz-requests-per-minute");
  serviceOptions.registrationsPerHour = number("registrations-per-hour");
  serviceOptions.imageCacheBytes = number("image-cache-mb") << 20;
  serviceOptions.nowPlayingForMinutes = static_cast<int64_t>(number("now-playing-for"));
  CServerOptions serverOptions;
  serverOptions.address = Setting(args, "address");
  serverOptions.port = static_cast<unsigned short>(number("port"));
  serverOptions.threads = number("threads");
  serverOptions.maxConnections = std::min(number("max-connections"), RaiseDescriptorLimit());
  serverOptions.maxConnectionsPerAddress = number("connections-per-address");
  serverOptions.requestTimeoutSeconds = static_cast<int>(number("request-timeout-s"));
  serverOptions.idleTimeoutSeconds = static_cast<int>(number("idle-timeout-s"));
  serverOptions.writeTimeoutSeconds = static_cast<int>(number("write-timeout-s"));
  serviceOptions.accessLog = Setting(args, "access-log") == "on";
  // Proxies named on the command line replace those of the config file.
  std::vector<std::string> proxies = args.trustedProxies;
  if (proxies.empty()) {
    std::istringstream list(Setting(args, "trusted-proxy"));
    for (std::string proxy; list >> proxy;) proxies.push_back(proxy);
  }
  for (const std::string& proxy : proxies) {
    if (!serverOptions.trustedProxies.Add(proxy)) {
      std::fprintf(stderr,
                   "velk-service: --trusted-proxy wants an address or a network such as "
                   "10.0.0.0/8, not \"%s\"\n",
                   proxy.c_str());
      return 2;
    }
  }
  // A test's instance on a free port must not take the fixed metrics port of another.
  const std::string metricsAddress =
      Option(args, "metrics-address",
             serverOptions.port == 0 ? "127.0.0.1:0" : Setting(args, "metrics-address"));
  CServerOptions metricsOptions;
  metricsOptions.threads = 1;
  metricsOptions.maxConnections = 64;
  metricsOptions.requestMetrics = false;
  const bool metricsOn = metricsAddress != "off";
  if (metricsOn) SplitListener(metricsAddress, &metricsOptions.address, &metricsOptions.port);
  // The code page tables are built once, before the first report needs one.
  for (const CCodePageInfo& page : SupportedCodePages()) CodePageFor(page.id);

  std::unique_ptr<CStore> opened = OpenStore(db);
  CStore& store = *opened;
  store.SetHistoryLimit(number("history-listens"));
  // A promise of "stored" must be one the file can keep: refuse to start otherwise.
  store.Queue().CheckWritable();
  CSystemClock clock;
  auto readiness = std::make_unique<CReadiness>(store.Queue());
  COperatorRoom operatorRoom(*readiness);
  auto service =
      std::make_unique<CSignatureService>(store, clock, serviceOptions, operatorRoom.Routes(false));
  CPipelineOptions metricsPipeline;
  metricsPipeline.accessLog = false;
  metricsPipeline.requestMetrics = false;
  metricsPipeline.notFound = "This listener serves /metrics, /healthz and /readyz.\n";
  CPipeline metricsFront(clock, operatorRoom.Routes(true), metricsPipeline);
  auto server = std::make_unique<CHttpServer>(*service, serverOptions);
  auto metricsServer = std::make_unique<CHttpServer>(metricsFront, metricsOptions);
  const unsigned short port = server->Listen();
  std::string metricsNote;
  if (metricsOn) {
    unsigned short metricsPort = 0;
    try {
      metricsPort = metricsServer->Listen();
    } catch (const std::runtime_error& error) {
      throw std::runtime_error(std::string("metrics-address: ") + error.what());
    }
    const bool v6 = metricsOptions.address.find(':') != std::string::npos;
    metricsNote = std::string("; metrics on http://") + (v6 ? "[" : "") + metricsOptions.address +
                  (v6 ? "]" : "") + ":" + std::to_string(metricsPort) + "/metrics";
  }
  // Standard output is the log's from here on: its lines never wait for a stalled reader.
  LogOutputLine("velk-service: listening on http://" + serverOptions.address + ":" +
                std::to_string(port) + " (data in " + (IsPostgresUri(db) ? "PostgreSQL" : db) +
                metricsNote + ")");
  std::thread metricsThread;
  if (metricsOn) metricsThread = std::thread([&] { metricsServer->Run(); });
  server->Run();
  metricsServer->Stop();
  if (metricsThread.joinable()) metricsThread.join();
  // Then what posts replies to the servers' loops, which must still exist then: readiness
  // answers, the service's key checks and writes still under way.
  readiness.reset();
  service.reset();
  server.reset();
  metricsServer.reset();
  LogOutputLine("velk-service: stopped");
  return 0;
}

int Backup(const CArgs& args, const std::string& db) {
  if (args.names.size() != 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (IsPostgresUri(db)) {
    std::fprintf(stderr,
                 "velk-service: backup copies SQLite files; back up PostgreSQL with pg_dump\n");
    return 2;
  }
  const long long bytes = BackupSqlite(db, args.names[0]);
  std::printf("velk-service: %s copied to %s (%lld bytes, integrity ok)\n", db.c_str(),
              args.names[0].c_str(), bytes);
  return 0;
}

// Adds the options of the file that --config names, unless the command line gives them, and
// checks serve's options. False, with a message, when something is wrong.
bool ResolveOptions(CArgs* args) {
  auto config = args->options.find("config");
  if (config != args->options.end()) {
    const std::string path = config->second;
    args->options.erase(config);
    try {
      for (auto& [name, value] : ReadConfigFile(path)) args->options.emplace(name, value);
    } catch (const CConfigError& error) {
      std::fprintf(stderr, "velk-service: %s\n", error.what());
      return false;
    }
  }
  if (args->command != "serve" && args->command != "config") return true;
  for (const auto& [name, value] : args->options) {
    const CServeOption* option = FindServeOption(name);
    if (!option) {
      std::fprintf(stderr, "velk-service: --%s is not an option of %s\n", name.c_str(),
                   args->command.c_str());
      return false;
    }
    const std::string problem = ValueProblem(*option, value);
    if (!problem.empty()) {
      std::fprintf(stderr, "velk-service: --%s %s\n", name.c_str(), problem.c_str());
      return false;
    }
  }
  return true;
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
                   "\"_\" or \"-\", starting with a letter or digit; not a reserved name such "
                   "as \"Username\" or \"admin\", nor a look-alike)\n",
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
    record.keepHistory = true;
    auto promise = std::make_shared<std::promise<ECreateResult>>();
    results.push_back(promise->get_future());
    store.Queue().CreateAccount(std::move(record),
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
  store->Queue().Write(NameKey(args.names[0]), std::move(write),
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
  if (!ResolveOptions(&args)) return 2;
  if (args.command == "config") {
    std::fputs(ConfigTemplate(args.options).c_str(), stdout);
    return 0;
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
    if (args.command == "backup") return Backup(args, db);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "velk-service: %s\n", error.what());
    return 1;
  }
  std::fputs(kUsage, stderr);
  return 2;
}
