/** @file
  GUID of firmware-management-protocol capsules.
**/

#ifndef __FMP_CAPSULE_GUID_H__
#define __FMP_CAPSULE_GUID_H__

#include <Uefi.h>

#define EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID \
  { 0x6dcbd5ed, 0xe82d, 0x4c44, { 0xbd, 0xa1, 0x71, 0x94, 0x19, 0x9a, 0xd9, 0x2a } }

extern "C" EFI_GUID  gEfiFmpCapsuleGuid;

#endif
