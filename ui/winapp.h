// The application object of our small dialog layer over plain Win32.
#pragma once
#include <windows.h>

class CWinApp {
 public:
  explicit CWinApp(const char* app_name = nullptr);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // The whole program runs here; the process ends with exit status 0
  // whatever it returns (no main window is ever registered).
  virtual BOOL InitInstance() { return FALSE; }

  HINSTANCE m_hInstance = nullptr;
  const char* m_pszAppName = nullptr;  // "fwupdate", the module's base name

  // Arguments as the C runtime split them (argument 0 is the program path).
  int m_argc = 0;
  char** m_argv = nullptr;

  static CWinApp* Current() { return current_; }

 private:
  static CWinApp* current_;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();

// Where dialog templates and icons are loaded from: the program's own module
// unless another one was set (tests load the program's resources as data).
HINSTANCE AfxGetResourceHandle();
void AfxSetResourceHandle(HINSTANCE resources);

// Loads the rich edit control library, version 1 (riched32.dll, window class
// "RICHEDIT"), once per process. FALSE when it cannot be loaded.
BOOL AfxInitRichEdit();
// The application's name for message box captions ("fwupdate" without an app).
const char* AfxGetAppName();
