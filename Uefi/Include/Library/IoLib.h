/** @file
  IoLib: processor I/O port access.
**/

#ifndef __IO_LIB_H__
#define __IO_LIB_H__

#include <Base.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
  Read a port of the given width; the value read is returned.
**/
UINT8 EFIAPI IoRead8 (IN UINTN Port);
UINT16 EFIAPI IoRead16 (IN UINTN Port);
UINT32 EFIAPI IoRead32 (IN UINTN Port);

/**
  Write a port of the given width; the value written is returned.
**/
UINT8 EFIAPI IoWrite8 (IN UINTN Port, IN UINT8 Value);
UINT16 EFIAPI IoWrite16 (IN UINTN Port, IN UINT16 Value);
UINT32 EFIAPI IoWrite32 (IN UINTN Port, IN UINT32 Value);

#ifdef __cplusplus
}
#endif

#endif
