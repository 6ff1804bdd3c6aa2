#include "base/host.h"

namespace {
void NoSleep(uint32_t) {}
void NoMessage(const char*) {}
bool AnswerNo(const char*, const char*) { return false; }
void NoGuard(bool) {}
HostSeams g_host{NoSleep, NoMessage, AnswerNo, NoGuard};
}  // namespace

HostSeams& Host() { return g_host; }
void ResetHost() { g_host = HostSeams{NoSleep, NoMessage, AnswerNo, NoGuard}; }
