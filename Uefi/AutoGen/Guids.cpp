/** @file
  The one definition of each standard GUID this tree uses, with the values
  the UEFI and PI specifications and EDK II's MdePkg/MdeModulePkg give them.
  An EDK II build generates the same definitions from the package files.
**/

#include <Uefi.h>
#include <Guid/FmpCapsule.h>
#include <Guid/HobList.h>
#include <Guid/HostPortSpace.h>
#include <Guid/SystemResourceTable.h>
#include <Protocol/DevicePath.h>
#include <Protocol/EsrtManagement.h>
#include <Protocol/GraphicsOutput.h>
#include <Protocol/UsbIo.h>

EFI_GUID  gEfiDevicePathProtocolGuid     = EFI_DEVICE_PATH_PROTOCOL_GUID;
EFI_GUID  gEfiUsbIoProtocolGuid          = EFI_USB_IO_PROTOCOL_GUID;
EFI_GUID  gEfiGraphicsOutputProtocolGuid = EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID;
EFI_GUID  gEsrtManagementProtocolGuid    = ESRT_MANAGEMENT_PROTOCOL_GUID;
EFI_GUID  gEfiSystemResourceTableGuid    = EFI_SYSTEM_RESOURCE_TABLE_GUID;
EFI_GUID  gEfiHobListGuid                = HOB_LIST_GUID;
EFI_GUID  gEfiFmpCapsuleGuid             = EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID;
EFI_GUID  gHostPortSpaceGuid             = HOST_PORT_SPACE_GUID;
