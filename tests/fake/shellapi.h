// ShellExecuteA lives in windows.h in the host build.
#include "windows.h"
