#include "common/error_box.h"

#include <cstdarg>

#include "common/text.h"
#include "common/update_state.h"
#include "platform/platform.h"

void ShowUpdaterError(const char* text) {
  Os->ShowMessageBox(UpdateState.WizardWindow, text, UpdateState.UpdaterCaption, kBoxOk | kBoxIconError);
}

void ShowCommonError(const char* text) {
  Os->ShowMessageBox(UpdateState.WizardWindow, text, "INSTCMMN", kBoxOk | kBoxIconError);
}

void ShowUpdaterErrorF(const char* format, ...) {
  char message[kLongTextSize];
  va_list args;
  va_start(args, format);
  FormatTextV(message, sizeof message, format, args);
  va_end(args);
  ShowUpdaterError(message);
}

void ShowCommonErrorF(const char* format, ...) {
  char message[kLongTextSize];
  va_list args;
  va_start(args, format);
  FormatTextV(message, sizeof message, format, args);
  va_end(args);
  ShowCommonError(message);
}
