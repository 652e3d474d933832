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

namespace {

void ShowFormatted(void (*show)(const char*), const char* format, va_list args) {
  char message[kLongTextSize];
  FormatTextV(message, sizeof message, format, args);
  show(message);
}

}  // namespace

void ShowUpdaterErrorF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  ShowFormatted(ShowUpdaterError, format, args);
  va_end(args);
}

void ShowCommonErrorF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  ShowFormatted(ShowCommonError, format, args);
  va_end(args);
}
