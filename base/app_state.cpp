#include "base/app_state.h"

namespace {
UpdateState g_fallback_state;
UpdateState* g_state = &g_fallback_state;
}  // namespace

UpdateState& AppState() { return *g_state; }
void SetAppState(UpdateState* state) { g_state = state ? state : &g_fallback_state; }
