// The updater's two error boxes: an error icon and a single OK button, owned
// by the wizard while it is open and by nothing otherwise.
#pragma once

// Captioned with UpdaterCaption: the archive, the start-up, the run.
void ShowUpdaterError(const char* text);
// Captioned "INSTCMMN": missing keys and structural errors of SETUP.INI.
void ShowCommonError(const char* text);
