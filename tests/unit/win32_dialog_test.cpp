// The Win32 dialog thunk, on a real dialog of the system's dialog manager
// (Windows builds only): what the wizard's procedure answers must reach the
// control that asked.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/update_state.h"
#include "flow/wizard.h"
#include "platform/platform.h"

namespace {

LRESULT g_answer = -1;

// Runs the wizard's own procedure for WM_SETCURSOR while the wizard is busy,
// as a control under the mouse asks its dialog, then closes.
intptr_t BusyWizard(PlatformWindow window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (message == kWindowInitDialog) {
    UpdateState.WizardBusy = 1;
    HWND dialog = static_cast<HWND>(window);
    g_answer = SendMessageW(dialog, WM_SETCURSOR, WPARAM(GetDlgItem(dialog, 1)), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    UpdateState.WizardBusy = 0;
    EndDialog(dialog, 7);
    return 0;
  }
  return WizardProc(window, message, wparam, lparam);
}

// While the run is busy the wait cursor stays up over the controls: the
// dialog answers the control's WM_SETCURSOR with TRUE, so the control does
// not put its own cursor back.
TEST(Win32DialogTest, BusyWizardAnswersSetCursorForItsControls) {
  ResetUpdateState();
  intptr_t result = NativePlatform()->RunDialog(100, BusyWizard);
  if (result == -1) GTEST_SKIP() << "no dialog can be made here (no display)";
  EXPECT_EQ(result, 7);
  EXPECT_EQ(g_answer, TRUE);
}

}  // namespace
