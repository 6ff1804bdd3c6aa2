// The application object: owner of the run's shared state.
#pragma once
#include <windows.h>

#include <string>

#include "app/app_state.h"
#include "app/cmdline.h"
#include "ui/winapp.h"

class CUpdateApp : public CWinApp, public UpdateState {
 public:
  CUpdateApp();
  ~CUpdateApp() override;
  BOOL InitInstance() override;

  // Names derived from the program's own module file name.
  std::string executable_path;
  std::string log_file_path;
  CommandLine command_line;
};

// The version caption ("FileDescription ProductVersion"), set at start-up.
extern std::string g_version_caption;
