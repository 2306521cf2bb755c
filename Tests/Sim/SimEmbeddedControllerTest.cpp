// The simulated embedded controller on ports 0x62/0x66: register reads and
// writes by a host that waits as it should, what an impatient host is
// caught at, the fault modes, and what survives a reset.
#include <cstring>
#include <string>
#include <vector>

#include <Guid/HostPortSpace.h>

#include "SimFixture.h"

namespace {

using Ec = Sim::EmbeddedController;

// A host that reaches the ports as the driver's IoLib does: through the port
// space the platform publishes in the configuration table.
class EcHost {
 public:
  explicit EcHost(Sim::Platform &P) {
    const EFI_SYSTEM_TABLE *St = P.SystemTable();
    const EFI_GUID Guid = HOST_PORT_SPACE_GUID;
    for (UINTN I = 0; I < St->NumberOfTableEntries; ++I) {
      if (std::memcmp(&St->ConfigurationTable[I].VendorGuid, &Guid, sizeof(Guid)) == 0) {
        Space_ = static_cast<HOST_PORT_SPACE *>(St->ConfigurationTable[I].VendorTable);
      }
    }
  }
  bool Found() const { return Space_ != nullptr; }

  uint8_t Status() { return static_cast<uint8_t>(Space_->Read(Space_->Context, Ec::kCommandPort, 1)); }
  uint8_t Data() { return static_cast<uint8_t>(Space_->Read(Space_->Context, Ec::kDataPort, 1)); }
  void Command(uint8_t Value) { Space_->Write(Space_->Context, Ec::kCommandPort, 1, Value); }
  void Send(uint8_t Value) { Space_->Write(Space_->Context, Ec::kDataPort, 1, Value); }

  // Polls the status until (status & Bit) == Want; returns the reads it took
  // (Limit + 1 when it gave up).
  unsigned WaitFor(uint8_t Bit, bool Want, unsigned Limit = 1000) {
    for (unsigned Reads = 1; Reads <= Limit; ++Reads) {
      if (((Status() & Bit) != 0) == Want) {
        return Reads;
      }
    }
    return Limit + 1;
  }
  unsigned WaitInputEmpty() { return WaitFor(Ec::kStatusInputFull, false); }

  uint8_t ReadRegister(uint8_t Index) {
    WaitInputEmpty();
    Command(Ec::kReadCommand);
    WaitInputEmpty();
    Send(Index);
    WaitFor(Ec::kStatusOutputFull, true);
    return Data();
  }
  void WriteRegister(uint8_t Index, uint8_t Value) {
    WaitInputEmpty();
    Command(Ec::kWriteCommand);
    WaitInputEmpty();
    Send(Index);
    WaitInputEmpty();
    Send(Value);
  }

 private:
  HOST_PORT_SPACE *Space_ = nullptr;
};

class SimEmbeddedControllerTest : public SimTest::SimFixture {
 protected:
  std::vector<std::string> Violations() {
    std::vector<std::string> Out;
    for (const Sim::EcViolation &V : P.Ec().Violations()) {
      Out.push_back(V.What);
    }
    return Out;
  }
};

TEST_F(SimEmbeddedControllerTest, ReadModifyWriteByAWaitingHostThroughThePublishedPortSpace) {
  EcHost Host(P);
  ASSERT_TRUE(Host.Found());
  P.Ec().SetRegister(0x2B, 0x12);
  EXPECT_EQ(Host.Status(), 0x00);

  // Each write keeps the input buffer full for two status reads: the wait
  // after it sees IBF twice and then clear. The read's value is there when
  // IBF clears, not before.
  Host.Command(Ec::kReadCommand);
  EXPECT_EQ(Host.Status(), Ec::kStatusInputFull | Ec::kStatusCommand);
  EXPECT_EQ(Host.Status(), Ec::kStatusInputFull | Ec::kStatusCommand);
  EXPECT_EQ(Host.Status(), Ec::kStatusCommand);
  Host.Send(0x2B);
  EXPECT_EQ(Host.Status(), Ec::kStatusInputFull);
  EXPECT_EQ(Host.WaitFor(Ec::kStatusOutputFull, true), 2u);
  EXPECT_EQ(Host.Data(), 0x12);
  EXPECT_EQ(Host.Status(), 0x00);  // the read emptied the output buffer

  // The value lands once the EC has taken it: after its busy time, whether
  // or not the host polls.
  Host.WriteRegister(0x2B, 0x12 | 0x40);
  EXPECT_EQ(P.Ec().Register(0x2B), 0x12);
  P.Clock().AdvanceNs(Ec::kDefaultBusyTimeNs);
  EXPECT_EQ(P.Ec().Register(0x2B), 0x52);
  EXPECT_EQ(Host.ReadRegister(0x2B), 0x52);
  EXPECT_EQ(P.Ec().Register(0x2A), 0x00);  // its neighbours untouched
  EXPECT_EQ(P.Ec().Register(0x2C), 0x00);

  const std::vector<Sim::EcTransaction> &T = P.Ec().Transactions();
  ASSERT_EQ(T.size(), 3u);
  EXPECT_TRUE(!T[0].Write && T[0].Register == 0x2B && T[0].Value == 0x12);
  EXPECT_TRUE(T[1].Write && T[1].Register == 0x2B && T[1].Value == 0x52);
  EXPECT_TRUE(!T[2].Write && T[2].Value == 0x52);
  EXPECT_TRUE(Violations().empty());

  // Every access took the port space's 1 us, each status read included.
  EXPECT_EQ(P.Clock().NowNs(), P.Ports().Log().size() * 1000 + Ec::kDefaultBusyTimeNs);
  const uint64_t Before = P.Clock().NowNs();
  for (int I = 0; I < 25; ++I) {
    Host.Status();
  }
  EXPECT_EQ(P.Clock().NowNs() - Before, 25000u);
}

TEST_F(SimEmbeddedControllerTest, AHostThatDoesNotWaitIsCaughtAndItsBytesDropped) {
  EcHost Host(P);
  P.Ec().SetRegister(0x2B, 0x12);

  // Register number straight after the command: dropped, so the value never
  // comes, and reading it anyway answers a stale byte.
  Host.Command(Ec::kReadCommand);
  Host.Send(0x2B);
  EXPECT_EQ(Host.WaitFor(Ec::kStatusOutputFull, true, 20), 21u);
  EXPECT_EQ(Host.Data(), 0x00);
  EXPECT_EQ(Violations(), (std::vector<std::string>{"data 0x2B written while the input buffer is full (dropped)",
                                                    "data read while the output buffer is empty"}));
  EXPECT_EQ(P.Ec().Violations()[0].Port, Ec::kDataPort);
  EXPECT_EQ(P.Ec().Violations()[0].Value, 0x2Bu);
  EXPECT_TRUE(P.Ec().Transactions().empty());

  // A write whose value follows its register number without a wait leaves
  // the register alone.
  Host.WaitInputEmpty();
  Host.Command(Ec::kWriteCommand);  // cuts the unfinished read short
  Host.WaitInputEmpty();
  Host.Send(0x2B);
  Host.Send(0x52);
  Host.WaitInputEmpty();
  EXPECT_EQ(P.Ec().Register(0x2B), 0x12);
  ASSERT_EQ(P.Ec().Violations().size(), 4u);
  EXPECT_EQ(Violations()[2], "command 0x91 cuts command 0x90 short");
  EXPECT_EQ(Violations()[3], "data 0x52 written while the input buffer is full (dropped)");

  // Stray bytes: data without a command, an unknown command, a wide access.
  Host.WaitInputEmpty();
  Host.Command(0x80);
  Host.WaitInputEmpty();
  Host.Send(0x01);
  Host.WaitInputEmpty();
  P.Ports().Read(Ec::kDataPort, 2);
  const std::vector<std::string> All = Violations();
  EXPECT_EQ(std::vector<std::string>(All.begin() + 4, All.end()),
            (std::vector<std::string>{"command 0x80 cuts command 0x91 short", "unknown command 0x80 (ignored)",
                                      "data 0x01 without a command (ignored)", "16-bit read"}));
  EXPECT_EQ(P.Ec().Register(0x2B), 0x12);
  EXPECT_TRUE(P.Ec().Transactions().empty());

  // A host that waits out the busy time without polling is fine.
  P.Ec().SetBusyTimeNs(100000);
  const size_t Count = P.Ec().Violations().size();
  Host.Command(Ec::kWriteCommand);
  P.Clock().AdvanceUs(100);
  Host.Send(0x2B);
  P.Clock().AdvanceUs(100);
  Host.Send(0x33);
  P.Clock().AdvanceUs(99);
  EXPECT_EQ(P.Ec().PeekStatus() & Ec::kStatusInputFull, Ec::kStatusInputFull);
  P.Clock().AdvanceUs(1);
  EXPECT_EQ(Host.Status(), 0x00);
  EXPECT_EQ(P.Ec().Register(0x2B), 0x33);
  EXPECT_EQ(P.Ec().Violations().size(), Count);
}

TEST_F(SimEmbeddedControllerTest, FaultModesHangTheWaitsOrAnswerAllOnes) {
  EcHost Host(P);
  P.Ec().SetRegister(0x2B, 0x12);

  // Input never drained: the command is taken in, and IBF stays set for any
  // number of status reads and any time, each read costing its microsecond.
  P.Ec().SetFault(Sim::EcFault::InputNeverDrains);
  EXPECT_EQ(Host.WaitInputEmpty(), 1u);
  Host.Command(Ec::kReadCommand);
  uint64_t Before = P.Clock().NowNs();
  EXPECT_EQ(Host.WaitFor(Ec::kStatusInputFull, false, 5000), 5001u);
  EXPECT_EQ(P.Clock().NowNs() - Before, 5000000u);
  P.Clock().AdvanceUs(1000000);
  EXPECT_EQ(Host.Status() & Ec::kStatusInputFull, Ec::kStatusInputFull);
  EXPECT_EQ(P.Ec().StatusReads(), 1u + 5000u + 1u);
  EXPECT_TRUE(P.Ec().Transactions().empty());

  // Output never filled: commands and register numbers are taken, writes
  // land, but a read never sets OBF.
  Sim::Platform Next(P.GetMachine());
  EcHost Host2(Next);
  Next.Ec().SetFault(Sim::EcFault::OutputNeverFills);
  Host2.WriteRegister(0x10, 0x77);
  Host2.WaitInputEmpty();
  EXPECT_EQ(Next.Ec().Register(0x10), 0x77);
  Host2.Command(Ec::kReadCommand);
  Host2.WaitInputEmpty();
  Host2.Send(0x2B);
  EXPECT_EQ(Host2.WaitInputEmpty(), 3u);
  EXPECT_EQ(Host2.WaitFor(Ec::kStatusOutputFull, true, 5000), 5001u);
  EXPECT_TRUE(Next.Ec().Violations().empty());

  // Absent: every read floats high, writes change nothing and the EC
  // records nothing, though the port space logs each access.
  Sim::Platform Last(P.GetMachine());
  EcHost Host3(Last);
  Last.Ec().SetFault(Sim::EcFault::Absent);
  EXPECT_EQ(Host3.Status(), 0xFF);
  EXPECT_EQ(Host3.Data(), 0xFF);
  Host3.Command(Ec::kWriteCommand);
  Host3.Send(0x2B);
  Host3.Send(0x00);
  EXPECT_EQ(Host3.Status(), 0xFF);
  EXPECT_EQ(Last.Ec().Register(0x2B), 0x12);
  EXPECT_TRUE(Last.Ec().Transactions().empty());
  EXPECT_TRUE(Last.Ec().Violations().empty());
  EXPECT_EQ(Last.Ports().Log().size(), 6u);
  EXPECT_EQ(Last.Clock().NowNs(), 6000u);
}

TEST(SimEmbeddedControllerResetTest, RegistersAndFaultOutliveTheBootTheHostInterfaceDoesNot) {
  Sim::Machine M;
  {
    Sim::Platform First(M);
    EcHost Host(First);
    Host.Command(Ec::kReadCommand);  // a read whose value is never fetched
    Host.WaitInputEmpty();
    Host.Send(0x10);
    EXPECT_EQ(Host.WaitFor(Ec::kStatusOutputFull, true), 3u);
    // The boot ends while the EC is still busy with the value: it carries
    // the write out all the same.
    Host.WriteRegister(0x2B, 0x52);
    EXPECT_EQ(M.Ec.Registers[0x2B], 0x00);
  }
  Sim::Platform Second(M);
  EXPECT_EQ(Second.Ec().PeekStatus(), 0x00);
  EXPECT_EQ(Second.Ec().Register(0x2B), 0x52);
  EcHost Host(Second);
  EXPECT_EQ(Host.ReadRegister(0x2B), 0x52);
  EXPECT_TRUE(Second.Ec().Violations().empty());
  Second.Ec().SetFault(Sim::EcFault::Absent);
  Sim::Platform Third(M);
  EXPECT_EQ(Third.Ec().Fault(), Sim::EcFault::Absent);
  EXPECT_EQ(M.Ec.Registers[0x2B], 0x52);
}

}  // namespace
