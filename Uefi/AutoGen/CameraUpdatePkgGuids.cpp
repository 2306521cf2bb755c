/** @file
  The one definition of each GUID CameraUpdatePkg.dec declares, with the
  values of the package's headers. An EDK II build generates the same
  definitions (AutoGen.c) from the .dec for the modules that list them.
**/

#include <Uefi.h>
#include <Guid/CameraUpdateVendor.h>
#include <Guid/PlatformSetupVariable.h>
#include <Protocol/PlatformHook.h>
#include <Protocol/PlatformProgress.h>
#include <Protocol/UpdateTrigger.h>

EFI_GUID  gCameraUpdateVendorGuid       = CAMERA_UPDATE_VENDOR_GUID;
EFI_GUID  gSetupVariableGuid            = PLATFORM_SETUP_VARIABLE_GUID;
EFI_GUID  gPlatformHookRequestGuid      = PLATFORM_HOOK_REQUEST_GUID;
EFI_GUID  gUpdateTriggerProtocolGuid    = UPDATE_TRIGGER_PROTOCOL_GUID;
EFI_GUID  gPlatformHookProtocolGuid     = PLATFORM_HOOK_PROTOCOL_GUID;
EFI_GUID  gPlatformProgressProtocolGuid = PLATFORM_PROGRESS_PROTOCOL_GUID;
