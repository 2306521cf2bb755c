/** @file
  The harness's console lines: small formatters into a fixed UCS-2 buffer,
  written through the system table's ConOut (the serial console under QEMU).
**/

#include "Harness.h"

#include <Protocol/SimpleTextOut.h>

//
// Room kept at the end of every line for CR, LF and the NUL.
//
#define LINE_RESERVE  3

/**
  Appends one character unless the line is full.

  @param[in,out] Line       The line.
  @param[in]     Character  The character.
**/
STATIC
VOID
LineChar (
  IN OUT HARNESS_LINE  *Line,
  IN     CHAR16        Character
  )
{
  if (Line->Length + LINE_RESERVE < ARRAY_SIZE (Line->Text)) {
    Line->Text[Line->Length++] = Character;
  }
}

VOID
HarnessLineStart (
  OUT HARNESS_LINE  *Line
  )
{
  Line->Length = 0;
  HarnessLineAscii (Line, "HARNESS ");
}

VOID
HarnessLineAscii (
  IN OUT HARNESS_LINE  *Line,
  IN     CONST CHAR8   *String
  )
{
  while (*String != '\0') {
    LineChar (Line, (CHAR16)(UINT8)*String++);
  }
}

VOID
HarnessLineUnicode (
  IN OUT HARNESS_LINE  *Line,
  IN     CONST CHAR16  *String
  )
{
  while (*String != 0) {
    LineChar (Line, *String++);
  }
}

/**
  Appends Digits upper-case hexadecimal digits of Value, most significant
  first, with no prefix.

  @param[in,out] Line    The line.
  @param[in]     Value   The value.
  @param[in]     Digits  How many of its low nibbles to write (1 to 16).
**/
STATIC
VOID
LineHexDigits (
  IN OUT HARNESS_LINE  *Line,
  IN     UINT64        Value,
  IN     UINTN         Digits
  )
{
  STATIC CONST CHAR8  HexDigit[] = "0123456789ABCDEF";

  while (Digits-- != 0) {
    LineChar (Line, (CHAR16)HexDigit[(Value >> (Digits * 4)) & 0xF]);
  }
}

VOID
HarnessLineHex (
  IN OUT HARNESS_LINE  *Line,
  IN     UINT64        Value,
  IN     UINTN         MinDigits
  )
{
  UINTN  Digits;

  Digits = 1;
  while ((Digits < 16) && ((Value >> (Digits * 4)) != 0)) {
    Digits++;
  }

  if (Digits < MinDigits) {
    Digits = MIN (MinDigits, (UINTN)16);
  }

  HarnessLineAscii (Line, "0x");
  LineHexDigits (Line, Value, Digits);
}

VOID
HarnessLineBytes (
  IN OUT HARNESS_LINE  *Line,
  IN     CONST UINT8   *Bytes,
  IN     UINTN         Count
  )
{
  UINTN  Index;

  for (Index = 0; Index < Count; Index++) {
    LineHexDigits (Line, Bytes[Index], 2);
  }
}

VOID
HarnessLineDecimal (
  IN OUT HARNESS_LINE  *Line,
  IN     UINT64        Value
  )
{
  CHAR16  Reversed[20];
  UINTN   Count;

  Count = 0;
  do {
    Reversed[Count++] = (CHAR16)('0' + (Value % 10));
    Value            /= 10;
  } while (Value != 0);

  while (Count != 0) {
    LineChar (Line, Reversed[--Count]);
  }
}

VOID
HarnessLineGuid (
  IN OUT HARNESS_LINE    *Line,
  IN     CONST EFI_GUID  *Guid
  )
{
  UINTN  Index;

  LineHexDigits (Line, Guid->Data1, 8);
  LineChar (Line, '-');
  LineHexDigits (Line, Guid->Data2, 4);
  LineChar (Line, '-');
  LineHexDigits (Line, Guid->Data3, 4);
  LineChar (Line, '-');
  LineHexDigits (Line, Guid->Data4[0], 2);
  LineHexDigits (Line, Guid->Data4[1], 2);
  LineChar (Line, '-');
  for (Index = 2; Index < 8; Index++) {
    LineHexDigits (Line, Guid->Data4[Index], 2);
  }
}

VOID
HarnessLinePrint (
  IN OUT HARNESS_LINE  *Line
  )
{
  Line->Text[Line->Length++] = '\r';
  Line->Text[Line->Length++] = '\n';
  Line->Text[Line->Length]   = 0;
  mHarnessSystemTable->ConOut->OutputString (mHarnessSystemTable->ConOut, Line->Text);
  Line->Length = 0;
}

VOID
HarnessPrintStatus (
  IN CONST CHAR8  *Label,
  IN EFI_STATUS   Status
  )
{
  HARNESS_LINE  Line;

  HarnessLineStart (&Line);
  HarnessLineAscii (&Line, Label);
  HarnessLineAscii (&Line, " status=");
  HarnessLineHex (&Line, Status, 1);
  HarnessLinePrint (&Line);
}

VOID
HarnessPrintWords (
  IN CONST CHAR8  *Words
  )
{
  HARNESS_LINE  Line;

  HarnessLineStart (&Line);
  HarnessLineAscii (&Line, Words);
  HarnessLinePrint (&Line);
}
