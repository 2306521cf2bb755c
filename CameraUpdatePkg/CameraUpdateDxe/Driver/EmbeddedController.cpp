/** @file
  The platform's embedded controller, reached through the ACPI-style ports:
  one read-modify-write of a register before a camera update. Every wait on
  the controller is bounded, so a controller that never answers (or a
  platform without one) delays the update but never hangs the boot.
**/

#include "CameraUpdateDriver.h"

#include "FirmwareInterfaces.h"

/**
  Waits until a status bit of the controller has the wanted value.

  @param[in] Bit  EC_STATUS_IBF or EC_STATUS_OBF.
  @param[in] Set  TRUE to wait for the bit to be set, FALSE for clear.

  @retval TRUE   The bit has the value.
  @retval FALSE  It did not within EC_WAIT_TIMEOUT_US.
**/
STATIC
BOOLEAN
EcWaitStatus (
  IN UINT8    Bit,
  IN BOOLEAN  Set
  )
{
  UINTN  Poll;

  for (Poll = 0; Poll <= EC_WAIT_TIMEOUT_US / EC_POLL_INTERVAL_US; Poll++) {
    if ((((IoRead8 (EC_COMMAND_PORT) & Bit) != 0) ? TRUE : FALSE) == Set) {
      return TRUE;
    }

    MicroSecondDelay (EC_POLL_INTERVAL_US);
  }

  return FALSE;
}

/**
  Writes a byte to a controller port once its input buffer is empty.

  @param[in] Port   EC_COMMAND_PORT or EC_DATA_PORT.
  @param[in] Value  The byte.

  @retval TRUE   The byte was written.
  @retval FALSE  The input buffer did not empty in time; nothing written.
**/
STATIC
BOOLEAN
EcWrite (
  IN UINTN  Port,
  IN UINT8  Value
  )
{
  if (!EcWaitStatus (EC_STATUS_IBF, FALSE)) {
    return FALSE;
  }

  IoWrite8 (Port, Value);
  return TRUE;
}

/**
  Sets bits of an embedded-controller register: reads it (command 0x90),
  then writes it back with the bits ORed in (command 0x91). A wait that
  times out abandons the step.

  @param[in] Register  The controller register.
  @param[in] Bits      The bits to set.

  @retval EFI_SUCCESS  The register was written back.
  @retval EFI_TIMEOUT  The controller did not answer in time; the register
                       may be unchanged.
**/
EFI_STATUS
EcSetRegisterBits (
  IN UINT8  Register,
  IN UINT8  Bits
  )
{
  UINT8  Value;

  //
  // Read the register.
  //
  if (!EcWrite (EC_COMMAND_PORT, EC_COMMAND_READ) || !EcWrite (EC_DATA_PORT, Register)) {
    return EFI_TIMEOUT;
  }

  if (!EcWaitStatus (EC_STATUS_OBF, TRUE)) {
    return EFI_TIMEOUT;
  }

  Value = IoRead8 (EC_DATA_PORT);

  //
  // Write it back with the bits set.
  //
  if (!EcWrite (EC_COMMAND_PORT, EC_COMMAND_WRITE) || !EcWrite (EC_DATA_PORT, Register) ||
      !EcWrite (EC_DATA_PORT, (UINT8)(Value | Bits)))
  {
    return EFI_TIMEOUT;
  }

  return EFI_SUCCESS;
}
