#include "ui/winapp.h"

#include <cstdlib>

CWinApp* CWinApp::current_ = nullptr;

CWinApp::CWinApp(const char* app_name) : m_pszAppName(app_name ? app_name : "fwupdate") { current_ = this; }

CWinApp::~CWinApp() {
  if (current_ == this) current_ = nullptr;
}

CWinApp* AfxGetApp() { return CWinApp::Current(); }

HINSTANCE AfxGetInstanceHandle() {
  CWinApp* app = CWinApp::Current();
  return app && app->m_hInstance ? app->m_hInstance : GetModuleHandleA(nullptr);
}

// The framework's entry point: run the one application object and end with 0.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  CWinApp* app = CWinApp::Current();
  if (app) {
    app->m_hInstance = instance;
    app->m_argc = __argc;
    app->m_argv = __argv;
    app->InitInstance();
  }
  return 0;
}
