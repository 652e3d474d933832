// The native platform with message boxes that show nothing, for fuzzing.
#pragma once

void UseQuietPlatform();
