/** @file
  DebugLib instance that prints nothing and checks no assertion, as EDK II's
  BaseDebugLibNull: the firmware image and the simulated driver carry no
  debug output.
**/

#include <Library/DebugLib.h>

VOID EFIAPI
DebugPrint (
  IN UINTN        ErrorLevel,
  IN CONST CHAR8  *Format,
  ...
  )
{
  (VOID)ErrorLevel;
  (VOID)Format;
}

VOID EFIAPI
DebugAssert (
  IN CONST CHAR8  *FileName,
  IN UINTN        LineNumber,
  IN CONST CHAR8  *Description
  )
{
  (VOID)FileName;
  (VOID)LineNumber;
  (VOID)Description;
}

BOOLEAN EFIAPI
DebugPrintEnabled (
  VOID
  )
{
  return FALSE;
}

BOOLEAN EFIAPI
DebugAssertEnabled (
  VOID
  )
{
  return FALSE;
}

BOOLEAN EFIAPI
DebugPrintLevelEnabled (
  IN CONST UINTN  ErrorLevel
  )
{
  (VOID)ErrorLevel;
  return FALSE;
}
