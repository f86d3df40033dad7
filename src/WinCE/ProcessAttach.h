// The library's process attach and detach, and the module-wide state they set up: the process
// identity and the show-attach-message setting.
#pragma once

#include "Platform/Types.h"

// One GUID per process, made at attach; every bridge reports it to the controller.
extern GUID g_ProcessGuid;
// The show-attach-message setting read at attach; 1 shows the attach message.
extern DWORD g_ShowAttachMessage;

// Set when attach failed: the load entry points then refuse with 0x80000000.
extern bool g_AttachFailed;

// Reads the start-up settings, sets the temporary directory, opens the log and makes the process
// identity. False when the identity cannot be made: the library then refuses to load.
bool ProcessAttach();
// Closes the log and resets the temporary directory.
void ProcessDetach();
