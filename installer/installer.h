// The installer's three routines. `wmain` only hands its arguments to RunInstaller, so the whole
// program can be driven through the platform seam (installer_platform.h).
#pragma once

// Places both provider DLLs and registers the provider with CNG; with prompt nonzero it asks first.
// Returns 1 when everything is in place, 0 on refusal or failure (after printing the failure's line).
int InstallProvider(int prompt);

// Takes the provider off the "KEY_STORAGE" function, unregisters it and deletes the installed DLLs.
// What is already absent counts as removed. Returns 0 only when an installed DLL exists and could not
// be deleted (reported on the console unless silent), 1 otherwise.
int UninstallProvider(int silent);

// The command line: "-install", "-uninstall" or nothing. Returns the process exit code.
int RunInstaller(int argc, wchar_t **argv);
