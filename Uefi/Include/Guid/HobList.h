/** @file
  GUID of the configuration-table entry that points at the HOB list.
**/

#ifndef __HOB_LIST_GUID_H__
#define __HOB_LIST_GUID_H__

#include <Uefi.h>

#define HOB_LIST_GUID \
  { 0x7739f24c, 0x93d7, 0x11d4, { 0x9a, 0x3a, 0x0, 0x90, 0x27, 0x3f, 0xc1, 0x4d } }

extern "C" EFI_GUID  gEfiHobListGuid;

#endif
