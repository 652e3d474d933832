// The wizard: a modal dialog over three pages (start, confirmation, run)
// with the buttons "次へ" (1), "中止" (2) and "戻る" (4). The run itself is
// performed inside the command handler of "次へ" on the confirmation page.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// What the wizard's dialog ends with: the update done (or nothing to do), or
// interrupted (a failure, "中止", the close box).
enum : intptr_t { kWizardDone = 0, kWizardInterrupted = -1 };

// The dialog procedure: the dialog opened, a command, the cursor due.
int WizardProc(PlatformWindow window, DialogEvent event);

void InitWizard(PlatformWindow window);
void ShowConfirmPage(PlatformWindow window);
// Enables or disables "戻る", "次へ" and "中止", in that order.
void SetWizardButtons(PlatformWindow window, int back, int next, int cancel);

// Formats into a 1,024-byte buffer (a longer result is cut) and makes it the
// text of the Info control 1001.
void SetInfoText(PlatformWindow window, const char* format, ...);

// "次へ" on the confirmation page, with WizardBusy set: runs the update
// (flow/file_update.h) with the Info text as its report and a box as its
// disc prompt, and leaves the wizard stopped for disk space (Back and Cancel
// usable), completed ("完了"), or ended with kWizardInterrupted.
void RunFileUpdate(PlatformWindow window);
