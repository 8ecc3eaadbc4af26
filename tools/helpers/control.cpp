// The control of a planting test: started from the launcher's folder under
// the same settings, it loads the DLL its command line names by bare name,
// as Windows does on the launcher's behalf. If the plant does not show up
// here, a test that finds it missing from the launcher proves nothing.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR name, int)
{
    return LoadLibraryA(name) != NULL ? 0 : 1;
}
