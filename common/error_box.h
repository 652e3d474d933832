// The updater's two error boxes: an error icon and a single OK button, owned
// by the wizard while it is open and by nothing otherwise.
#pragma once

// Captioned with UpdaterCaption: the archive, the start-up, the run.
void ShowUpdaterError(const char* text);
// Captioned "INSTCMMN": missing keys and structural errors of SETUP.INI.
void ShowCommonError(const char* text);

// The same boxes for a message formatted first, as the platform's wsprintfA
// formats (FormatText), into a buffer of kLongTextSize bytes, which holds the
// longest message. A text that is not a format (the script's notice, which
// may hold per cent signs) goes to the two above.
void ShowUpdaterErrorF(const char* format, ...);
void ShowCommonErrorF(const char* format, ...);
