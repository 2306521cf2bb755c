/** @file
  The ESRT management protocol that EDK II's ESRT driver publishes, in its
  slot order.
**/

#ifndef __ESRT_MANAGEMENT_H__
#define __ESRT_MANAGEMENT_H__

#include <Uefi.h>
#include <Guid/SystemResourceTable.h>

#define ESRT_MANAGEMENT_PROTOCOL_GUID \
  { 0xa340c064, 0x723c, 0x4a9c, { 0xa4, 0xdd, 0xd5, 0xb4, 0x7a, 0x26, 0xfb, 0xb0 } }

typedef struct _ESRT_MANAGEMENT_PROTOCOL ESRT_MANAGEMENT_PROTOCOL;

typedef EFI_STATUS (EFIAPI *GET_ESRT_ENTRY)(
  IN EFI_GUID *FwClass, IN OUT EFI_SYSTEM_RESOURCE_ENTRY *Entry);
typedef EFI_STATUS (EFIAPI *UPDATE_ESRT_ENTRY)(IN EFI_SYSTEM_RESOURCE_ENTRY *Entry);
typedef EFI_STATUS (EFIAPI *REGISTER_ESRT_ENTRY)(IN EFI_SYSTEM_RESOURCE_ENTRY *Entry);
typedef EFI_STATUS (EFIAPI *UNREGISTER_ESRT_ENTRY)(IN EFI_GUID *FwClass);
typedef EFI_STATUS (EFIAPI *SYNC_ESRT_FMP)(VOID);
typedef EFI_STATUS (EFIAPI *LOCK_ESRT_REPOSITORY)(VOID);

struct _ESRT_MANAGEMENT_PROTOCOL {
  GET_ESRT_ENTRY           GetEsrtEntry;
  UPDATE_ESRT_ENTRY        UpdateEsrtEntry;
  REGISTER_ESRT_ENTRY      RegisterEsrtEntry;
  UNREGISTER_ESRT_ENTRY    UnRegisterEsrtEntry;
  SYNC_ESRT_FMP            SyncEsrtFmp;
  LOCK_ESRT_REPOSITORY     LockEsrtRepository;
};

STATIC_ASSERT (OFFSET_OF (ESRT_MANAGEMENT_PROTOCOL, UnRegisterEsrtEntry) == 24, "UnRegisterEsrtEntry is slot 3");
STATIC_ASSERT (sizeof (ESRT_MANAGEMENT_PROTOCOL) == 48, "six slots");

extern "C" EFI_GUID  gEsrtManagementProtocolGuid;

#endif
