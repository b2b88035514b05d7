// The Win32 implementations of the platform seam, one accessor per area, for module load and tests.
#pragma once

#include "platform/platform.h"

// Asks the window whose handle the host writes into `*window_slot` (the descriptor's hwndParent),
// read afresh at every question, so the host may fill it in after the module has loaded.
CHostLink& Win32HostLink(void* const* window_slot);
CThreads& Win32Threads();
CSystem& Win32System();
CRegistry& Win32Registry();
CInternet& Win32Internet();
CDialogs& Win32Dialogs();
