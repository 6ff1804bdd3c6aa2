// The one application object of fwupdate.exe.
#include "app/update_app_win32.h"

CUpdateApp theApp;
