// The simulated player's host window, plug-in loading and playlist clock.
#include "tests/player/host_player.h"

#include <cstdarg>
#include <cstring>

namespace {

constexpr char kWindowClass[] = "VelkSimulatedPlayer";
constexpr UINT_PTR kPollTimer = 1;
constexpr UINT kPollPeriodMs = 10;
constexpr UINT kRunConfigMessage = WM_APP + 1;
constexpr UINT kFinishMessage = WM_APP + 2;
// A tag answer buffer larger than this is taken as a corrupt record, not as a real buffer.
constexpr std::int32_t kLargestAnswerBuffer = 1 << 20;

const char* OperationName(std::intptr_t operation) {
  switch (operation) {
    case kHostIsPlaying:
      return "IPC_ISPLAYING";
    case kHostGetListPos:
      return "IPC_GETLISTPOS";
    case kHostGetPlaylistFile:
      return "IPC_GETPLAYLISTFILE";
    case kHostGetExtendedFileInfo:
      return "IPC_GET_EXTENDED_FILE_INFO";
    default:
      return nullptr;
  }
}

// The play state in words, as the playlist spells it; a number the playlist gave as it is.
std::string PlayStateName(std::intptr_t state) {
  switch (state) {
    case 1:
      return "playing";
    case 3:
      return "paused";
    case 0:
      return "stopped";
    default:
      return "play state " + std::to_string(static_cast<long long>(state));
  }
}

std::string Quoted(const char* text) {
  if (text == nullptr) return "(null)";
  return "\"" + CHostPlayer::Printable(text) + "\"";
}

bool RegisterWindowClassOnce() {
  WNDCLASSEXA existing = {};
  existing.cbSize = sizeof existing;
  if (GetClassInfoExA(GetModuleHandleA(nullptr), kWindowClass, &existing)) return true;
  WNDCLASSEXA window_class = {};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = DefWindowProcA;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = kWindowClass;
  return RegisterClassExA(&window_class) != 0;
}

}  // namespace

CHostPlayer::CHostPlayer(CPlayerOptions options, std::vector<CPlaylistEntry> playlist)
    : options_(std::move(options)), entries_(std::move(playlist)) {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].kind != CPlaylistEntry::Kind::kTrack) continue;
    const CPlaylistEntry& entry = entries_[i];
    std::size_t position = 0;
    while (position < position_first_track_.size()) {
      const CPlaylistEntry& first = entries_[tracks_[position_first_track_[position]]];
      if (first.has_path == entry.has_path && first.path == entry.path) break;
      ++position;
    }
    if (position == position_first_track_.size()) position_first_track_.push_back(tracks_.size());
    tracks_.push_back(i);
    track_positions_.push_back(position);
  }
  current_ = entries_.size();
  QueryPerformanceFrequency(&frequency_);
  QueryPerformanceCounter(&loaded_at_);
}

CHostPlayer::~CHostPlayer() {
  if (window_ != nullptr) DestroyWindow(window_);
}

std::string CHostPlayer::Printable(const char* text) {
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (*p < 0x20 || *p >= 0x7F || *p == '"') {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", *p);
      out += escape;
    } else {
      out += static_cast<char>(*p);
    }
  }
  return out;
}

double CHostPlayer::Seconds() const {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart - loaded_at_.QuadPart) /
         static_cast<double>(frequency_.QuadPart);
}

void CHostPlayer::Print(const char* format, ...) {
  if (options_.out == nullptr) return;
  std::fprintf(options_.out, "[%8.3f] ", Seconds());
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(options_.out, format, arguments);
  va_end(arguments);
  std::fputc('\n', options_.out);
  std::fflush(options_.out);
}

bool CHostPlayer::Run(std::string* error) {
  char full_path[MAX_PATH];
  const DWORD length = GetFullPathNameA(options_.dll_path.c_str(), MAX_PATH, full_path, nullptr);
  if (length > 0 && length < MAX_PATH) options_.dll_path = full_path;
  if (!CreateHostWindow(error)) return false;
  if (!LoadPlugin(error)) return false;
  current_ = 0;
  EnterCurrent();
  SetTimer(window_, kPollTimer, kPollPeriodMs, nullptr);
  RunLoop();
  KillTimer(window_, kPollTimer);
  const bool unloaded = Unload(error);
  if (timed_out_) {
    *error = "the playlist did not end within " + std::to_string(options_.max_run_ms) + " ms";
    return false;
  }
  return unloaded;
}

// A hidden top-level window like a real player's main window; where the system offers no display
// (Wine without an X server), a message-only window, which answers the questions just as well.
bool CHostPlayer::CreateHostWindow(std::string* error) {
  if (!RegisterWindowClassOnce()) {
    *error = "cannot register the host window class";
    return false;
  }
  HINSTANCE instance = GetModuleHandleA(nullptr);
  window_ = CreateWindowExA(0, kWindowClass, "Velk simulated player", WS_OVERLAPPEDWINDOW, 0, 0,
                            320, 200, nullptr, nullptr, instance, nullptr);
  if (window_ == nullptr) {
    window_ = CreateWindowExA(0, kWindowClass, "Velk simulated player", 0, 0, 0, 0, 0, HWND_MESSAGE,
                              nullptr, instance, nullptr);
  }
  if (window_ == nullptr) {
    *error = "cannot create the host window (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CHostPlayer::WindowProc));
  return true;
}

bool CHostPlayer::LoadPlugin(std::string* error) {
  QueryPerformanceCounter(&loaded_at_);
  Print("load %s", options_.dll_path.c_str());
  module_ = LoadLibraryA(options_.dll_path.c_str());
  if (module_ == nullptr) {
    *error = "the DLL did not load (error " + std::to_string(GetLastError()) + ")";
    Print("%s", error->c_str());
    return false;
  }
  using GetPlugin = HostPluginDescriptor* (*)();
  auto get_plugin = reinterpret_cast<GetPlugin>(
      reinterpret_cast<void (*)()>(GetProcAddress(module_, "winampGetGeneralPurposePlugin")));
  descriptor_ = get_plugin != nullptr ? get_plugin() : nullptr;
  if (descriptor_ == nullptr || descriptor_->version != kHostDescriptorVersion) {
    *error = descriptor_ == nullptr ? "no descriptor from winampGetGeneralPurposePlugin"
                                    : "descriptor version " + std::to_string(descriptor_->version);
    Print("%s", error->c_str());
    FreeLibrary(module_);
    module_ = nullptr;
    return false;
  }
  description_ = descriptor_->description != nullptr ? descriptor_->description : "";
  Print("descriptor: version 0x%X, %s", static_cast<unsigned>(descriptor_->version),
        Quoted(descriptor_->description).c_str());
  descriptor_->hwndParent = window_;
  descriptor_->hDllInstance = module_;
  const int result = descriptor_->init();
  Print("init -> %d", result);
  return true;
}

void CHostPlayer::RunLoop() {
  MSG message;
  while (!finished_ && GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

bool CHostPlayer::Unload(std::string* error) {
  if (options_.call_quit) {
    Print("quit");
    descriptor_->quit();
  }
  if (options_.unload_delay_ms > 0) {
    const ULONGLONG until = GetTickCount64() + options_.unload_delay_ms;
    for (ULONGLONG now = GetTickCount64(); now < until; now = GetTickCount64()) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(until - now), QS_ALLINPUT);
      MSG message;
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    }
  }
  Print("FreeLibrary");
  const double freed_at = Seconds();
  FreeLibrary(module_);
  module_ = nullptr;
  descriptor_ = nullptr;
  const ULONGLONG deadline = GetTickCount64() + options_.unload_wait_ms;
  while (PluginStillLoaded()) {
    if (GetTickCount64() >= deadline) {
      if (!options_.call_quit) return true;
      *error = "the module was still loaded " + std::to_string(options_.unload_wait_ms) +
               " ms after FreeLibrary";
      Print("%s", error->c_str());
      return false;
    }
    PumpAfterFree(2);
  }
  unload_ms_ = (Seconds() - freed_at) * 1000.0;
  Print("unloaded (%.0f ms after FreeLibrary)", unload_ms_);
  const ULONGLONG quiet_until = GetTickCount64() + options_.after_unload_ms;
  for (ULONGLONG now = GetTickCount64(); now < quiet_until; now = GetTickCount64()) {
    PumpAfterFree(static_cast<DWORD>(quiet_until - now));
  }
  return true;
}

bool CHostPlayer::PluginStillLoaded() const {
  HMODULE still = nullptr;
  return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, options_.dll_path.c_str(),
                            &still) != FALSE;
}

void CHostPlayer::PumpAfterFree(DWORD ms) {
  MsgWaitForMultipleObjects(0, nullptr, FALSE, ms, QS_ALLINPUT);
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    // The player's own timers all have its window, so a timer message without one is the
    // plug-in's. (Its lParam names the procedure, but Wine hands out a handle there.)
    if (message.message == WM_TIMER && message.hwnd == nullptr) {
      if (!PluginStillLoaded()) {
        ++ticks_unmapped_;
        continue;
      }
      ++ticks_after_free_;
    }
    DispatchMessageA(&message);
  }
}

LRESULT CALLBACK CHostPlayer::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<CHostPlayer*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self != nullptr) {
    switch (message) {
      case WM_USER:
        return self->Answer(wparam, lparam);
      case WM_TIMER:
        if (wparam == kPollTimer) self->Poll();
        return 0;
      case kRunConfigMessage:
        self->CallConfig();
        return 0;
      case kFinishMessage:
        self->finished_ = true;
        return 0;
      default:
        break;
    }
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

const CPlaylistEntry* CHostPlayer::TrackAt(std::intptr_t index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= tracks_.size()) return nullptr;
  return &entries_[tracks_[static_cast<std::size_t>(index)]];
}

const CPlaylistEntry* CHostPlayer::EntryAtPosition(std::uintptr_t position) const {
  if (position >= position_first_track_.size()) return nullptr;
  return TrackAt(static_cast<std::intptr_t>(position_first_track_[position]));
}

// Runs on the player's thread, from the plug-in's SendMessageA; answers from the track in force.
LRESULT CHostPlayer::Answer(WPARAM wparam, LPARAM lparam) {
  const std::intptr_t operation = static_cast<std::intptr_t>(lparam);
  const CPlaylistEntry* track = TrackAt(current_track_);
  std::intptr_t answer = 0;
  std::string text;
  switch (operation) {
    case kHostIsPlaying:
      answer = track != nullptr ? track->play_state : 0;
      if (!waiting_config_ && current_ < entries_.size()) ++line_questions_;
      text = "-> " + std::to_string(answer);
      break;
    case kHostGetListPos:
      answer = current_track_ < 0 ? 0
                                  : static_cast<std::intptr_t>(
                                        track_positions_[static_cast<std::size_t>(current_track_)]);
      text = "-> " + std::to_string(answer);
      break;
    case kHostGetPlaylistFile: {
      const CPlaylistEntry* entry = EntryAtPosition(wparam);
      const char* path = entry != nullptr && entry->has_path ? entry->path.c_str() : nullptr;
      answer = reinterpret_cast<std::intptr_t>(path);
      text = std::to_string(static_cast<unsigned long long>(wparam)) + " -> " + Quoted(path);
      break;
    }
    case kHostGetExtendedFileInfo:
      answer = AnswerTag(reinterpret_cast<const HostExtendedFileInfo*>(wparam), &text);
      break;
    default:
      text = "wParam " + std::to_string(static_cast<unsigned long long>(wparam)) + " -> 0";
      break;
  }
  const char* name = OperationName(operation);
  CHostQuestion question;
  question.seconds = Seconds();
  question.operation = operation;
  question.text = name != nullptr ? std::string(name) + " " + text
                                  : "unknown question " + std::to_string(operation) + ", " + text;
  if (options_.print_questions || name == nullptr) Print("ask %s", question.text.c_str());
  questions_.push_back(std::move(question));
  return static_cast<LRESULT>(answer);
}

// Looks the file up by path (the track in force first, then the playlist in order) and copies the
// tag's value into the caller's buffer, cut to its size, as a player does.
std::intptr_t CHostPlayer::AnswerTag(const HostExtendedFileInfo* request, std::string* text) {
  if (request == nullptr) {
    *text = "with no record -> 0";
    return 0;
  }
  *text = (request->metadata != nullptr ? std::string(request->metadata) : "(null)") + " of " +
          Quoted(request->filename);
  if (request->metadata == nullptr || request->ret == nullptr || request->retlen <= 0 ||
      request->retlen > kLargestAnswerBuffer) {
    *text += " with answer size " + std::to_string(request->retlen) + " -> 0 (bad record)";
    return 0;
  }
  const CPlaylistEntry* file = nullptr;
  if (request->filename != nullptr) {
    const CPlaylistEntry* track = TrackAt(current_track_);
    if (track != nullptr && track->has_path && track->path == request->filename) {
      file = track;
    }
    for (std::size_t i = 0; file == nullptr && i < tracks_.size(); ++i) {
      const CPlaylistEntry& entry = entries_[tracks_[i]];
      if (entry.has_path && entry.path == request->filename) file = &entry;
    }
  }
  const std::string* value = file != nullptr ? file->FindTag(request->metadata) : nullptr;
  if (value == nullptr) {
    *text += " -> 0";
    return 0;
  }
  const std::size_t room = static_cast<std::size_t>(request->retlen) - 1;
  const std::size_t length = value->size() < room ? value->size() : room;
  std::memcpy(request->ret, value->data(), length);
  request->ret[length] = '\0';
  *text += " -> " + Quoted(request->ret);
  return 1;
}

// Runs from the player's own timer, between plug-in ticks: moves on when the line's time is up.
void CHostPlayer::Poll() {
  if (current_ >= entries_.size()) return;
  // Outside config, whose dialog takes its time to open.
  const double now = Seconds();
  if (!waiting_config_ && (now - last_poll_) * 1000.0 > longest_stall_ms_) {
    longest_stall_ms_ = (now - last_poll_) * 1000.0;
  }
  last_poll_ = now;
  if (!timed_out_ && options_.max_run_ms > 0 && Seconds() * 1000.0 >= options_.max_run_ms) {
    timed_out_ = true;
    Print("time is up at playlist line %d", entries_[current_].line);
    // A dialog still open is cancelled; the playlist ends once config has returned.
    if (waiting_config_) {
      EnumThreadWindows(GetCurrentThreadId(), &CHostPlayer::CancelDialog, 0);
    } else {
      Finish();
    }
    return;
  }
  if (waiting_config_) return;
  const CPlaylistEntry& entry = entries_[current_];
  const bool done = entry.unit == CPlaylistEntry::Unit::kQuestions
                        ? line_questions_ >= entry.amount
                        : (Seconds() - line_started_) * 1000.0 >= static_cast<double>(entry.amount);
  if (done) Advance();
}

void CHostPlayer::Advance() {
  if (current_ >= entries_.size()) return;
  ++current_;
  EnterCurrent();
}

// Puts entries_[current_] in force, running marks at once and handing config to the loop, until a
// track line is in force or the playlist has ended.
void CHostPlayer::EnterCurrent() {
  for (; current_ < entries_.size(); ++current_) {
    const CPlaylistEntry& entry = entries_[current_];
    if (entry.kind == CPlaylistEntry::Kind::kTrack) {
      ++current_track_;
      line_questions_ = 0;
      line_started_ = Seconds();
      // A path converted from UTF-8 is shown as the playlist spells it, for people to read.
      const std::string path = entry.code_page == 0 || !entry.has_path
                                   ? Quoted(entry.has_path ? entry.path.c_str() : nullptr)
                                   : "\"" + entry.written_path + "\" (code page " +
                                         std::to_string(entry.code_page) + ")";
      Print("track %lld: %s, %s", static_cast<long long>(current_track_ + 1),
            PlayStateName(entry.play_state).c_str(), path.c_str());
      return;
    }
    if (entry.kind == CPlaylistEntry::Kind::kConfig) {
      waiting_config_ = true;
      PostMessageA(window_, kRunConfigMessage, 0, 0);
      return;
    }
    Print("mark %s", entry.mark.c_str());
    if (options_.on_mark) options_.on_mark(entry.mark);
  }
  Finish();
}

void CHostPlayer::CallConfig() {
  ++config_calls_;
  Print("config");
  descriptor_->config();
  Print("config returned");
  waiting_config_ = false;
  last_poll_ = Seconds();
  if (timed_out_) {
    Finish();
  } else {
    Advance();
  }
}

BOOL CALLBACK CHostPlayer::CancelDialog(HWND window, LPARAM) {
  char class_name[16] = {};
  GetClassNameA(window, class_name, sizeof class_name);
  if (std::strcmp(class_name, "#32770") == 0) {
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  }
  return TRUE;
}

void CHostPlayer::Finish() {
  current_ = entries_.size();
  Print("end of playlist");
  PostMessageA(window_, kFinishMessage, 0, 0);
}
