// Resource identifiers of the installer's program file.
#pragma once

#define IDI_WINDOWSPROJECT2 107
#define IDI_SMALL 108
