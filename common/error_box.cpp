#include "common/error_box.h"

#include "common/update_state.h"
#include "platform/platform.h"

void ShowUpdaterError(const char* text) {
  Os->ShowMessageBox(UpdateState.WizardWindow, text, UpdateState.UpdaterCaption, kBoxOk | kBoxIconError);
}

void ShowCommonError(const char* text) {
  Os->ShowMessageBox(UpdateState.WizardWindow, text, "INSTCMMN", kBoxOk | kBoxIconError);
}
