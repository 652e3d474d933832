#include "flow/wizard.h"

#include <cstdarg>
#include <initializer_list>

#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "flow/disc_copy.h"
#include "flow/file_update.h"
#include "resources/resource_ids.h"

void SetInfoText(PlatformWindow window, const char* format, ...) {
  char text[kLongTextSize];
  va_list args;
  va_start(args, format);
  FormatTextV(text, sizeof text, format, args);
  va_end(args);
  Os->SetItemText(window, IDC_INFO, text);
}

static void ShowAgreementControls(PlatformWindow window, int show) {
  for (int id : {IDC_AGREEMENT_TEXT, IDC_AGREE, IDC_DISAGREE}) Os->ShowItem(window, id, show);
}

void InitWizard(PlatformWindow window) {
  // Recorded first, so that every box from here on is owned by the wizard.
  UpdateState.WizardWindow = window;
  UpdateState.WizardBusy = 0;
  UpdateState.WizardPage = kStepShowConfirm;
  UpdateState.UpdateCompleted = 0;
  Os->SetCaption(window, UpdateState.UpdaterCaption);
  if (UpdateState.AgreementTitleBlock != nullptr) {
    SetInfoText(window, "%s", UpdateState.AgreementTitleBlock);  // shown literally, per cent signs too
  } else {
    char start[kLongTextSize];
    FormatText(start, sizeof start, kInfoStart, UpdateState.GameTitle);
    SetInfoText(window, "%s", start);
  }
  Os->EnableItem(window, IDC_BACK, 0);
  Os->EnableItem(window, IDC_CANCEL, 1);
  if (UpdateState.AgreementTextBlock != nullptr) {
    Os->EnableItem(window, IDC_NEXT, 0);
    Os->SetItemText(window, IDC_AGREEMENT_TEXT, UpdateState.AgreementTextBlock);
    for (int id : {IDC_AGREEMENT_TEXT, IDC_AGREE, IDC_DISAGREE}) Os->EnableItem(window, id, 1);
    Os->CheckRadio(window, IDC_AGREE, IDC_DISAGREE, IDC_DISAGREE);
    ShowAgreementControls(window, 1);
  } else {
    Os->EnableItem(window, IDC_NEXT, 1);
    ShowAgreementControls(window, 0);
  }
}

void SetWizardButtons(PlatformWindow window, int back, int next, int cancel) {
  Os->EnableItem(window, IDC_BACK, back);
  Os->EnableItem(window, IDC_NEXT, next);
  Os->EnableItem(window, IDC_CANCEL, cancel);
}

void ShowConfirmPage(PlatformWindow window) {
  SetInfoText(window, "%s", kInfoConfirm);
  SetWizardButtons(window, 0, 1, 1);
  ShowAgreementControls(window, 0);
}

// --- The run, seen from the wizard ---------------------------------------------------

namespace {

PlatformWindow WindowOf(void* context) { return static_cast<PlatformWindow>(context); }

// From here on the run changes the installation: no button until it ends.
void RunBegins(void* context) {
  PlatformWindow window = WindowOf(context);
  SetInfoText(window, "%s", kInfoRunning);
  SetWizardButtons(window, 0, 0, 0);
  Os->SetCursorShape(kCursorWait);
}

void RunProgress(void* context, const char* text) {
  SetInfoText(WindowOf(context), "%s", text);
  Os->RefreshWindow(WindowOf(context));  // the run keeps the window busy: show it now
}

int AskForDisc(void* context, int disc) {
  char message[kLongTextSize];
  DiscPromptText(disc, message, sizeof message);
  return Os->ShowMessageBox(WindowOf(context), message, UpdateState.UpdaterCaption, kBoxOkCancel) == kAnswerOk;
}

}  // namespace

void RunFileUpdate(PlatformWindow window) {
  UpdateState.UpdateCompleted = 0;
  RunSeat seat = {window, window, RunBegins, RunProgress, nullptr, AskForDisc};
  switch (RunUpdate(seat)) {
    case kRunShortOfSpace:
      SetWizardButtons(window, 1, 0, 1);  // "戻る" and "中止" until there is room
      return;
    case kRunFailed: Os->EndWizardDialog(window, kWizardInterrupted); return;
    case kRunCompleted:
    case kRunNothingToUpdate: break;
  }
  SetInfoText(window, "%s", kInfoCompleted);
  Os->SetItemText(window, IDC_NEXT, kTextFinish);
  Os->EnableItem(window, IDC_NEXT, 1);
  Os->FocusItem(window, IDC_NEXT);
  Os->SetCursorShape(kCursorArrow);
  UpdateState.UpdateCompleted = 1;
}

// "次へ" performs the step of the current page and advances by one; "戻る"
// performs the step that led to the previous page.
static void OnNextOrBack(PlatformWindow window, int id) {
  if (UpdateState.WizardBusy) return;  // a command from a nested message loop of the run
  UpdateState.WizardBusy = 1;
  SetInfoText(window, "%s", "");
  if (id == IDC_BACK) UpdateState.WizardPage = WizardStep(UpdateState.WizardPage - 2);
  switch (UpdateState.WizardPage) {
    case kStepShowConfirm: ShowConfirmPage(window); break;
    case kStepRunUpdate: RunFileUpdate(window); break;
    case kStepFinish: Os->EndWizardDialog(window, kWizardDone); break;
    default: break;
  }
  UpdateState.WizardPage = WizardStep(UpdateState.WizardPage + 1);
  UpdateState.WizardBusy = 0;
}

static void OnCommand(PlatformWindow window, int id) {
  switch (id) {
    case IDC_NEXT:
    case IDC_BACK: OnNextOrBack(window, id); break;
    case IDC_CANCEL:
      // Escape and the close box send this too, even while the button is
      // disabled: once every file is written, they finish as "完了" does.
      if (!UpdateState.WizardBusy)
        Os->EndWizardDialog(window, UpdateState.UpdateCompleted ? kWizardDone : kWizardInterrupted);
      break;
    case IDC_AGREE:
      Os->EnableItem(window, IDC_NEXT, 1);
      Os->CheckRadio(window, IDC_AGREE, IDC_DISAGREE, IDC_AGREE);
      break;
    case IDC_DISAGREE:
      Os->EnableItem(window, IDC_NEXT, 0);
      Os->CheckRadio(window, IDC_AGREE, IDC_DISAGREE, IDC_DISAGREE);
      break;
    default: break;
  }
}

int WizardProc(PlatformWindow window, DialogEvent event) {
  switch (event.kind) {
    case kDialogOpened: InitWizard(window); return 0;
    case kDialogCommand: OnCommand(window, event.command); return 0;
    case kDialogSetCursor:
      if (!UpdateState.WizardBusy) return 0;
      Os->SetCursorShape(kCursorWait);
      return 1;
  }
  return 0;
}
