#include "Fuzz/Harness/DriverState.h"

#include <cstring>

#include <Library/LibraryConstructors.h>

#include "BigNum.h"
#include "CameraUpdateDriver.h"

namespace Fuzz {

void ForgetDriverState() {
  mCapsuleCheckEvent = NULL;
  mCapsuleCheckRegistration = NULL;
  mEsrtManagement = NULL;
  mCameraContext = NULL;
  mPlatformProgress = NULL;
  mGraphicsOutput = NULL;
  mProgressSteps = 0;
  std::memset(&mFwVersionInfo, 0, sizeof(mFwVersionInfo));
  mRsaKeyBits = RSA_KEY_BITS_256;
  mRsaOutputLength = RSA_KEY_BITS_256 / 8 - 2;
  for (BIG_NUMBER *Number : {&mRsaOperand, &mRsaMontgomeryValue, &mRsaModulus, &mRsaNPrime, &mRsaRInverse}) {
    std::memset(Number, 0, sizeof(*Number));
  }
}

void RunLibraryConstructors(Sim::Platform &Boot) {
  EFI_SYSTEM_TABLE *SystemTable = Boot.SystemTable();
  UefiBootServicesTableLibConstructor(Boot.ImageHandle(), SystemTable);
  UefiRuntimeServicesTableLibConstructor(Boot.ImageHandle(), SystemTable);
  HobLibConstructor(Boot.ImageHandle(), SystemTable);
}

}  // namespace Fuzz
