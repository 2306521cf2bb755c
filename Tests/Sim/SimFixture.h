// One simulated boot, reached the way a driver reaches it: through the
// system table's EFIAPI function pointers.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "Sim/Platform.h"

namespace SimTest {

// Protocols that mean nothing to the platform.
inline EFI_GUID kProtocolA = {0x6c1f0a21, 0x4b7e, 0x4d0c, {0x8a, 0x51, 0x0e, 0x9d, 0x3f, 0x21, 0x77, 0xa1}};
inline EFI_GUID kProtocolB = {0x6c1f0a21, 0x4b7e, 0x4d0c, {0x8a, 0x51, 0x0e, 0x9d, 0x3f, 0x21, 0x77, 0xb2}};

constexpr EFI_TPL kApplication = TPL_APPLICATION, kCallback = TPL_CALLBACK, kNotify = TPL_NOTIFY,
                  kHighLevel = TPL_HIGH_LEVEL;

class SimFixture : public ::testing::Test {
 protected:
  EFI_BOOT_SERVICES *Bs() { return P.SystemTable()->BootServices; }
  EFI_RUNTIME_SERVICES *Rt() { return P.SystemTable()->RuntimeServices; }

  // Installs Interface on Handle (a new handle when nullptr) and returns the handle.
  EFI_HANDLE Install(EFI_GUID *Guid, void *Interface, EFI_HANDLE Handle = nullptr) {
    EXPECT_EQ(Bs()->InstallProtocolInterface(&Handle, Guid, EFI_NATIVE_INTERFACE, Interface), EFI_SUCCESS);
    return Handle;
  }

  // The Index-th recorded TPL breach names Service and holds Tpl and Limit.
  void ExpectViolation(size_t Index, const std::string &Service, EFI_TPL Tpl, EFI_TPL Limit) {
    ASSERT_GT(P.Boot().TplViolations().size(), Index);
    const Sim::TplViolation &Violation = P.Boot().TplViolations()[Index];
    EXPECT_NE(Violation.Service.find(Service), std::string::npos) << Violation.Service;
    EXPECT_EQ(Violation.Tpl, Tpl);
    EXPECT_EQ(Violation.Limit, Limit);
  }

  Sim::Platform P;
  int A = 0, B = 0, C = 0, D = 0;  // interfaces: only their addresses matter
};

}  // namespace SimTest
