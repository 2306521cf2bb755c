/** @file
  The EFI System Resource Table (ESRT) and its 40-byte entries.
**/

#ifndef __SYSTEM_RESOURCE_TABLE_H__
#define __SYSTEM_RESOURCE_TABLE_H__

#include <Uefi.h>

#define EFI_SYSTEM_RESOURCE_TABLE_GUID \
  { 0xb122a263, 0x3661, 0x4f68, { 0x99, 0x29, 0x78, 0xf8, 0xb0, 0xd6, 0x21, 0x80 } }

#define ESRT_FW_TYPE_UNKNOWN         0x00000000
#define ESRT_FW_TYPE_SYSTEMFIRMWARE  0x00000001
#define ESRT_FW_TYPE_DEVICEFIRMWARE  0x00000002
#define ESRT_FW_TYPE_UEFIDRIVER      0x00000003

#define LAST_ATTEMPT_STATUS_SUCCESS                       0x00000000
#define LAST_ATTEMPT_STATUS_ERROR_UNSUCCESSFUL            0x00000001
#define LAST_ATTEMPT_STATUS_ERROR_INSUFFICIENT_RESOURCES  0x00000002
#define LAST_ATTEMPT_STATUS_ERROR_INCORRECT_VERSION       0x00000003
#define LAST_ATTEMPT_STATUS_ERROR_INVALID_FORMAT          0x00000004
#define LAST_ATTEMPT_STATUS_ERROR_AUTH_ERROR              0x00000005
#define LAST_ATTEMPT_STATUS_ERROR_PWR_EVT_AC              0x00000006
#define LAST_ATTEMPT_STATUS_ERROR_PWR_EVT_BATT            0x00000007

typedef struct {
  EFI_GUID    FwClass;
  UINT32      FwType;
  UINT32      FwVersion;
  UINT32      LowestSupportedFwVersion;
  UINT32      CapsuleFlags;
  UINT32      LastAttemptVersion;
  UINT32      LastAttemptStatus;
} EFI_SYSTEM_RESOURCE_ENTRY;

STATIC_ASSERT (sizeof (EFI_SYSTEM_RESOURCE_ENTRY) == 40, "ESRT entry is 40 bytes");
STATIC_ASSERT (OFFSET_OF (EFI_SYSTEM_RESOURCE_ENTRY, FwVersion) == 20, "FwVersion at 20");

#define EFI_SYSTEM_RESOURCE_TABLE_FIRMWARE_RESOURCE_VERSION  1

typedef struct {
  UINT32    FwResourceCount;
  UINT32    FwResourceCountMax;
  UINT64    FwResourceVersion;
  // EFI_SYSTEM_RESOURCE_ENTRY Entries[];
} EFI_SYSTEM_RESOURCE_TABLE;

STATIC_ASSERT (sizeof (EFI_SYSTEM_RESOURCE_TABLE) == 16, "ESRT header is 16 bytes");

extern "C" EFI_GUID  gEfiSystemResourceTableGuid;

#endif
