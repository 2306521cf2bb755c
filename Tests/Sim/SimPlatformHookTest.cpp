// The simulated platform hook protocol: what it records of each call, what
// it writes, how a test makes a slot fail, and how the platform installs it.
#include <cstring>
#include <stdexcept>

#include "SimFixture.h"

namespace {

class SimPlatformHookTest : public SimTest::SimFixture {
 protected:
  PLATFORM_HOOK_PROTOCOL *Locate() {
    EFI_GUID Guid = Sim::kPlatformHookProtocolGuid;
    VOID *Interface = nullptr;
    EXPECT_EQ(Bs()->LocateProtocol(&Guid, nullptr, &Interface), EFI_SUCCESS);
    return static_cast<PLATFORM_HOOK_PROTOCOL *>(Interface);
  }
};

TEST_F(SimPlatformHookTest, RecordsEachSlotsArgumentsAndTheOutputsItWrites) {
  EFI_GUID Guid = Sim::kPlatformHookProtocolGuid;
  VOID *Interface = nullptr;
  EXPECT_EQ(Bs()->LocateProtocol(&Guid, nullptr, &Interface), EFI_NOT_FOUND);  // not until installed
  EFI_HANDLE Handle = P.InstallPlatformHook();
  ASSERT_NE(Handle, nullptr);
  EXPECT_EQ(P.Boot().CountCalls("InstallProtocolInterface", "PlatformHook"), 1u);
  PLATFORM_HOOK_PROTOCOL *Hook = Locate();
  ASSERT_EQ(Hook, P.Hook().Protocol());

  EFI_TPL Old = Bs()->RaiseTPL(TPL_CALLBACK);
  P.Clock().AdvanceUs(7);
  UINT64 Out1 = 0x5151, Out2 = 0;
  ASSERT_EQ(Hook->Slot0(&Out1, &Out2), EFI_SUCCESS);
  EXPECT_EQ(Out1, Sim::PlatformHook::kDefaultOutputs[0][0]);
  EXPECT_EQ(Out2, Sim::PlatformHook::kDefaultOutputs[0][1]);

  EFI_GUID Request = Sim::kPlatformHookRequestGuid;
  UINT64 A = 0, B = 0;
  ASSERT_EQ(Hook->Slot1(&Request, &A, &B), EFI_SUCCESS);
  EXPECT_EQ(A, 0x1111111111111111u);
  EXPECT_EQ(B, 0x2222222222222222u);

  UINT64 Out3 = 0, Out4 = 0;
  ASSERT_EQ(Hook->Slot2(A, B, 1, 0, 0, TRUE, &Out3, &Out4), EFI_SUCCESS);
  Bs()->RestoreTPL(Old);

  const std::vector<Sim::HookCall> &Calls = P.Hook().Calls();
  ASSERT_EQ(Calls.size(), 3u);
  for (unsigned Slot = 0; Slot < 3; ++Slot) {
    EXPECT_EQ(Calls[Slot].Slot, Slot);
    EXPECT_EQ(Calls[Slot].Tpl, static_cast<EFI_TPL>(TPL_CALLBACK));
    EXPECT_EQ(Calls[Slot].TimeNs, 7000u);
    EXPECT_EQ(Calls[Slot].Status, EFI_SUCCESS);
    EXPECT_EQ(P.Hook().CallCount(Slot), 1u);
  }
  // What the caller left in the outputs, and what the slot put there.
  EXPECT_EQ(Calls[0].Output1Before, 0x5151u);
  EXPECT_EQ(Calls[0].Output1, Out1);
  EXPECT_FALSE(Calls[0].HasRequest);
  EXPECT_TRUE(Calls[1].HasRequest);
  EXPECT_EQ(std::memcmp(&Calls[1].Request, &Request, sizeof(Request)), 0);
  EXPECT_EQ(Calls[1].Output1, A);
  EXPECT_EQ(Calls[1].Output2, B);
  EXPECT_EQ(Calls[2].A, 0x1111111111111111u);
  EXPECT_EQ(Calls[2].B, 0x2222222222222222u);
  EXPECT_EQ(Calls[2].Value1, 1u);
  EXPECT_EQ(Calls[2].Value2, 0u);
  EXPECT_EQ(Calls[2].Value3, 0u);
  EXPECT_EQ(Calls[2].Flag, TRUE);
  EXPECT_EQ(Calls[2].Output1, Out3);
  EXPECT_EQ(Out3, Sim::PlatformHook::kDefaultOutputs[2][0]);
  // The boot services' one call log carries them too.
  EXPECT_EQ(P.Boot().CountCalls("HookSlot1", "PlatformHookRequest"), 1u);
  EXPECT_EQ(P.Boot().CountCalls("HookSlot2",
                                "a=0x1111111111111111 b=0x2222222222222222 v1=0x1 v2=0x0 v3=0x0 flag=0x1"),
            1u);
  EXPECT_TRUE(P.Boot().TplViolations().empty());

  EXPECT_EQ(P.RemovePlatformHook(), EFI_SUCCESS);
  EXPECT_EQ(P.RemovePlatformHook(), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->LocateProtocol(&Guid, nullptr, &Interface), EFI_NOT_FOUND);
  EXPECT_NE(P.InstallPlatformHook(), nullptr);  // and back again
  EXPECT_EQ(Locate(), P.Hook().Protocol());
}

TEST_F(SimPlatformHookTest, AFailingSlotAnswersItsStatusAndWritesNothing) {
  P.InstallPlatformHook();
  PLATFORM_HOOK_PROTOCOL *Hook = Locate();
  P.Hook().SetStatus(1, EFI_DEVICE_ERROR);
  P.Hook().SetOutputs(0, 0xAB, 0xCD);

  UINT64 Out1 = 0, Out2 = 0;
  EXPECT_EQ(Hook->Slot0(&Out1, &Out2), EFI_SUCCESS);
  EXPECT_EQ(Out1, 0xABu);
  EXPECT_EQ(Out2, 0xCDu);
  EFI_GUID Request = Sim::kPlatformHookRequestGuid;
  UINT64 A = 0x77, B = 0x88;
  EXPECT_EQ(Hook->Slot1(&Request, &A, &B), EFI_DEVICE_ERROR);
  EXPECT_EQ(A, 0x77u);
  EXPECT_EQ(B, 0x88u);
  ASSERT_EQ(P.Hook().Calls().size(), 2u);
  EXPECT_EQ(P.Hook().Calls()[1].Status, EFI_DEVICE_ERROR);
  EXPECT_EQ(P.Hook().Calls()[1].Output1, 0x77u);
  EXPECT_EQ(P.Boot().Calls().back().Service, "HookSlot1");
  EXPECT_EQ(P.Boot().Calls().back().Status, EFI_DEVICE_ERROR);

  // The status stays until changed; slot 0 fails the same way.
  EXPECT_EQ(Hook->Slot1(&Request, &A, &B), EFI_DEVICE_ERROR);
  P.Hook().SetStatus(1, EFI_SUCCESS);
  P.Hook().SetStatus(0, EFI_UNSUPPORTED);
  EXPECT_EQ(Hook->Slot1(&Request, &A, &B), EFI_SUCCESS);
  EXPECT_EQ(Hook->Slot0(&Out1, &Out2), EFI_UNSUPPORTED);
  EXPECT_THROW(P.Hook().SetStatus(3, EFI_SUCCESS), std::out_of_range);
  EXPECT_TRUE(P.Boot().Misuses().empty());

  // A NULL output and a call above TPL_NOTIFY are the caller's faults.
  EXPECT_EQ(Hook->Slot2(1, 2, 1, 0, 0, TRUE, nullptr, &Out2), EFI_INVALID_PARAMETER);
  ASSERT_EQ(P.Boot().Misuses().size(), 1u);
  EXPECT_EQ(P.Boot().Misuses()[0].Service, "HookSlot2");
  EFI_TPL Old = Bs()->RaiseTPL(TPL_HIGH_LEVEL);
  Hook->Slot1(&Request, &A, &B);
  Bs()->RestoreTPL(Old);
  ExpectViolation(0, "HookSlot1", SimTest::kHighLevel, SimTest::kNotify);
}

}  // namespace
