/** @file
  BaseMemoryLib: copying, filling and comparing memory and GUIDs with plain
  byte loops. The compiler may turn the loops into calls to memcpy, memmove,
  memset or memcmp, which the firmware build supplies.
**/

#include <Base.h>
#include <Library/BaseMemoryLib.h>

/** Copies Length bytes; the buffers may overlap. **/
VOID *
EFIAPI
CopyMem (
  OUT VOID        *DestinationBuffer,
  IN  CONST VOID  *SourceBuffer,
  IN  UINTN       Length
  )
{
  UINT8        *Destination;
  CONST UINT8  *Source;

  Destination = static_cast<UINT8 *>(DestinationBuffer);
  Source      = static_cast<CONST UINT8 *>(SourceBuffer);
  if ((Length == 0) || (Destination == Source)) {
    return DestinationBuffer;
  }

  //
  // Copy forwards when the destination starts below the source and
  // backwards otherwise, so that an overlapping source byte is always read
  // before it is overwritten. The addresses are compared as integers because
  // the two buffers need not belong to the same object.
  //
  if ((UINTN)Destination < (UINTN)Source) {
    for (UINTN Index = 0; Index < Length; Index++) {
      Destination[Index] = Source[Index];
    }
  } else {
    for (UINTN Index = Length; Index > 0; Index--) {
      Destination[Index - 1] = Source[Index - 1];
    }
  }

  return DestinationBuffer;
}

/** Fills Length bytes of Buffer with Value. **/
VOID *
EFIAPI
SetMem (
  OUT VOID   *Buffer,
  IN  UINTN  Length,
  IN  UINT8  Value
  )
{
  UINT8  *Bytes;

  Bytes = static_cast<UINT8 *>(Buffer);
  for (UINTN Index = 0; Index < Length; Index++) {
    Bytes[Index] = Value;
  }

  return Buffer;
}

/** Fills Length bytes of Buffer with zeros. **/
VOID *
EFIAPI
ZeroMem (
  OUT VOID   *Buffer,
  IN  UINTN  Length
  )
{
  return SetMem (Buffer, Length, 0);
}

/** Compares two buffers; returns the difference of the first differing bytes. **/
INTN
EFIAPI
CompareMem (
  IN CONST VOID  *DestinationBuffer,
  IN CONST VOID  *SourceBuffer,
  IN UINTN       Length
  )
{
  CONST UINT8  *Destination;
  CONST UINT8  *Source;

  Destination = static_cast<CONST UINT8 *>(DestinationBuffer);
  Source      = static_cast<CONST UINT8 *>(SourceBuffer);
  for (UINTN Index = 0; Index < Length; Index++) {
    if (Destination[Index] != Source[Index]) {
      return (INTN)Destination[Index] - (INTN)Source[Index];
    }
  }

  return 0;
}

/** Returns TRUE when the two GUIDs hold the same 16 bytes. **/
BOOLEAN
EFIAPI
CompareGuid (
  IN CONST GUID  *Guid1,
  IN CONST GUID  *Guid2
  )
{
  return (BOOLEAN)(CompareMem (Guid1, Guid2, sizeof (GUID)) == 0);
}

/** Copies a GUID. **/
GUID *
EFIAPI
CopyGuid (
  OUT GUID        *DestinationGuid,
  IN  CONST GUID  *SourceGuid
  )
{
  CopyMem (DestinationGuid, SourceGuid, sizeof (GUID));
  return DestinationGuid;
}
