#include "Sim/Guid.h"

#include <cstdio>
#include <cstring>
#include <map>

#include <Guid/FmpCapsule.h>
#include <Guid/HobList.h>
#include <Guid/HostPortSpace.h>
#include <Guid/SystemResourceTable.h>
#include <Protocol/DevicePath.h>
#include <Protocol/EsrtManagement.h>
#include <Protocol/GraphicsOutput.h>
#include <Protocol/PlatformHook.h>
#include <Protocol/PlatformProgress.h>
#include <Protocol/UsbIo.h>

namespace Sim {

bool operator==(const EFI_GUID &A, const EFI_GUID &B) { return std::memcmp(&A, &B, sizeof(A)) == 0; }

bool GuidLess(const EFI_GUID &A, const EFI_GUID &B) { return std::memcmp(&A, &B, sizeof(A)) < 0; }

std::string GuidToString(const EFI_GUID &G) {
  char Text[40];
  std::snprintf(Text, sizeof(Text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", G.Data1, G.Data2,
                G.Data3, G.Data4[0], G.Data4[1], G.Data4[2], G.Data4[3], G.Data4[4], G.Data4[5], G.Data4[6],
                G.Data4[7]);
  return Text;
}

namespace {

std::map<EFI_GUID, std::string, GuidLessFn> &Names() {
  static std::map<EFI_GUID, std::string, GuidLessFn> Table = {
      {EFI_DEVICE_PATH_PROTOCOL_GUID, "DevicePath"},
      {EFI_USB_IO_PROTOCOL_GUID, "UsbIo"},
      {EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID, "GraphicsOutput"},
      {ESRT_MANAGEMENT_PROTOCOL_GUID, "EsrtManagement"},
      {EFI_SYSTEM_RESOURCE_TABLE_GUID, "Esrt"},
      {HOB_LIST_GUID, "HobList"},
      {EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID, "FmpCapsule"},
      {HOST_PORT_SPACE_GUID, "HostPortSpace"},
      {PLATFORM_HOOK_PROTOCOL_GUID, "PlatformHook"},
      {PLATFORM_HOOK_REQUEST_GUID, "PlatformHookRequest"},
      {PLATFORM_PROGRESS_PROTOCOL_GUID, "PlatformProgress"},
  };
  return Table;
}

}  // namespace

std::string GuidName(const EFI_GUID &Guid) {
  auto It = Names().find(Guid);
  return It != Names().end() ? It->second : GuidToString(Guid);
}

void RegisterGuidName(const EFI_GUID &Guid, const std::string &Name) { Names()[Guid] = Name; }

}  // namespace Sim
