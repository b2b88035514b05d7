// The application-object hook: the stand-in for the framework's application class.
#pragma once

// One object of a class derived from CWinApp lives in the module with static storage. Module load
// calls InitInstance once; when it returns false, ExitInstance runs and the load fails.
class CWinApp {
 public:
  CWinApp() = default;
  virtual ~CWinApp() = default;
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  virtual bool InitInstance() { return true; }
  virtual int ExitInstance() { return 0; }
};
