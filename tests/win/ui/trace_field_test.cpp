// The debug window's trace field keeps each trace line on one line: a line
// wider than the window scrolls sideways instead of wrapping.
#include <richedit.h>

#include <cstdio>
#include <string>

#include "tests/win/ui/ui_support.h"
#include "ui/debug_dlg.h"
#include "ui/threads.h"

namespace {

class TraceFieldTest : public UiTest {};

TEST_F(TraceFieldTest, ALineWiderThanTheWindowScrollsInsteadOfWrapping) {
  CMyThread* thread = StartDebugWindowThread();
  ASSERT_NE(thread, nullptr);
  HWND field = thread->DebugDialog()->TraceField();
  ASSERT_NE(field, nullptr);
  RECT client;
  GetClientRect(field, &client);

  // Far wider than the field: 100 groups of "%02X ".
  uint8_t bytes[100];
  for (int i = 0; i < 100; ++i) bytes[i] = static_cast<uint8_t>(i);
  std::string line(22, ' ');
  for (int i = 0; i < 100; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X ", bytes[i]);
    line += hex;
  }
  thread->DebugDialog()->Append(line.c_str(), line.size());
  thread->DebugDialog()->Append("\r\n", 2);

  // One paragraph of text and the empty one after its break: two lines.
  EXPECT_EQ(SendMessageA(field, EM_GETLINECOUNT, 0, 0), 2);
  // The end of the line lies beyond the field's right edge.
  POINTL at = {};
  SendMessageA(field, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&at), static_cast<LPARAM>(line.size() - 1));
  EXPECT_GT(at.x, client.right);
  EndDebugWindowThread(thread);
}

}  // namespace
