// Giving back at unload what the DLL's static C++ runtime keeps for the life of the module.
#pragma once

// Closes the locks the runtime made for this module (its unwinder's and its thread-local
// storage's). Unload only, from DllMain on a FreeLibrary: no code of the module runs on any other
// thread any more, and the runtime's own teardown that follows takes those locks uncontended,
// which never touches the closed handles.
void CloseRuntimeLocks();
