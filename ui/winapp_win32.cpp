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

namespace {
HINSTANCE g_resource_handle = nullptr;
}  // namespace

HINSTANCE AfxGetResourceHandle() { return g_resource_handle ? g_resource_handle : AfxGetInstanceHandle(); }

void AfxSetResourceHandle(HINSTANCE resources) { g_resource_handle = resources; }

BOOL AfxInitRichEdit() {
  // The library stays loaded until the process ends: its window class must
  // outlive every control made from it.
  static HMODULE library = LoadLibraryA("RICHED32.DLL");
  return library != nullptr;
}

const char* AfxGetAppName() {
  CWinApp* app = CWinApp::Current();
  return app && app->m_pszAppName ? app->m_pszAppName : "fwupdate";
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
