/** @file
  The port-access seam of IoLib. IoLib.cpp calls these two functions; the
  firmware build implements them with the processor's in/out instructions
  (PortAccessX64.cpp), the hosted build with the simulated platform's port
  space (PortAccessHost.cpp).
**/

#ifndef __IO_LIB_INTERNAL_H__
#define __IO_LIB_INTERNAL_H__

#include <Base.h>

/**
  Reads Width bytes at Port.

  @param[in] Port   The I/O port.
  @param[in] Width  1, 2 or 4.

  @return The value read, in the low Width bytes.
**/
UINT32
InternalIoPortRead (
  IN UINT16  Port,
  IN UINT8   Width
  );

/**
  Writes the low Width bytes of Value at Port.

  @param[in] Port   The I/O port.
  @param[in] Width  1, 2 or 4.
  @param[in] Value  The value to write.
**/
VOID
InternalIoPortWrite (
  IN UINT16  Port,
  IN UINT8   Width,
  IN UINT32  Value
  );

#endif
