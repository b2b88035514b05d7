// In-memory stand-in for the internet library: records every call, tracks open handles, fails on
// cue.
#include "platform/fake/fake_internet.h"

#include <cstdio>
#include <utility>

namespace {

// `text` as recorded: as given, with carriage returns and line feeds made visible.
std::string Shown(const char* text, std::size_t size) {
  std::string shown;
  for (std::size_t i = 0; i < size; ++i) {
    if (text[i] == '\r') {
      shown += "\\r";
    } else if (text[i] == '\n') {
      shown += "\\n";
    } else {
      shown += text[i];
    }
  }
  return shown;
}

std::string Shown(const char* text) {
  return text == nullptr ? "(null)" : Shown(text, std::char_traits<char>::length(text));
}

std::string Hex(std::uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08x", static_cast<unsigned>(value));
  return buffer;
}

}  // namespace

void CFakeInternet::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults.call.Reset();
  calls_.clear();
  names_.clear();
  open_.clear();
  bad_releases_ = 0;
}

void CFakeInternet::SetCallHook(CallHook hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

std::vector<std::string> CFakeInternet::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::size_t CFakeInternet::OpenHandles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_.size();
}

int CFakeInternet::BadReleases() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bad_releases_;
}

void CFakeInternet::RunHook(const std::string& operation) {
  CallHook hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hook = hook_;
  }
  if (hook) hook(operation);
}

long CFakeInternet::RecordLocked(std::string call) {
  const long code = faults.call.Next();
  if (code != 0) call += " -> fail";
  calls_.push_back(std::move(call));
  return code;
}

NetHandle CFakeInternet::MakeHandleLocked(char kind) {
  names_.push_back(kind + std::to_string(names_.size() + 1));
  NetHandle handle = reinterpret_cast<NetHandle>(static_cast<std::uintptr_t>(names_.size()));
  open_.insert(handle);
  return handle;
}

std::string CFakeInternet::NameLocked(NetHandle handle) const {
  const auto index = reinterpret_cast<std::uintptr_t>(handle);
  if (index == 0 || index > names_.size()) return "?";
  const std::string& name = names_[index - 1];
  return open_.count(handle) != 0 ? name : name + "(released)";
}

void CFakeInternet::ThrowIf(long code) {
  if (code != 0) throw CInternetException(static_cast<unsigned long>(code));
}

NetHandle CFakeInternet::OpenSession() {
  RunHook("OpenSession");
  std::lock_guard<std::mutex> lock(mutex_);
  ThrowIf(RecordLocked("OpenSession()"));
  return MakeHandleLocked('s');
}

NetHandle CFakeInternet::ConnectHttp(NetHandle session, const char* host, std::uint16_t port) {
  RunHook("ConnectHttp");
  std::lock_guard<std::mutex> lock(mutex_);
  ThrowIf(RecordLocked("ConnectHttp(" + NameLocked(session) + ", " + Shown(host) + ", " +
                       std::to_string(port) + ")"));
  return MakeHandleLocked('c');
}

NetHandle CFakeInternet::OpenRequest(NetHandle connection, const char* verb, const char* object,
                                     std::uint32_t flags) {
  RunHook("OpenRequest");
  std::lock_guard<std::mutex> lock(mutex_);
  ThrowIf(RecordLocked("OpenRequest(" + NameLocked(connection) + ", " + Shown(verb) + ", " +
                       Shown(object) + ", " + Hex(flags) + ")"));
  return MakeHandleLocked('r');
}

void CFakeInternet::SetTimeouts(NetHandle handle, std::uint32_t timeout_ms) {
  RunHook("SetTimeouts");
  std::lock_guard<std::mutex> lock(mutex_);
  ThrowIf(
      RecordLocked("SetTimeouts(" + NameLocked(handle) + ", " + std::to_string(timeout_ms) + ")"));
}

void CFakeInternet::SendRequest(NetHandle request, const char* headers) {
  RunHook("SendRequest");
  std::lock_guard<std::mutex> lock(mutex_);
  ThrowIf(RecordLocked("SendRequest(" + NameLocked(request) + ", " + Shown(headers) + ")"));
}

bool CFakeInternet::AddRequestHeaders(NetHandle request, const char* headers, std::uint32_t flags) {
  RunHook("AddRequestHeaders");
  std::lock_guard<std::mutex> lock(mutex_);
  return RecordLocked("AddRequestHeaders(" + NameLocked(request) + ", " + Shown(headers) + ", " +
                      Hex(flags) + ")") == 0;
}

void CFakeInternet::SendRequestEx(NetHandle request, std::uint32_t total_length) {
  RunHook("SendRequestEx");
  std::lock_guard<std::mutex> lock(mutex_);
  ThrowIf(RecordLocked("SendRequestEx(" + NameLocked(request) + ", " +
                       std::to_string(total_length) + ")"));
}

void CFakeInternet::WriteRequestBody(NetHandle request, const char* data, std::size_t size) {
  RunHook("WriteRequestBody");
  std::lock_guard<std::mutex> lock(mutex_);
  ThrowIf(RecordLocked("WriteRequestBody(" + NameLocked(request) + ", " + Shown(data, size) + ", " +
                       std::to_string(size) + ")"));
}

void CFakeInternet::EndRequest(NetHandle request) {
  RunHook("EndRequest");
  std::lock_guard<std::mutex> lock(mutex_);
  ThrowIf(RecordLocked("EndRequest(" + NameLocked(request) + ")"));
}

void CFakeInternet::ReleaseHandle(NetHandle handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back("ReleaseHandle(" + NameLocked(handle) + ")");
  if (open_.erase(handle) == 0) ++bad_releases_;
}

CFaultSites CFakeInternet::FaultSites() { return {{"internet call", &faults.call}}; }
