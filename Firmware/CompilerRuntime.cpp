/** @file
  The memory routines a freestanding image must define itself: the compiler
  emits calls to memcpy and memset for structure copies and initialisations
  (and to memmove and memcmp where the code asks for them), and the firmware
  image links no C library.

  This file is compiled with -fno-builtin (implied by -ffreestanding), so the
  loops below stay loops and never become calls to the routine they are in.
**/

#include <Base.h>

extern "C" {

/** Copies Length bytes from Source to Destination; the two must not overlap. **/
VOID *
memcpy (
  OUT VOID       *Destination,
  IN  CONST VOID *Source,
  IN  UINTN      Length
  )
{
  UINT8        *To;
  CONST UINT8  *From;

  To   = static_cast<UINT8 *>(Destination);
  From = static_cast<CONST UINT8 *>(Source);
  while (Length-- != 0) {
    *To++ = *From++;
  }

  return Destination;
}

/** Copies Length bytes from Source to Destination; the two may overlap. **/
VOID *
memmove (
  OUT VOID       *Destination,
  IN  CONST VOID *Source,
  IN  UINTN      Length
  )
{
  UINT8        *To;
  CONST UINT8  *From;

  To   = static_cast<UINT8 *>(Destination);
  From = static_cast<CONST UINT8 *>(Source);
  if ((To < From) || (To >= From + Length)) {
    while (Length-- != 0) {
      *To++ = *From++;
    }
  } else {
    //
    // Destination starts inside Source: copy from the end backwards so that
    // no byte is overwritten before it has been read.
    //
    To   += Length;
    From += Length;
    while (Length-- != 0) {
      *--To = *--From;
    }
  }

  return Destination;
}

/** Fills Length bytes at Buffer with the low byte of Value. **/
VOID *
memset (
  OUT VOID   *Buffer,
  IN  INT32  Value,
  IN  UINTN  Length
  )
{
  UINT8  *To;

  To = static_cast<UINT8 *>(Buffer);
  while (Length-- != 0) {
    *To++ = static_cast<UINT8>(Value);
  }

  return Buffer;
}

/**
  Compares Length bytes; returns the difference of the first differing bytes
  taken as unsigned, or 0 when all are equal.
**/
INT32
memcmp (
  IN CONST VOID  *Left,
  IN CONST VOID  *Right,
  IN UINTN       Length
  )
{
  CONST UINT8  *A;
  CONST UINT8  *B;

  A = static_cast<CONST UINT8 *>(Left);
  B = static_cast<CONST UINT8 *>(Right);
  for ( ; Length != 0; Length--, A++, B++) {
    if (*A != *B) {
      return static_cast<INT32>(*A) - static_cast<INT32>(*B);
    }
  }

  return 0;
}

}  // extern "C"
