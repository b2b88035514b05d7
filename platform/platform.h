// The seam between the plug-in's portable logic and the operating system.
//
// The portable code never includes <windows.h>. Everything it asks of the system goes through the
// interfaces below; the application-framework stand-in (framework/) is built on them. Module load
// installs the Win32 implementation (platform/win32); unit tests install in-memory fakes
// (platform/fake). Handles are opaque pointers; texts are single-byte ANSI and are never converted.
// Method names never repeat a Win32 function's name, since <windows.h> turns many of those into
// macros.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

// ---------------------------------------------------------------------------------------------
// Host link: synchronous questions to the player's main window.

// Message number and operation numbers of the player's window-message interface.
constexpr unsigned kHostMessage = 1024;  // WM_USER
constexpr std::intptr_t kIpcIsPlaying = 104;
constexpr std::intptr_t kIpcGetListPos = 125;
constexpr std::intptr_t kIpcGetPlaylistFile = 211;
constexpr std::intptr_t kIpcGetExtendedFileInfo = 290;

// The record passed by address with kIpcGetExtendedFileInfo; it lives only for the one question.
// The host reads it as four 32-bit fields on 32-bit Windows, so the field order and types are
// fixed.
struct ExtendedFileInfoRequest {
  const char* FileName;     // the path from kIpcGetPlaylistFile; may be null
  const char* TagName;      // a tag name in capitals, such as "ARTIST"
  char* Answer;             // where the host writes the value, zero-terminated
  std::int32_t AnswerSize;  // bytes available at Answer, terminator included
};

// Checked wherever pointers are 4 bytes (the i686 build); elsewhere the condition holds trivially.
static_assert(sizeof(void*) != 4 || (sizeof(ExtendedFileInfoRequest) == 16 &&
                                     offsetof(ExtendedFileInfoRequest, FileName) == 0 &&
                                     offsetof(ExtendedFileInfoRequest, TagName) == 4 &&
                                     offsetof(ExtendedFileInfoRequest, Answer) == 8 &&
                                     offsetof(ExtendedFileInfoRequest, AnswerSize) == 12),
              "the host reads ExtendedFileInfoRequest as four 32-bit fields");

class CHostLink {
 public:
  virtual ~CHostLink() = default;
  // Sends kHostMessage with `wparam` and the operation number `lparam` to the host window and
  // returns the answer. Window thread only. Answers 0 while the host has not yet written its
  // window handle into the plug-in descriptor.
  virtual std::intptr_t AskHost(std::uintptr_t wparam, std::intptr_t lparam) = 0;
};

// ---------------------------------------------------------------------------------------------
// Threads, timers and memory.

using WorkerProc = unsigned (*)(void* arg);
using TimerProc = void (*)();

class CThreads {
 public:
  virtual ~CThreads() = default;
  // Starts `proc(arg)` on a new thread: normal priority, default stack, started at once. Returns
  // false when no thread could be started; `proc` then never runs and `arg` is still the caller's.
  // On Windows the thread holds a reference on the plug-in module until `proc` has returned, so the
  // host may unload the DLL while a worker runs. Whatever `proc` throws ends the thread quietly.
  virtual bool StartWorker(WorkerProc proc, void* arg) = 0;
  // Starts `proc(arg)` on a new thread as StartWorker does and waits up to `timeout_ms` for it to
  // end. kStillRunning: the thread runs on unjoined (on Windows with its own module reference) and
  // `arg` must stay valid until `proc` returns. kNotStarted: `proc` never runs. Any thread.
  enum class WaitOutcome { kEnded, kStillRunning, kNotStarted };
  virtual WaitOutcome RunWorkerFor(WorkerProc proc, void* arg, unsigned timeout_ms) = 0;
  // Starts a thread timer with no window on the calling thread; `proc` then runs on this thread,
  // from its message dispatch, every `period_ms`. Returns the timer's identifier, or 0 on failure.
  // A tick whose `proc` throws ends there; the timer goes on.
  // On Windows a running timer holds a reference on the plug-in module, so no tick can ever reach
  // an unmapped module: a host that frees the library without calling quit leaves the plug-in
  // loaded and its timer ticking until the process ends.
  virtual std::uintptr_t StartThreadTimer(unsigned period_ms, TimerProc proc) = 0;
  // Stops the timer, from any thread: `proc` never starts again once this returns. Only the thread
  // that started a timer can kill it, so on that thread the timer is killed at once and, on
  // Windows, gives its module reference back (the caller must hold one of its own, as the host does
  // while it calls quit); on any other thread it is only marked, and its next tick kills it instead
  // of running `proc`, then lets the module reference go. An unknown identifier does nothing.
  virtual void StopThreadTimer(std::uintptr_t timer_id) = 0;
  // Process-lifetime, zero-filled memory (GlobalAlloc). Returns nullptr on failure.
  virtual void* AllocateZeroed(std::size_t bytes) = 0;
  virtual void Release(void* memory) = 0;
};

// ---------------------------------------------------------------------------------------------
// Runtime, sockets, messages and the shell.

constexpr int kShowMaximized = 3;  // SW_SHOWMAXIMIZED

class CSystem {
 public:
  virtual ~CSystem() = default;
  // setlocale(LC_ALL, locale); the result is not reported.
  virtual void SetRuntimeLocale(const char* locale) = 0;
  // Initialises Windows sockets for this process. Returns false on failure.
  virtual bool StartSockets() = 0;
  // A modal message box with a single OK button on the calling thread; returns once the user has
  // closed it. The calling thread's messages (timer ticks included) keep being dispatched
  // meanwhile.
  virtual void ShowMessage(const char* text) = 0;
  // The system's message text for an error code, in the user's default language, with trailing
  // line ends removed; empty when the system has none.
  virtual std::string SystemErrorText(long code) = 0;
  // ShellExecuteA with no owner window; the result is not reported.
  virtual void ShellOpen(const char* verb, const char* file, const char* parameters,
                         const char* directory, int show_command) = 0;
};

// ---------------------------------------------------------------------------------------------
// Registry: keys under HKEY_CURRENT_USER.

using RegKey = void*;
enum class RegAccess { kAllAccess, kSetValue, kQueryValue };
constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorMoreData = 234;

class CRegistry {
 public:
  virtual ~CRegistry() = default;
  // Creates or opens HKEY_CURRENT_USER\`subkey`, non-volatile, default security. Returns 0 and sets
  // *key on success; otherwise returns the system error code and leaves *key alone.
  virtual long CreateUserKey(const char* subkey, RegAccess access, RegKey* key) = 0;
  // Opens an existing HKEY_CURRENT_USER\`subkey`. Same contract as CreateUserKey.
  virtual long OpenUserKey(const char* subkey, RegAccess access, RegKey* key) = 0;
  // Reads the data of value `name` into `buffer`, whose capacity is *size bytes; the type is
  // neither asked for nor reported. On success returns 0 and sets *size to the data size.
  // kErrorMoreData when the data does not fit; kErrorFileNotFound when the value is missing.
  virtual long QueryValueBytes(RegKey key, const char* name, unsigned char* buffer,
                               std::uint32_t* size) = 0;
  // Writes `size` bytes of `text` as a REG_SZ value. Returns 0 or the system error code.
  virtual long SetTextValue(RegKey key, const char* name, const char* text, std::uint32_t size) = 0;
  virtual void CloseKey(RegKey key) = 0;
};

// ---------------------------------------------------------------------------------------------
// Internet: a session, an HTTP connection and a request over the system's internet library.

using NetHandle = void*;

// Thrown by every CInternet operation but AddRequestHeaders when the library reports failure;
// stands in for the framework's internet exception. `Code()` is the system error code.
class CInternetException : public std::exception {
 public:
  explicit CInternetException(unsigned long code) : code_(code) {}
  const char* what() const noexcept override { return "internet operation failed"; }
  unsigned long Code() const { return code_; }

 private:
  unsigned long code_;
};

constexpr std::uint32_t kRequestFlags = 0xa4000000u;  // RELOAD | EXISTING_CONNECT | NO_CACHE_WRITE
constexpr std::uint32_t kSecureRequestFlag = 0x00800000u;  // INTERNET_FLAG_SECURE: TLS
constexpr std::uint32_t kAddHeaderIfNew = 0x10000000u;     // HTTP_ADDREQ_FLAG_ADD_IF_NEW

class CInternet {
 public:
  virtual ~CInternet() = default;
  // A session with no agent name, context 1 and the system's preconfigured access type.
  virtual NetHandle OpenSession() = 0;
  // An HTTP connection to `host`:`port`, no user name or password.
  virtual NetHandle ConnectHttp(NetHandle session, const char* host, std::uint16_t port) = 0;
  // A request for `object` with `verb`: no referer, no accept types, default version, context 1.
  virtual NetHandle OpenRequest(NetHandle connection, const char* verb, const char* object,
                                std::uint32_t flags) = 0;
  // Bounds connecting, sending and receiving on `handle` to `timeout_ms` each.
  virtual void SetTimeouts(NetHandle handle, std::uint32_t timeout_ms) = 0;
  // Sends the request with `headers` (zero-terminated) as additional headers and no body.
  virtual void SendRequest(NetHandle request, const char* headers) = 0;
  // Adds zero-terminated `headers` with `flags`; reports failure only through its result.
  virtual bool AddRequestHeaders(NetHandle request, const char* headers, std::uint32_t flags) = 0;
  // Starts the request with a body of `total_length` bytes (HSR_INITIATE, context 1).
  virtual void SendRequestEx(NetHandle request, std::uint32_t total_length) = 0;
  // Writes `size` bytes of the body.
  virtual void WriteRequestBody(NetHandle request, const char* data, std::size_t size) = 0;
  // Ends a request started with SendRequestEx.
  virtual void EndRequest(NetHandle request) = 0;
  // Releases a session, connection or request handle. Never throws.
  virtual void ReleaseHandle(NetHandle handle) = 0;
};

// ---------------------------------------------------------------------------------------------
// Dialogs: a modal dialog from this module's resources, and its controls.

using DialogWindow = void*;

// What the platform calls back into while a modal dialog runs (window thread).
class CDialogEvents {
 public:
  virtual ~CDialogEvents() = default;
  // The dialog window exists and its controls are created. Returns true to let the system put the
  // focus on the first tab stop.
  virtual bool DialogCreated(DialogWindow window) = 0;
  // A WM_COMMAND from control `control_id` with notification `notify_code`.
  virtual void DialogCommand(int control_id, int notify_code) = 0;
};

constexpr int kButtonClicked = 0;  // BN_CLICKED

class CDialogs {
 public:
  virtual ~CDialogs() = default;
  // Creates the dialog from template `template_id` of this module, with no owner window, and runs
  // its modal loop until EndModal. Returns the end code, or -1 if the dialog could not be created.
  virtual std::intptr_t RunModal(int template_id, CDialogEvents* events) = 0;
  virtual void EndModal(DialogWindow window, std::intptr_t result) = 0;
  virtual std::string GetItemText(DialogWindow window, int control_id) = 0;
  virtual void SetItemText(DialogWindow window, int control_id, const char* text) = 0;
  virtual int GetItemCheck(DialogWindow window, int control_id) = 0;
  virtual void SetItemCheck(DialogWindow window, int control_id, int state) = 0;
  virtual void EnableItem(DialogWindow window, int control_id, bool enable) = 0;
  // True when template `template_id` of this module places the dialog at 0, 0, which the
  // framework takes as a request to centre it; false also when there is no such template.
  virtual bool TemplateAtOrigin(int template_id) = 0;
  // Centres the dialog on the work area of the screen it is on.
  virtual void CenterDialog(DialogWindow window) = 0;
};

// ---------------------------------------------------------------------------------------------
// The implementation in use.

struct CPlatform {
  CHostLink* host = nullptr;
  CThreads* threads = nullptr;
  CSystem* system = nullptr;
  CRegistry* registry = nullptr;
  CInternet* internet = nullptr;
  CDialogs* dialogs = nullptr;
};

// The implementation in use. Set once by module load (Win32) or by a test fixture (fakes), before
// any timer or worker thread exists; read from any thread afterwards.
CPlatform& Platform();
void UsePlatform(const CPlatform& platform);

// The system's bounded formatter, which the framework's FormatBounded runs on: wvsprintfA on
// Windows (platform/win32), the C library's vsnprintf elsewhere (format_native.cpp). Formats
// `format`, whose only conversions are "%s" and "%d", with `args` into `out`, writing at most
// kSystemFormatLimit bytes including the terminating zero, and returns the length the whole text
// would have had: a result of kSystemFormatLimit or more means the text was cut.
constexpr std::size_t kSystemFormatLimit = 1024;
std::size_t FormatBoundedV(char* out, const char* format, va_list args);
