/** @file
  Every EDK II header CameraUpdateDxe uses: the UEFI and PI definitions, the
  protocols and GUIDs, and the library classes, included here and nowhere
  else in the module.

  The driver is C++ and these headers are C. Their functions and GUID
  variables are defined by C code (the library instances, the build's
  AutoGen), so they are included with C linkage: without it the compiler
  would ask the linker for C++-mangled names that no library defines.
**/

#ifndef __CAMERA_UPDATE_FIRMWARE_INTERFACES_H__
#define __CAMERA_UPDATE_FIRMWARE_INTERFACES_H__

extern "C" {
#include <PiDxe.h>

#include <Guid/FmpCapsule.h>
#include <Guid/PlatformSetupVariable.h>

#include <Protocol/DevicePath.h>
#include <Protocol/EsrtManagement.h>
#include <Protocol/GraphicsOutput.h>
#include <Protocol/PlatformHook.h>
#include <Protocol/PlatformProgress.h>
#include <Protocol/UpdateTrigger.h>
#include <Protocol/UsbIo.h>

#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/DevicePathLib.h>
#include <Library/HobLib.h>
#include <Library/IoLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/TimerLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

#endif
