// ShellExecuteA lives in windows.h in the host build; ShellExecuteW is only
// looked up.
#include "windows.h"
