// Keeps DLLs that were left next to the launcher out of it.
#ifndef LAUNCHER_HARDEN_H
#define LAUNCHER_HARDEN_H

// Narrows where Windows looks for the DLLs it loads on the launcher's behalf
// to the system folder, as far as the running Windows allows. Call it before
// anything that may load a DLL; whatever Windows answers, the launch goes on.
void HardenDllSearch(void);

#endif
