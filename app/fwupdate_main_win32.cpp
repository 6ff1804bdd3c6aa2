// The one application object of fwupdate.exe.
#include "app/update_app.h"

CUpdateApp theApp;
