/** @file
  Root include file of UEFI modules: the UEFI base types and the system,
  boot-services and runtime-services tables.
**/

#ifndef __PI_UEFI_H__
#define __PI_UEFI_H__

#include <Uefi/UefiBaseType.h>
#include <Uefi/UefiServiceTables.h>

#endif
