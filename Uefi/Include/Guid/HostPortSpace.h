/** @file
  The I/O port space of a hosted (simulated) platform.

  A hosted platform has no processor I/O ports to execute in/out against, so
  it publishes its port space as a configuration table under this GUID. The
  hosted build of IoLib looks it up through the system table; the firmware
  build of IoLib uses the processor's in/out instructions and never reads it.
**/

#ifndef __HOST_PORT_SPACE_GUID_H__
#define __HOST_PORT_SPACE_GUID_H__

#include <Uefi.h>

#define HOST_PORT_SPACE_GUID \
  { 0xfdb945be, 0x455c, 0x4d4f, { 0xb5, 0x62, 0x89, 0x22, 0xa4, 0x19, 0x05, 0x8a } }

#define HOST_PORT_SPACE_REVISION  1

///
/// Reads Width bytes (1, 2 or 4) at Port.
///
typedef UINT32 (EFIAPI *HOST_PORT_READ)(IN VOID *Context, IN UINT16 Port, IN UINT8 Width);

///
/// Writes the low Width bytes (1, 2 or 4) of Value at Port.
///
typedef VOID (EFIAPI *HOST_PORT_WRITE)(IN VOID *Context, IN UINT16 Port, IN UINT8 Width, IN UINT32 Value);

typedef struct {
  UINT32             Revision;
  VOID               *Context;
  HOST_PORT_READ     Read;
  HOST_PORT_WRITE    Write;
} HOST_PORT_SPACE;

STATIC_ASSERT (sizeof (HOST_PORT_SPACE) == 32, "HOST_PORT_SPACE is 32 bytes");

extern "C" EFI_GUID  gHostPortSpaceGuid;

#endif
