#include "app/update_app.h"

std::string g_version_caption;

CUpdateApp::CUpdateApp() { SetAppState(this); }

CUpdateApp::~CUpdateApp() { SetAppState(nullptr); }

BOOL CUpdateApp::InitInstance() { return FALSE; }
