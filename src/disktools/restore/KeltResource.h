// The companion program Kelt, carried as an RCDATA resource of the program.
#pragma once

#define IDR_KELT 3001
