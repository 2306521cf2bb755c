/** @file
  The one definition of each of the driver's own GUIDs.
**/

#include "CameraUpdateDriver.h"

EFI_GUID  gUpdateTriggerProtocolGuid = UPDATE_TRIGGER_PROTOCOL_GUID;
