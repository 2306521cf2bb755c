/** @file
  BaseLib: string, byte-order and unaligned-access helpers.
**/

#ifndef __BASE_LIB__
#define __BASE_LIB__

#include <Base.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
  Returns the length of a null-terminated CHAR16 string, in characters.

  @param[in] String  The string; NULL gives 0.

  @return The number of characters before the terminator.
**/
UINTN EFIAPI StrLen (IN CONST CHAR16 *String);

/**
  Returns the size of a null-terminated CHAR16 string, in bytes, terminator
  included.

  @param[in] String  The string; NULL gives 0.
**/
UINTN EFIAPI StrSize (IN CONST CHAR16 *String);

/**
  Compares two null-terminated CHAR16 strings.

  @return 0 when equal; otherwise the difference of the first differing characters.
**/
INTN EFIAPI StrCmp (IN CONST CHAR16 *FirstString, IN CONST CHAR16 *SecondString);

/**
  Finds the first occurrence of SearchString in String.

  @param[in] String        The string searched.
  @param[in] SearchString  The string looked for; an empty one matches at once.

  @return A pointer into String at the match, or NULL when there is none.
**/
CHAR16 * EFIAPI StrStr (IN CONST CHAR16 *String, IN CONST CHAR16 *SearchString);

/**
  Copies a null-terminated CHAR16 string into a buffer of DestMax characters.

  @retval RETURN_SUCCESS            The string and its terminator were copied.
  @retval RETURN_INVALID_PARAMETER  A pointer is NULL or DestMax is 0.
  @retval RETURN_BUFFER_TOO_SMALL   Source does not fit; Destination is left empty.
**/
RETURN_STATUS EFIAPI StrCpyS (OUT CHAR16 *Destination, IN UINTN DestMax, IN CONST CHAR16 *Source);

/**
  Returns the length of a null-terminated ASCII string, in characters.
**/
UINTN EFIAPI AsciiStrLen (IN CONST CHAR8 *String);

/**
  Reverse the byte order of a 16-, 32- or 64-bit value.
**/
UINT16 EFIAPI SwapBytes16 (IN UINT16 Value);
UINT32 EFIAPI SwapBytes32 (IN UINT32 Value);
UINT64 EFIAPI SwapBytes64 (IN UINT64 Value);

/**
  Read and write little-endian values at addresses of any alignment.
**/
UINT16 EFIAPI ReadUnaligned16 (IN CONST UINT16 *Buffer);
UINT16 EFIAPI WriteUnaligned16 (OUT UINT16 *Buffer, IN UINT16 Value);
UINT32 EFIAPI ReadUnaligned32 (IN CONST UINT32 *Buffer);
UINT32 EFIAPI WriteUnaligned32 (OUT UINT32 *Buffer, IN UINT32 Value);

/**
  Multiplies a 64-bit value by a 32-bit value; the result is truncated to 64 bits.
**/
UINT64 EFIAPI MultU64x32 (IN UINT64 Multiplicand, IN UINT32 Multiplier);

/**
  Divides a 64-bit value by a 64-bit value and optionally returns the remainder.
**/
UINT64 EFIAPI DivU64x64Remainder (IN UINT64 Dividend, IN UINT64 Divisor, OUT UINT64 *Remainder OPTIONAL);

/**
  Tells the processor that the caller is in a spin loop.
**/
VOID EFIAPI CpuPause (VOID);

#ifdef __cplusplus
}
#endif

#endif
