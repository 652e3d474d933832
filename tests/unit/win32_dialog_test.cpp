// The Win32 dialog thunk, on a real dialog of the system's dialog manager
// (Windows builds only): what the wizard's procedure answers must reach the
// control that asked.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "common/update_state.h"
#include "flow/wizard.h"
#include "platform/platform.h"

namespace {

LRESULT g_answer = -1;
std::vector<int> g_commands;

// Runs the wizard's own procedure for WM_SETCURSOR while the wizard is busy,
// as a control under the mouse asks its dialog; sends two commands, a click
// and another notification of the button; then closes.
int BusyWizard(PlatformWindow window, DialogEvent event) {
  if (event.kind == kDialogOpened) {
    UpdateState.WizardBusy = 1;
    HWND dialog = static_cast<HWND>(window);
    g_answer = SendMessageW(dialog, WM_SETCURSOR, WPARAM(GetDlgItem(dialog, 1)), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    UpdateState.WizardBusy = 0;
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(1, BN_SETFOCUS), LPARAM(GetDlgItem(dialog, 1)));
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(1, BN_CLICKED), LPARAM(GetDlgItem(dialog, 1)));
    EndDialog(dialog, 7);
    return 0;
  }
  if (event.kind == kDialogCommand) g_commands.push_back(event.command);
  return WizardProc(window, event);
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
  EXPECT_EQ(g_commands, std::vector<int>{1}) << "a click is a command; other notifications are not";
}

}  // namespace
