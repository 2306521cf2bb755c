/** @file
  BaseLib: CHAR16 and ASCII string helpers, byte swapping, unaligned
  little-endian access, 64-bit arithmetic and the spin-loop hint.

  Everything here is plain C++ on Base.h types so that it compiles both in
  the hosted build and in the freestanding firmware build.
**/

#include <Base.h>
#include <Library/BaseLib.h>

/** Returns the number of CHAR16 characters before the terminator. **/
UINTN
EFIAPI
StrLen (
  IN CONST CHAR16  *String
  )
{
  UINTN  Length;

  if (String == NULL) {
    return 0;
  }

  for (Length = 0; String[Length] != 0; Length++) {
  }

  return Length;
}

/** Returns the size of a CHAR16 string in bytes, terminator included. **/
UINTN
EFIAPI
StrSize (
  IN CONST CHAR16  *String
  )
{
  if (String == NULL) {
    return 0;
  }

  return (StrLen (String) + 1) * sizeof (CHAR16);
}

/** Compares two CHAR16 strings; returns the difference at the first mismatch. **/
INTN
EFIAPI
StrCmp (
  IN CONST CHAR16  *FirstString,
  IN CONST CHAR16  *SecondString
  )
{
  while ((*FirstString != 0) && (*FirstString == *SecondString)) {
    FirstString++;
    SecondString++;
  }

  return (INTN)*FirstString - (INTN)*SecondString;
}

/** Finds the first occurrence of SearchString in String. **/
CHAR16 *
EFIAPI
StrStr (
  IN CONST CHAR16  *String,
  IN CONST CHAR16  *SearchString
  )
{
  CONST CHAR16  *Candidate;
  UINTN         Index;

  if ((String == NULL) || (SearchString == NULL)) {
    return NULL;
  }

  if (*SearchString == 0) {
    return const_cast<CHAR16 *>(String);
  }

  //
  // Try every starting position; a mismatch part-way through a candidate
  // restarts at the next character, so overlapping prefixes ("aab" in
  // "aaab") are not skipped.
  //
  for (Candidate = String; *Candidate != 0; Candidate++) {
    for (Index = 0; SearchString[Index] != 0; Index++) {
      if (Candidate[Index] != SearchString[Index]) {
        break;
      }
    }

    if (SearchString[Index] == 0) {
      return const_cast<CHAR16 *>(Candidate);
    }
  }

  return NULL;
}

/** Copies Source into a buffer of DestMax characters, terminator included. **/
RETURN_STATUS
EFIAPI
StrCpyS (
  OUT CHAR16        *Destination,
  IN  UINTN         DestMax,
  IN  CONST CHAR16  *Source
  )
{
  UINTN  Length;
  UINTN  Index;

  if ((Destination == NULL) || (Source == NULL) || (DestMax == 0)) {
    return RETURN_INVALID_PARAMETER;
  }

  //
  // Measure Source no further than DestMax characters: a longer string does
  // not fit anyway, and Source need not be terminated within that distance.
  //
  for (Length = 0; Length < DestMax && Source[Length] != 0; Length++) {
  }

  if (Length >= DestMax) {
    Destination[0] = 0;
    return RETURN_BUFFER_TOO_SMALL;
  }

  for (Index = 0; Index < Length; Index++) {
    Destination[Index] = Source[Index];
  }

  Destination[Length] = 0;
  return RETURN_SUCCESS;
}

/** Returns the number of ASCII characters before the terminator. **/
UINTN
EFIAPI
AsciiStrLen (
  IN CONST CHAR8  *String
  )
{
  UINTN  Length;

  if (String == NULL) {
    return 0;
  }

  for (Length = 0; String[Length] != 0; Length++) {
  }

  return Length;
}

/** Reverses the byte order of a 16-bit value. **/
UINT16
EFIAPI
SwapBytes16 (
  IN UINT16  Value
  )
{
  return (UINT16)((Value << 8) | (Value >> 8));
}

/** Reverses the byte order of a 32-bit value. **/
UINT32
EFIAPI
SwapBytes32 (
  IN UINT32  Value
  )
{
  return ((UINT32)SwapBytes16 ((UINT16)Value) << 16) | SwapBytes16 ((UINT16)(Value >> 16));
}

/** Reverses the byte order of a 64-bit value. **/
UINT64
EFIAPI
SwapBytes64 (
  IN UINT64  Value
  )
{
  return ((UINT64)SwapBytes32 ((UINT32)Value) << 32) | SwapBytes32 ((UINT32)(Value >> 32));
}

//
// The unaligned accessors go through bytes so that they never perform a
// misaligned typed access (undefined behaviour in C++, a fault on some
// processors) and always use little-endian order.
//

/** Reads a little-endian 16-bit value at any alignment. **/
UINT16
EFIAPI
ReadUnaligned16 (
  IN CONST UINT16  *Buffer
  )
{
  CONST UINT8  *Bytes;

  Bytes = reinterpret_cast<CONST UINT8 *>(Buffer);
  return (UINT16)(Bytes[0] | (Bytes[1] << 8));
}

/** Writes a little-endian 16-bit value at any alignment. **/
UINT16
EFIAPI
WriteUnaligned16 (
  OUT UINT16  *Buffer,
  IN  UINT16  Value
  )
{
  UINT8  *Bytes;

  Bytes    = reinterpret_cast<UINT8 *>(Buffer);
  Bytes[0] = (UINT8)Value;
  Bytes[1] = (UINT8)(Value >> 8);
  return Value;
}

/** Reads a little-endian 32-bit value at any alignment. **/
UINT32
EFIAPI
ReadUnaligned32 (
  IN CONST UINT32  *Buffer
  )
{
  CONST UINT8  *Bytes;

  Bytes = reinterpret_cast<CONST UINT8 *>(Buffer);
  return (UINT32)Bytes[0] | ((UINT32)Bytes[1] << 8) |
         ((UINT32)Bytes[2] << 16) | ((UINT32)Bytes[3] << 24);
}

/** Writes a little-endian 32-bit value at any alignment. **/
UINT32
EFIAPI
WriteUnaligned32 (
  OUT UINT32  *Buffer,
  IN  UINT32  Value
  )
{
  UINT8  *Bytes;

  Bytes    = reinterpret_cast<UINT8 *>(Buffer);
  Bytes[0] = (UINT8)Value;
  Bytes[1] = (UINT8)(Value >> 8);
  Bytes[2] = (UINT8)(Value >> 16);
  Bytes[3] = (UINT8)(Value >> 24);
  return Value;
}

/** Multiplies a 64-bit value by a 32-bit value, keeping the low 64 bits. **/
UINT64
EFIAPI
MultU64x32 (
  IN UINT64  Multiplicand,
  IN UINT32  Multiplier
  )
{
  return Multiplicand * Multiplier;
}

/** Divides two 64-bit values; Divisor must not be 0. **/
UINT64
EFIAPI
DivU64x64Remainder (
  IN  UINT64  Dividend,
  IN  UINT64  Divisor,
  OUT UINT64  *Remainder  OPTIONAL
  )
{
  if (Remainder != NULL) {
    *Remainder = Dividend % Divisor;
  }

  return Dividend / Divisor;
}

/** Executes the processor's spin-loop hint. **/
VOID
EFIAPI
CpuPause (
  VOID
  )
{
  __builtin_ia32_pause ();
}
