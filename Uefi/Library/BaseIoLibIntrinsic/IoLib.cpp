/** @file
  IoLib: processor I/O port reads and writes of 8, 16 and 32 bits. The port
  number is the processor's 16-bit I/O address; higher bits are dropped.
**/

#include <Base.h>
#include <Library/IoLib.h>
#include "IoLibInternal.h"

/** Reads an 8-bit port. **/
UINT8
EFIAPI
IoRead8 (
  IN UINTN  Port
  )
{
  return (UINT8)InternalIoPortRead ((UINT16)Port, 1);
}

/** Reads a 16-bit port. **/
UINT16
EFIAPI
IoRead16 (
  IN UINTN  Port
  )
{
  return (UINT16)InternalIoPortRead ((UINT16)Port, 2);
}

/** Reads a 32-bit port. **/
UINT32
EFIAPI
IoRead32 (
  IN UINTN  Port
  )
{
  return InternalIoPortRead ((UINT16)Port, 4);
}

/** Writes an 8-bit port. **/
UINT8
EFIAPI
IoWrite8 (
  IN UINTN  Port,
  IN UINT8  Value
  )
{
  InternalIoPortWrite ((UINT16)Port, 1, Value);
  return Value;
}

/** Writes a 16-bit port. **/
UINT16
EFIAPI
IoWrite16 (
  IN UINTN   Port,
  IN UINT16  Value
  )
{
  InternalIoPortWrite ((UINT16)Port, 2, Value);
  return Value;
}

/** Writes a 32-bit port. **/
UINT32
EFIAPI
IoWrite32 (
  IN UINTN   Port,
  IN UINT32  Value
  )
{
  InternalIoPortWrite ((UINT16)Port, 4, Value);
  return Value;
}
