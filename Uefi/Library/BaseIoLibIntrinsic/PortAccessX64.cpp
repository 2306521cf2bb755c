/** @file
  The firmware's port-access seam: the processor's in and out instructions.
**/

#include <Base.h>
#include "IoLibInternal.h"

/** Reads Width bytes at Port with in. **/
UINT32
InternalIoPortRead (
  IN UINT16  Port,
  IN UINT8   Width
  )
{
  UINT8   Value8;
  UINT16  Value16;
  UINT32  Value32;

  switch (Width) {
    case 1:
      __asm__ __volatile__ ("inb %w1, %b0" : "=a" (Value8) : "Nd" (Port));
      return Value8;
    case 2:
      __asm__ __volatile__ ("inw %w1, %w0" : "=a" (Value16) : "Nd" (Port));
      return Value16;
    case 4:
      __asm__ __volatile__ ("inl %w1, %k0" : "=a" (Value32) : "Nd" (Port));
      return Value32;
    default:
      return MAX_UINT32;
  }
}

/** Writes the low Width bytes of Value at Port with out. **/
VOID
InternalIoPortWrite (
  IN UINT16  Port,
  IN UINT8   Width,
  IN UINT32  Value
  )
{
  switch (Width) {
    case 1:
      __asm__ __volatile__ ("outb %b0, %w1" : : "a" ((UINT8)Value), "Nd" (Port));
      break;
    case 2:
      __asm__ __volatile__ ("outw %w0, %w1" : : "a" ((UINT16)Value), "Nd" (Port));
      break;
    case 4:
      __asm__ __volatile__ ("outl %k0, %w1" : : "a" (Value), "Nd" (Port));
      break;
    default:
      break;
  }
}
