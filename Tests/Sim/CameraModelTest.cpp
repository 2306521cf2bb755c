// The simulated camera's ISP and flash chip, reached as a host reaches them:
// raw extension-unit requests on the default pipe. Generation registers, the
// update lock, both restart forms and the boot-control values, the SPI
// controller's command cycles against the chips, the command table behind the
// flash window, protection, the selector-9 gate and the identification paths.
// The chips on their own: CameraFlashChipTest.cpp; booting from flash and the
// update window: CameraBankModelTest.cpp, CameraSlotModelTest.cpp and
// CameraWholeImageModelTest.cpp.
#include <string>
#include <vector>

#include "CameraFixture.h"
#include "Sim/Camera/FlashChip.h"

namespace {

using CameraTest::Answer;
using CameraTest::Xu;
using Sim::CameraProfile;
using Sim::FlashChip;
using Sim::FlashCommand;

const std::vector<uint8_t> kIdOpcodes = {0x9F, 0x90, 0xAB};

// The generation letter that the five registers stand for ('\0': none).
char Classify(uint8_t R209E, uint8_t R209F, uint8_t R20A1, uint8_t R20D0, uint8_t R20FF) {
  if (R209E == 0x3E) {
    return (R209F != 0 && (R20A1 & 0x80) != 0) ? 'p' : 'q';
  }
  switch (R20FF >> 4) {
    case 0x6:
      return 'f';
    case 0x9:
      return 'g';
    case 0x8:
      return 'h';
    case 0xA:
      return R20D0 == 0x10 ? 'l' : 'i';
    case 0xB:
      return 'j';
    case 0xC:
    case 0xE:
      return 'k';
    case 0xD:
      return 'm';
    default:
      return ((R20FF & 1) == 0 || R20FF == 0x0F) ? 'n' : '\0';
  }
}

class CameraModelTest : public CameraTest::CameraFixture {};

TEST_F(CameraModelTest, EveryGenerationReportsItsRegistersAndLockState) {
  for (char Kind : std::string("fghijklmnpq")) {
    SCOPED_TRACE(Kind);
    CameraProfile Profile = CameraProfile::ForIspKind(Kind);
    Profile.LockMarker = true;
    Plug(Profile);
    EXPECT_EQ(Classify(Read(0x209E), Read(0x209F), Read(0x20A1), Read(0x20D0), Read(0x20FF)), Kind);
    EXPECT_EQ((std::vector<uint8_t>{Read(0x0700), Read(0x0701), Read(0x0702), Read(0x0703)}),
              (std::vector<uint8_t>{0x46, 0x57, 0x50, 0x4F}));
    EXPECT_EQ(Read(0x2045), 0);  // locked
    const uint8_t LockBit = Kind == 'n' ? 0x08 : Kind == 'k' ? 0x04 : (Kind == 'p' || Kind == 'q') ? 0x01 : 0;
    EXPECT_EQ(Profile.LockBit, LockBit);
    EXPECT_EQ(Cam->Chip().Protected(), Kind == 'n' || Kind == 'p' || Kind == 'q');
  }
  // The values the generation byte may take within a kind, and one that is no kind.
  const std::vector<std::pair<uint8_t, char>> Bytes = {
      {0xE2, 'k'}, {0xC2, 'k'}, {0x0F, 'n'}, {0x0E, 'n'}, {0x21, '\0'}};
  for (const auto &Case : Bytes) {
    Plug(CameraProfile::ForIspKind('n').WithGenerationByte(Case.first));
    EXPECT_EQ(Classify(Read(0x209E), Read(0x209F), Read(0x20A1), Read(0x20D0), Read(0x20FF)), Case.second);
  }
  // No marker, and a lock bit that starts set.
  CameraProfile Open = CameraProfile::ForIspKind('k');
  Open.Unlocked = true;
  Plug(Open);
  EXPECT_EQ(Read(0x0700), 0);
  EXPECT_EQ(Read(0x2045), 0x04);
}

TEST_F(CameraModelTest, TheLockBitIsReleasedByWritingItTo2041Then2043) {
  for (char Kind : std::string("nkpq")) {
    SCOPED_TRACE(Kind);
    Plug(CameraProfile::ForIspKind(Kind));
    const uint8_t Bit = Cam->Profile().LockBit;
    Write(0x2043, Bit);  // the second register alone, or first, does nothing
    Write(0x2041, Bit);
    EXPECT_EQ(Read(0x2045), 0);
    Write(0x2041, 0x10);  // another bit than the kind's
    Write(0x2043, 0x10);
    EXPECT_EQ(Read(0x2045), 0);
    Write(0x2041, Bit);
    Write(0x2043, Bit);
    EXPECT_EQ(Read(0x2045), Bit);
  }
  Plug(CameraProfile::ForIspKind('j'));  // no lock bit at all
  Write(0x2041, 0x08);
  Write(0x2043, 0x08);
  EXPECT_EQ(Read(0x2045), 0);
}

TEST_F(CameraModelTest, RestartBy20D8LeavesAfter50msReturnsAfter500msWithRegistersReloadedAndRamKept) {
  for (char Kind : std::string("nq")) {
    SCOPED_TRACE(Kind);
    Plug(CameraProfile::ForIspKind(Kind));
    EFI_USB_IO_PROTOCOL *Before = Io();
    Write(0x2041, Cam->Profile().LockBit);
    Write(0x2043, Cam->Profile().LockBit);
    Write(0x1234, 0x77);
    LoadSlot(6, 0xD7);
    ASSERT_EQ(Set(0x1F, std::vector<uint8_t>(32, 0xAB)), EFI_SUCCESS);
    ASSERT_EQ(Cam->Chip().Protected(), true);
    ClearStatus(1);
    ASSERT_FALSE(Cam->Chip().Protected());

    const uint64_t Start = P->Clock().NowNs();
    Write(0x20D8, 0xA5);  // answered normally
    EXPECT_EQ(Cam->RestartsRequested(), 1u);
    Write(0x20D8, 0xA5);  // a second request while leaving changes nothing
    EXPECT_EQ(Cam->RestartsRequested(), 1u);
    StallUntil(Start + 49000000);
    EXPECT_EQ(Io(), Before);
    StallUntil(Start + 51000000);
    EXPECT_EQ(Io(), nullptr);
    StallUntil(Start + 549000000);
    EXPECT_EQ(Io(), nullptr);
    StallUntil(Start + 551000000);
    ASSERT_NE(Io(), nullptr);
    EXPECT_EQ(Cam->RestartsCompleted(), 1u);

    // Registers as at power-on; the RAM (command table, digest) kept; the
    // boot protected the chip again.
    EXPECT_EQ(Read(0x20D8), 0);
    EXPECT_EQ(Read(0x1234), 0);
    EXPECT_EQ(Read(0x2045), 0);
    EXPECT_EQ(Read(0x209E), Cam->Profile().Reg209E);
    EXPECT_EQ(Cam->CommandSlot(6), 0xD7);
    ASSERT_NE(Cam->LastSet(0x1F), nullptr);
    EXPECT_TRUE(Cam->Chip().Protected());
    // A power-on loses the RAM too.
    Cam->PowerOn();
    EXPECT_EQ(Cam->CommandSlot(6), 0x20);
    EXPECT_EQ(Cam->LastSet(0x1F), nullptr);
  }
}

TEST_F(CameraModelTest, OlderGenerationsRestartOnlyOnTheCompleteSequenceInOrder) {
  Plug(CameraProfile::ForIspKind('k'));
  const std::vector<std::pair<uint16_t, uint8_t>> Sequence = {{0x2034, 0x00}, {0x2030, 0xFF}, {0x2031, 0x00},
                                                              {0x2032, 0x00}, {0x2033, 0x02}, {0x2034, 0x01}};
  Write(0x20D8, 0xA5);  // not this generation's restart
  for (size_t I = 1; I < Sequence.size(); ++I) {
    Write(Sequence[I].first, Sequence[I].second);  // without the first step
  }
  for (size_t I = 0; I + 1 < Sequence.size(); ++I) {
    Write(Sequence[I].first, Sequence[I].second);
  }
  Write(0x2032, 0x00);  // out of order: starts over
  Write(0x2034, 0x01);
  EXPECT_EQ(Cam->RestartsRequested(), 0u);

  Write(0x1000, 0x11);  // other registers between the steps do not disturb it
  for (const auto &Step : Sequence) {
    Write(Step.first, Step.second);
    Write(0x1000, 0x22);
  }
  EXPECT_EQ(Cam->RestartsRequested(), 1u);
  StallUntil(P->Clock().NowNs() + 600000000);
  EXPECT_EQ(Cam->RestartsCompleted(), 1u);
  EXPECT_EQ(Read(0x2034), 0);

  // The sequence means nothing to a Banked ISP.
  Plug(CameraProfile::ForIspKind('n'));
  for (const auto &Step : Sequence) {
    Write(Step.first, Step.second);
  }
  EXPECT_EQ(Cam->RestartsRequested(), 0u);
}

TEST_F(CameraModelTest, BootControlValuesReenumerateBankedIspsUnlessTheHintsSayStayAndAreRecordedOnSlotted) {
  struct Case {
    uint16_t Register;
    uint8_t ResetHint, ReconnectHint;
    bool Leaves;
  };
  const std::vector<Case> Cases = {{0x20D8, 0, 0, true},  {0x20DA, 0, 0, true}, {0x20D8, 1, 0, false},
                                   {0x20DA, 1, 2, false}, {0x20D8, 1, 3, true}, {0x20DA, 2, 0, true}};
  for (const Case &C : Cases) {
    SCOPED_TRACE(testing::Message() << std::hex << C.Register << " " << int(C.ResetHint) << " "
                                    << int(C.ReconnectHint));
    Plug(CameraProfile::ForIspKind('n'));
    Write(0x20DC, C.ResetHint);
    Write(0x20DD, C.ReconnectHint);
    Write(C.Register, C.Register == 0x20D8 ? 0x5A : 0x78);
    EXPECT_EQ(Cam->RestartsRequested(), C.Leaves ? 1u : 0u);
    StallUntil(P->Clock().NowNs() + 60000000);
    EXPECT_EQ(Io() == nullptr, C.Leaves);
  }
  Plug(CameraProfile::ForIspKind('n'));
  Write(0x20D8, 0x78);  // 0x78 restarts only through 0x20DA
  EXPECT_EQ(Cam->RestartsRequested(), 0u);

  Plug(CameraProfile::ForIspKind('q'));
  Cam->ClearRegisterWrites();
  for (auto Value :
       {std::pair<uint16_t, uint8_t>{0x6001, 1}, {0x20D8, 0x5A}, {0x20D8, 0x78}, {0x20D9, 2}, {0x041D, 1}}) {
    Write(Value.first, Value.second);
  }
  EXPECT_EQ(Cam->RestartsRequested(), 0u);
  const std::vector<Sim::RegisterWrite> &Log = Cam->RegisterWrites();
  ASSERT_EQ(Log.size(), 5u);
  EXPECT_EQ(Log[1].Address, 0x20D8);
  EXPECT_EQ(Log[2].Value, 0x78);
  EXPECT_EQ(Log[4].Address, 0x041D);
}

TEST_F(CameraModelTest, SpiControllerReadsIdentificationWithBusyPollsAndAReceiveQueue) {
  CameraProfile Profile = CameraProfile::ForIspKind('p');
  Profile.FlashKind = 2;
  Plug(Profile);
  // Before the controller finishes, nothing is received.
  Write(0x2C25, 0x10);
  Write(0x2C24, 0x9F);
  Write(0x2C26, 3);
  Write(0x2C25, 0x01);
  EXPECT_EQ(Read(0x2C24), 0xFF);
  EXPECT_TRUE(Cam->Chip().Commands().empty());

  EXPECT_EQ(SpiCycle({0x9F}, 3), 2u);
  EXPECT_EQ(SpiReceived(4), (std::vector<uint8_t>{0xC8, 0x40, 0x10, 0xFF}));  // then empty
  EXPECT_EQ(SpiCycle({0x90}, 3), 2u);
  EXPECT_EQ(SpiReceived(3), (std::vector<uint8_t>{0xC8, 0x05, 0xC8}));

  Cam->SetSpiBusyPolls(5);
  EXPECT_EQ(SpiCycle({0xAB}, 3), 5u);
  EXPECT_EQ(SpiReceived(3), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));  // no answer to 0xAB in its catalogue
  Cam->SetSpiBusyPolls(0);
  EXPECT_EQ(SpiCycle({0x9F}, 3), 0u);
  EXPECT_EQ(SpiReceived(1), std::vector<uint8_t>{0xC8});

  // A controller that never finishes never reaches the chip.
  Cam->Chip().ClearCommands();
  Cam->SetSpiNeverReady(true);
  EXPECT_EQ(SpiCycle({0x9F}, 3), 30u);
  EXPECT_EQ(SpiReceived(1), std::vector<uint8_t>{0xFF});
  EXPECT_TRUE(Cam->Chip().Commands().empty());

  // Chips without a JEDEC answer: kind 1 leaves 0x9F to the pull-up, kind 66
  // (PMC) drives zeros to what it lacks; kind 74 answers "0dx".
  const std::vector<std::pair<uint8_t, std::vector<std::vector<uint8_t>>>> Chips = {
      {1, {{0xFF, 0xFF, 0xFF}, {0xC2, 0x05, 0xC2}, {0xFF, 0xFF, 0xFF}}},
      {66, {{0x00, 0x00, 0x00}, {0x00, 0x00, 0x00}, {0x9D, 0x7B, 0x7F}}},
      {74, {{0x30, 0x64, 0x78}, {0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}}}};
  for (const auto &Chip : Chips) {
    Profile.FlashKind = Chip.first;
    Plug(Profile);
    for (size_t I = 0; I < kIdOpcodes.size(); ++I) {
      SpiCycle({kIdOpcodes[I]}, 3);
      EXPECT_EQ(SpiReceived(3), Chip.second[I]) << int(Chip.first) << " " << int(kIdOpcodes[I]);
    }
  }
}

TEST_F(CameraModelTest, ProtectionBlocksEraseAndProgramUntilWriteEnableAndWriteStatusClearIt) {
  for (uint8_t Kind : {22, 28}) {  // one status byte, two status bytes
    SCOPED_TRACE(int(Kind));
    CameraProfile Profile = CameraProfile::ForIspKind('n');
    Profile.FlashKind = Kind;
    Plug(Profile);
    Dirty(5);
    Erase(5 * 4096);
    EXPECT_EQ(FlashAt(5 * 4096 + 100), 0x00);
    Erase(6 * 4096);
    Program(6 * 4096, 0x5A);
    EXPECT_EQ(FlashAt(6 * 4096), 0xFF);
    EXPECT_EQ(Cam->Chip().Commands().back().Result, FlashCommand::Outcome::Refused);

    EXPECT_EQ(ClearStatus(Kind == 22 ? 1 : 2, false) & FlashChip::kBlockProtect, FlashChip::kBlockProtect);
    if (Kind == 28) {  // one byte is not enough for a two-byte status register
      EXPECT_EQ(ClearStatus(1) & FlashChip::kBlockProtect, FlashChip::kBlockProtect);
    }
    EXPECT_EQ(ClearStatus(Kind == 22 ? 1 : 2), 0x00);  // read back in the same command
    EXPECT_FALSE(Cam->Chip().WriteEnabled());
    Erase(5 * 4096);
    EXPECT_EQ(FlashAt(5 * 4096 + 100), 0xFF);
    Program(5 * 4096 + 0x80, 0x5A);  // the flash window reads what was programmed
    ASSERT_EQ(Set(0x0E, Le32(5 * 4096 + 0x80)), EFI_SUCCESS);
    const size_t Chunk = Profile.ChunkSize;
    EXPECT_EQ(Get(0x0F, uint16_t(Chunk)).Data, std::vector<uint8_t>(Chunk, 0x5A));
  }
  // With SRP set and the WP# pin held, the status cannot be written.
  Cam->Chip().SetStatus(FlashChip::kBlockProtect | FlashChip::kStatusProtect, 0);
  Cam->Chip().SetWriteProtectPin(true);
  EXPECT_NE(ClearStatus(2), 0x00);
  EXPECT_TRUE(Cam->Chip().Protected());
}

TEST_F(CameraModelTest, TheFlashWindowUsesTheLoadedOpcodesAndTheChipIgnoresWhatItLacks) {
  CameraProfile Profile;  // the bench camera: unprotected, no gate
  Profile.FlashKind = 64;
  Plug(Profile);
  Dirty(2);
  Dirty(3);
  Dirty(4);
  Erase(3 * 4096);  // the standard set erases with 0x20, which kind 64 lacks
  EXPECT_EQ(FlashAt(3 * 4096), 0x00);
  EXPECT_EQ(Cam->Chip().Commands().back().Opcode, 0x20);
  EXPECT_EQ(Cam->Chip().Commands().back().Result, FlashCommand::Outcome::Unknown);
  LoadSlot(6, 0xD7);
  Erase(3 * 4096 + 0x123);  // any address in the sector
  EXPECT_EQ(FlashAt(3 * 4096), 0xFF);
  EXPECT_EQ(FlashAt(3 * 4096 + 4095), 0xFF);
  EXPECT_EQ(FlashAt(2 * 4096 + 4095), 0x00);  // its neighbours untouched
  EXPECT_EQ(FlashAt(4 * 4096), 0x00);

  // And the reverse: 0xD7 on a chip that erases with 0x20.
  Profile.FlashKind = 22;
  Plug(Profile);
  Dirty(3);
  LoadSlot(6, 0xD7);
  Erase(3 * 4096);
  EXPECT_EQ(FlashAt(3 * 4096), 0x00);

  // Program through slot 9, one write enable per page touched; a chunk that
  // crosses a page boundary lands whole.
  LoadSlot(6, 0x20);
  Erase(3 * 4096);
  Cam->Chip().ClearCommands();
  Program(3 * 4096 + 0xE0, 0x3C);
  const std::vector<FlashCommand> &Log = Cam->Chip().Commands();
  ASSERT_EQ(Log.size(), 4u);
  EXPECT_EQ(Log[0].Opcode, 0x06);
  EXPECT_EQ(Log[1].Opcode, 0x02);
  EXPECT_EQ(Log[1].Address, 3u * 4096 + 0xE0);
  EXPECT_EQ(Log[3].Address, 3u * 4096 + 0x100);
  EXPECT_EQ(FlashAt(3 * 4096 + 0xE0), 0x3C);
  EXPECT_EQ(FlashAt(3 * 4096 + 0x11F), 0x3C);
  EXPECT_EQ(FlashAt(3 * 4096 + 0x120), 0xFF);
  // Programming only clears bits.
  Program(3 * 4096 + 0xE0, 0xF0);
  EXPECT_EQ(FlashAt(3 * 4096 + 0xE0), 0x30);
  // No write enable in slot 4 (0xFF: none): nothing is erased.
  LoadSlot(4, 0xFF);
  Erase(3 * 4096);
  EXPECT_EQ(FlashAt(3 * 4096 + 0xE0), 0x30);
  // Reads go through slot 1.
  LoadSlot(1, 0xFF);
  ASSERT_EQ(Set(0x0E, Le32(3 * 4096 + 0xE0)), EFI_SUCCESS);
  EXPECT_EQ(Get(0x0F, 64).Data, std::vector<uint8_t>(64, 0xFF));
}

TEST_F(CameraModelTest, Selector17SendsSlot13sOpcodeOnlyOnGenerationsWithThatPath) {
  CameraProfile Profile = CameraProfile::ForIspKind('k');
  Profile.FlashKind = 1;
  Plug(Profile);
  EXPECT_EQ(Get(0x17, 3).Data, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));  // slot 13 holds 0x9F
  LoadSlot(13, 0x90);
  EXPECT_EQ(Get(0x17, 3).Data, (std::vector<uint8_t>{0xC2, 0x05, 0xC2}));
  EXPECT_EQ(Cam->Chip().Commands().back().Opcode, 0x90);
  // A unit that refuses slot 13.
  Cam->RefuseCommandSlot(13);
  EXPECT_EQ(Set(0x07, {13}), EFI_DEVICE_ERROR);
  EXPECT_EQ(Set(0x07, {12}), EFI_SUCCESS);

  // Without the path the control STALLs; its length is still answered.
  for (CameraProfile Other : {Profile.WithGenerationByte(0xE2), CameraProfile::ForIspKind('p'),
                              CameraProfile::ForIspKind('i'), CameraProfile::ForIspKind('n')}) {
    Plug(Other);
    EXPECT_EQ(Get(0x17, 3).Status, EFI_DEVICE_ERROR);
    Answer Length = Xu(Io(), 0x85, 0x17, 2, {});
    EXPECT_EQ(Length.Data, (std::vector<uint8_t>{3, 0}));
  }
  // 'k' reporting 0xE2 reads its identification through the SPI controller.
  Plug(Profile.WithGenerationByte(0xE2));
  SpiCycle({0x90}, 3);
  EXPECT_EQ(SpiReceived(3), (std::vector<uint8_t>{0xC2, 0x05, 0xC2}));
  // Without a controller its registers are plain bytes.
  Plug(Profile);
  Write(0x2C25, 0x01);
  Write(0x2C24, 0x9F);
  EXPECT_EQ(Read(0x2C25), 0x01);
  EXPECT_EQ(Read(0x2C24), 0x9F);
  EXPECT_TRUE(Cam->Chip().Commands().empty());
}

TEST_F(CameraModelTest, OlderGenerationsEraseAndProgramOnlyAfterSelector9) {
  Plug(CameraProfile::ForIspKind('j'));
  Dirty(2);
  Erase(2 * 4096);
  EXPECT_EQ(FlashAt(2 * 4096), 0x00);
  Cam->Flash()[0x100] = 0xFF;
  Program(0x100, 0x12);
  EXPECT_EQ(FlashAt(0x100), 0xFF);
  EXPECT_TRUE(Cam->Chip().Commands().empty());  // the ISP did not even ask the chip

  ASSERT_EQ(Set(0x09, {1}), EFI_SUCCESS);
  Erase(2 * 4096);
  EXPECT_EQ(FlashAt(2 * 4096), 0xFF);
  Program(0x100, 0x12);
  EXPECT_EQ(FlashAt(0x100), 0x12);
  ASSERT_EQ(Set(0x09, {0}), EFI_SUCCESS);
  Erase(0);
  EXPECT_EQ(FlashAt(0x100), 0x12);

  // The gate closes again at a restart.
  ASSERT_EQ(Set(0x09, {1}), EFI_SUCCESS);
  for (auto Step : std::vector<std::pair<uint16_t, uint8_t>>{
           {0x2034, 0}, {0x2030, 0xFF}, {0x2031, 0}, {0x2032, 0}, {0x2033, 2}, {0x2034, 1}}) {
    Write(Step.first, Step.second);
  }
  StallUntil(P->Clock().NowNs() + 600000000);
  ASSERT_NE(Io(), nullptr);
  EXPECT_FALSE(Cam->FlashWriteEnabled());
  Erase(0);
  EXPECT_EQ(FlashAt(0x100), 0x12);
}

}  // namespace
