/** @file
  The one definition of each of the driver's own GUIDs, and of the GUIDs of
  the platform protocols it calls, which no package of this tree declares.
**/

#include "CameraUpdateDriver.h"

#include <Protocol/PlatformHook.h>

EFI_GUID  gUpdateTriggerProtocolGuid    = UPDATE_TRIGGER_PROTOCOL_GUID;
EFI_GUID  gPlatformHookProtocolGuid     = PLATFORM_HOOK_PROTOCOL_GUID;
EFI_GUID  gPlatformProgressProtocolGuid = PLATFORM_PROGRESS_PROTOCOL_GUID;
EFI_GUID  gPlatformHookRequestGuid      = PLATFORM_HOOK_REQUEST_GUID;
EFI_GUID  gSetupVariableGuid            = SETUP_VARIABLE_GUID;
