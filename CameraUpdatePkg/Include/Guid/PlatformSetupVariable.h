/** @file
  The vendor GUID of the platform's "Setup" variable, in which CameraUpdateDxe
  records the version data of the camera image it applied. The variable, its
  size and its layout are the platform's; the driver writes only the offsets
  it owns and keeps the variable's attributes.
**/

#ifndef __PLATFORM_SETUP_VARIABLE_H__
#define __PLATFORM_SETUP_VARIABLE_H__

///
/// {EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9}
///
#define PLATFORM_SETUP_VARIABLE_GUID \
  { 0xec87d643, 0xeba4, 0x4bb5, { 0xa1, 0xe5, 0x3f, 0x3e, 0x36, 0xb2, 0x0d, 0xa9 } }

#ifdef __cplusplus
extern "C" {
#endif
extern EFI_GUID  gSetupVariableGuid;
#ifdef __cplusplus
}
#endif

#endif
