#include "installer.h"

int wmain(int argc, wchar_t **argv) { return RunInstaller(argc, argv); }
