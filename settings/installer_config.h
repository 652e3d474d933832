// The installer's configuration SETUP.INI in the installation folder, loaded
// and validated into UpdateState.InstallerConfig. The four shared values
// (CompanyName, GameTitle, GameDir, GameClass) replace the script's in
// UpdateState.
#pragma once

// Works through the keys in their fixed order and stops at the first
// failure: false when the updater must stop, after the messages of the
// failure (captioned "INSTCMMN").
int LoadInstallerConfig();
