#include "fuzz/quiet_platform.h"

#include "platform/platform.h"

static int NoBox(PlatformWindow, const char*, const char*, uint32_t) { return kAnswerOk; }

void UseQuietPlatform() {
  static PlatformApi quiet = *NativePlatform();
  quiet.ShowMessageBox = NoBox;
  Os = &quiet;
}
