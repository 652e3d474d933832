#include "common/update_state.h"

#include "common/text.h"

static UpdateStateData InitialState() {
  UpdateStateData s{};
  CopyText(s.UpdaterCaption, sizeof s.UpdaterCaption, "UPDATE");
  s.ReportMissingKeys = 1;
  return s;
}

UpdateStateData UpdateState = InitialState();

void ResetUpdateState() { UpdateState = InitialState(); }
