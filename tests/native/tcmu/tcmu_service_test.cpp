// The kernel target's command ring, served by the simulated drive. A fake
// kernel lays out the mapping as target_core_user does: mailbox, command
// ring (with padding at its end), data area addressed by offsets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "sim/sim_config.h"
#include "sim/tcmu/tcmu_abi.h"
#include "sim/tcmu/tcmu_ring.h"
#include "sim/tcmu/tcmu_service.h"

namespace {

constexpr uint32_t kRingAt = 128;
constexpr uint32_t kRingSize = 4096;
constexpr size_t kDataAt = 8192;
constexpr size_t kMapSize = 64 * 1024;

template <typename T>
void Put(uint8_t* at, T value) {
  std::memcpy(at, &value, sizeof value);
}
template <typename T>
T Get(const uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

class FakeKernel {
 public:
  explicit FakeKernel(bool read_length = true) : map_(kMapSize, 0xEE) {
    std::memset(map_.data(), 0, kDataAt);
    Put<uint16_t>(&map_[kTcmuMbVersionAt], kTcmuMailboxVersion);
    Put<uint16_t>(&map_[kTcmuMbFlagsAt], read_length ? kTcmuCapReadLength : 0);
    Put<uint32_t>(&map_[kTcmuMbRingOffsetAt], kRingAt);
    Put<uint32_t>(&map_[kTcmuMbRingSizeAt], kRingSize);
  }

  uint8_t* map() { return map_.data(); }
  uint32_t head() const { return Get<uint32_t>(&map_[kTcmuMbHeadAt]); }
  uint32_t tail() const { return Get<uint32_t>(&map_[kTcmuMbTailAt]); }
  void set_head(uint32_t v) { Put<uint32_t>(&map_[kTcmuMbHeadAt], v); }
  void set_tail(uint32_t v) { Put<uint32_t>(&map_[kTcmuMbTailAt], v); }

  // Queues a command whose data lies in spans of the given sizes (filled
  // with data_out, if any). Copies all 16 CDB bytes given: the handler must
  // take only its opcode group's length. Returns the entry's ring offset.
  uint32_t Queue(std::vector<uint8_t> cdb, std::vector<size_t> spans, const std::vector<uint8_t>& data_out = {}) {
    cdb.resize(16, 0xCC);
    const size_t base = std::max<size_t>(kTcmuIovAt + spans.size() * kTcmuIovSize, kTcmuEntrySize);
    const uint32_t len = static_cast<uint32_t>((base + 16 + 7) & ~size_t{7});
    uint32_t at = head();
    if (at + len > kRingSize) {
      Put<uint32_t>(Ring(at), (kRingSize - at) | kTcmuOpPad);
      at = 0;
    }
    uint8_t* e = Ring(at);
    std::memset(e, 0, len);
    Put<uint32_t>(e + kTcmuLenOpAt, len | kTcmuOpCmd);
    Put<uint16_t>(e + kTcmuCmdIdAt, ++id_);
    Put<uint32_t>(e + kTcmuIovCountAt, static_cast<uint32_t>(spans.size()));
    size_t data = kDataAt, copied = 0;
    current_spans_.clear();
    for (size_t i = 0; i < spans.size(); ++i) {
      Put<uint64_t>(e + kTcmuIovAt + i * kTcmuIovSize, data);
      Put<uint64_t>(e + kTcmuIovAt + i * kTcmuIovSize + 8, spans[i]);
      for (size_t k = 0; k < spans[i] && copied < data_out.size(); ++k) map_[data + k] = data_out[copied++];
      current_spans_.push_back({data, spans[i]});
      data += spans[i] + 64;  // spans are not adjacent
    }
    const size_t cdb_at = static_cast<size_t>(e - map_.data()) + base;
    std::memcpy(&map_[cdb_at], cdb.data(), 16);
    Put<uint64_t>(e + kTcmuCdbOffsetAt, cdb_at);
    set_head((at + len) % kRingSize);
    return at;
  }

  // The data of the last queued command's spans, joined.
  std::vector<uint8_t> DataIn() const {
    std::vector<uint8_t> out;
    for (const TcmuSpan& s : current_spans_) out.insert(out.end(), &map_[s.offset], &map_[s.offset] + s.length);
    return out;
  }

  uint8_t Status(uint32_t entry) { return Ring(entry)[kTcmuStatusAt]; }
  const uint8_t* Sense(uint32_t entry) { return Ring(entry) + kTcmuSenseAt; }
  bool ReadLengthSet(uint32_t entry) { return Ring(entry)[kTcmuUflagsAt] & kTcmuUflagReadLength; }
  uint32_t ReadLength(uint32_t entry) { return Get<uint32_t>(Ring(entry) + kTcmuReadLengthAt); }
  uint8_t* Ring(uint32_t at) { return &map_[kRingAt + at]; }

 private:
  std::vector<uint8_t> map_;
  std::vector<TcmuSpan> current_spans_;
  uint16_t id_ = 0;
};

std::vector<uint8_t> Vendor(uint8_t function, uint32_t offset, uint8_t mode, uint16_t length) {
  return {0x33, 0x0C, function, static_cast<uint8_t>(offset >> 16), static_cast<uint8_t>(offset >> 8),
          static_cast<uint8_t>(offset), mode, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
          'K', 'V', 'D'};
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class TcmuServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fwsim-tcmu-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_TRUE(log_.Open(dir_ + "/wire.log"));
    std::string error;
    ASSERT_TRUE(ring_.Attach(kernel_.map(), kMapSize, &error)) << error;
  }
  void TearDown() override {
    std::remove((dir_ + "/wire.log").c_str());
    std::remove((dir_ + "/flash-0-0-1.bin").c_str());
    rmdir(dir_.c_str());
  }

  // Serves the ring at time now; expects no error.
  int Serve(TcmuDriveService& service, uint64_t now = 1000, uint64_t* due = nullptr) {
    uint64_t ignored = 0;
    std::string error;
    const int n = service.Serve(ring_, now, due ? due : &ignored, &error);
    EXPECT_GE(n, 0) << error;
    return n;
  }
  std::string WireLog() { return ReadFile(dir_ + "/wire.log"); }

  std::string dir_;
  SimWireLog log_;
  FakeKernel kernel_;
  TcmuRing ring_;
  SimDriveConfig drive_;
};

TEST_F(TcmuServiceTest, InquiryIsScatteredOverTheSpans) {
  TcmuDriveService service(drive_, log_, dir_, 5000);
  const uint32_t e = kernel_.Queue({0x12, 0, 0, 0, 56, 0}, {20, 36});
  EXPECT_EQ(Serve(service), 1);
  EXPECT_EQ(kernel_.tail(), kernel_.head());
  EXPECT_EQ(kernel_.Status(e), 0);
  const std::vector<uint8_t> data = kernel_.DataIn();
  EXPECT_EQ(data[0], 0x05);
  EXPECT_EQ(data[2], 0x00) << "version 0: the kernel leaves CDB byte 1 alone";
  EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 16), "KORVADYN");
  EXPECT_EQ(std::string(data.begin() + 16, data.begin() + 32), "CD-RW K53R      ");
  EXPECT_FALSE(kernel_.ReadLengthSet(e));
  EXPECT_NE(WireLog().find("drive=0/0/0 id=1 dir=in length=56 cdb=12 00 00 00 38 00 result=done scsi=00"),
            std::string::npos)
      << WireLog();
}

TEST_F(TcmuServiceTest, BufferRoundTripWithTheSignatureCutOff) {
  TcmuDriveService service(drive_, log_, dir_, 5000);
  std::vector<uint8_t> chunk(1024);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 31 + 7);
  std::vector<uint8_t> write = Vendor(0xF1, 0x400, 0, 1024);
  write[10] = write[11] = 0x00;  // never delivered: group 1 commands have 10 bytes
  const uint32_t w = kernel_.Queue(write, {512, 512}, chunk);
  EXPECT_EQ(Serve(service), 1);
  EXPECT_EQ(kernel_.Status(w), 0);
  EXPECT_EQ(drive_.sim->Log().back().cdb_bytes, 10);

  const uint32_t r = kernel_.Queue(Vendor(0xF2, 0x400, 0, 1024), {1000, 24});
  EXPECT_EQ(Serve(service), 1);
  EXPECT_EQ(kernel_.Status(r), 0);
  EXPECT_EQ(kernel_.DataIn(), chunk);

  const uint32_t u = kernel_.Queue(Vendor(0xF1, 0, 0x80, 0), {});
  EXPECT_EQ(Serve(service), 1);
  EXPECT_EQ(kernel_.Status(u), 0);
  const std::string flashed = ReadFile(dir_ + "/flash-0-0-1.bin");
  ASSERT_EQ(flashed.size(), 0x800u);
  EXPECT_EQ(0, std::memcmp(flashed.data() + 0x400, chunk.data(), chunk.size()));

  const std::string wire = WireLog();
  EXPECT_NE(wire.find("dir=out length=1024 cdb=33 0C F1 00 04 00 00 04 00 4B unseen=10-11 result=done scsi=00 "
                      "sense=0000 moved=1024"),
            std::string::npos)
      << wire;
  EXPECT_NE(wire.find("dir=none length=0 cdb=33 0C F1 00 00 00 80 00 00 4B unseen=10-11 result=done"),
            std::string::npos)
      << wire;
}

TEST_F(TcmuServiceTest, FaultsReachTheInitiatorAsADriveWouldSendThem) {
  SimFaultRule check;
  check.kind = SimKind::WriteBuffer;
  check.sense = 0x0C00;
  drive_.sim->AddFault(check);
  SimFaultRule reject;
  reject.kind = SimKind::IdentifyModel;
  reject.fault = SimFaultKind::OsRejection;
  drive_.sim->AddFault(reject);
  TcmuDriveService service(drive_, log_, dir_, 5000);

  const uint32_t w = kernel_.Queue(Vendor(0xF1, 0, 0, 16), {16}, std::vector<uint8_t>(16, 1));
  const uint32_t i = kernel_.Queue({0x33, 0x0C, 0xF0, 0, 0, 0, 0, 0, 16, 0}, {16});
  const uint32_t t = kernel_.Queue({0x00, 0, 0, 0, 0, 0}, {});
  EXPECT_EQ(Serve(service), 3);

  EXPECT_EQ(kernel_.Status(w), 2);
  EXPECT_EQ(kernel_.Sense(w)[0], 0x70);
  EXPECT_EQ(kernel_.Sense(w)[2], 0x03);  // medium error
  EXPECT_EQ(kernel_.Sense(w)[12], 0x0C);
  EXPECT_TRUE(drive_.sim->BufferContents().empty()) << "a refused write keeps nothing";

  EXPECT_EQ(kernel_.Status(i), kTcmuReservationConflict);
  EXPECT_EQ(kernel_.Sense(i)[0], 0) << "a rejected request carries no sense";

  EXPECT_EQ(kernel_.Status(t), 2);
  EXPECT_EQ(kernel_.Sense(t)[2], 0x02);  // NOT READY, no medium
  EXPECT_EQ(kernel_.Sense(t)[12], 0x3A);
}

TEST_F(TcmuServiceTest, AShortReadTellsTheKernelHowMuchMoved) {
  for (bool kernel_takes_it : {true, false}) {
    FakeKernel kernel(kernel_takes_it);
    TcmuRing ring;
    std::string error;
    ASSERT_TRUE(ring.Attach(kernel.map(), kMapSize, &error));
    SimDriveConfig drive;
    SimFaultRule rule;
    rule.kind = SimKind::ReadBuffer;
    rule.fault = SimFaultKind::ShortTransfer;
    drive.sim->AddFault(rule);
    TcmuDriveService service(drive, log_, dir_, 5000);
    const uint32_t r = kernel.Queue(Vendor(0xF2, 0, 0, 1024), {1024});
    uint64_t due = 0;
    EXPECT_EQ(service.Serve(ring, 0, &due, &error), 1);
    EXPECT_EQ(kernel.Status(r), 0);
    EXPECT_EQ(kernel.ReadLengthSet(r), kernel_takes_it);
    if (kernel_takes_it) EXPECT_EQ(kernel.ReadLength(r), 512u);
    const std::vector<uint8_t> data = kernel.DataIn();
    EXPECT_EQ(std::vector<uint8_t>(data.begin() + 512, data.end()), std::vector<uint8_t>(512, 0))
        << "no stale bytes of the data area behind what moved";
  }
}

TEST_F(TcmuServiceTest, LateCommandsWaitWithoutBlockingTheCaller) {
  drive_.delay_ms = 50;
  TcmuDriveService delayed(drive_, log_, dir_, 5000);
  const uint32_t e = kernel_.Queue({0x12, 0, 0, 0, 56, 0}, {56});
  uint64_t due = 0;
  EXPECT_EQ(Serve(delayed, 1000, &due), 0);
  EXPECT_EQ(due, 1050u);
  EXPECT_EQ(Serve(delayed, 1049, &due), 0);
  EXPECT_EQ(kernel_.tail(), static_cast<uint32_t>(e));
  EXPECT_EQ(Serve(delayed, 1050, &due), 1);
  EXPECT_EQ(due, 0u);
  EXPECT_EQ(kernel_.Status(e), 0);
  EXPECT_EQ(drive_.sim->Received(SimKind::Inquiry), 1u) << "counted once, run once";
  EXPECT_NE(WireLog().find("result=held async=50"), std::string::npos);
  EXPECT_NE(WireLog().find("result=done scsi=00 sense=0000 moved=56 late"), std::string::npos);
}

TEST_F(TcmuServiceTest, ANeverCompletingCommandIsHeldPastTheKernelsTimeOut) {
  SimFaultRule rule;
  rule.kind = SimKind::IdentifyModel;
  rule.fault = SimFaultKind::NeverComplete;
  drive_.sim->AddFault(rule);
  TcmuDriveService service(drive_, log_, dir_, 12000);
  const uint32_t i = kernel_.Queue({0x33, 0x0C, 0xF0, 0, 0, 0, 0, 0, 16, 0}, {16});
  const uint32_t t = kernel_.Queue({0x00, 0, 0, 0, 0, 0}, {});
  uint64_t due = 0;
  EXPECT_EQ(Serve(service, 0, &due), 0);
  EXPECT_EQ(due, 12000u);
  EXPECT_EQ(Serve(service, 11999, &due), 0);
  EXPECT_EQ(Serve(service, 12000, &due), 2) << "then the commands behind it";
  EXPECT_EQ(kernel_.Status(i), 2);
  EXPECT_EQ(kernel_.Status(t), 2);
  EXPECT_EQ(drive_.sim->Received(SimKind::IdentifyModel), 1u);
  EXPECT_NE(WireLog().find("result=held never=12000"), std::string::npos);
  EXPECT_NE(WireLog().find("result=late scsi=02 sense=4400 moved=0 never"), std::string::npos);
}

TEST_F(TcmuServiceTest, ALateCommandCanStillNeverComplete) {
  drive_.delay_ms = 20;
  SimFaultRule rule;
  rule.kind = SimKind::Inquiry;
  rule.fault = SimFaultKind::NeverComplete;
  drive_.sim->AddFault(rule);
  TcmuDriveService service(drive_, log_, dir_, 3000);
  const uint32_t e = kernel_.Queue({0x12, 0, 0, 0, 56, 0}, {56});
  uint64_t due = 0;
  EXPECT_EQ(Serve(service, 0, &due), 0);
  EXPECT_EQ(due, 20u);
  EXPECT_EQ(Serve(service, 20, &due), 0) << "run when due, then held";
  EXPECT_EQ(due, 3020u);
  EXPECT_EQ(Serve(service, 3020, &due), 1);
  EXPECT_EQ(kernel_.Status(e), 2);
  EXPECT_EQ(drive_.sim->Received(SimKind::Inquiry), 1u);
}

TEST_F(TcmuServiceTest, TheRingWrapsOverPadding) {
  TcmuDriveService service(drive_, log_, dir_, 5000);
  int wraps = 0;
  for (int n = 0; n < 200; ++n) {
    const uint32_t before = kernel_.head();
    // Entries of 144 bytes: the ring's end needs padding now and then.
    const uint32_t e = kernel_.Queue({0x12, 0, 0, 0, 56, 0}, {8, 8, 8, 8, 24});
    if (e < before) ++wraps;
    ASSERT_EQ(Serve(service), 1);
    ASSERT_EQ(kernel_.tail(), kernel_.head());
    ASSERT_EQ(kernel_.Status(e), 0);
    ASSERT_EQ(kernel_.DataIn()[8], 'K');
  }
  EXPECT_GE(wraps, 2);
}

// An INQUIRY with one 56-byte span: an entry of 128 bytes, at 0 in an empty ring.
uint32_t q(FakeKernel& k) { return k.Queue({0x12, 0, 0, 0, 56, 0}, {56}); }

// Each case spoils one thing a kernel could hand over and names the check
// that has to refuse it: with that check gone, the case fails (another check
// refuses it, the command is served, or ASan sees memory outside the mapping;
// past a zero-length padding entry the handler would walk in place until
// the test's time-out).
TEST_F(TcmuServiceTest, ABrokenRingIsLeftAloneWithoutTouchingMemoryOutsideTheMapping) {
  using F = TcmuRing::Fault;
  struct Case {
    const char* what;
    F reason;
    void (*make)(FakeKernel&);  // queues an INQUIRY (q) and spoils it
  } cases[] = {
      {"head at the ring's size", F::HeadOutOfRange,
       [](FakeKernel& k) { q(k); k.set_head(kRingSize); }},
      {"head off an entry boundary", F::HeadMisaligned,
       [](FakeKernel& k) { k.set_head(q(k) + 132); }},
      {"tail at the ring's size", F::TailOutOfRange,
       [](FakeKernel& k) { q(k); k.set_tail(kRingSize); }},
      {"tail off an entry boundary", F::TailMisaligned,
       [](FakeKernel& k) { k.set_tail(q(k) + 4); }},
      {"padding of length 0", F::EntryLengthZero,
       [](FakeKernel& k) { Put<uint32_t>(k.Ring(q(k)), kTcmuOpPad); }},
      {"padding at the ring's end reaching past it", F::EntryPastRingEnd,
       [](FakeKernel& k) {
         k.set_head(kRingSize - 64);
         k.set_tail(kRingSize - 64);
         ASSERT_EQ(q(k), 0u) << "queued behind 64 bytes of padding";
         // 128 bytes fit between tail and head (the command at 0 is queued), not before the ring's end
         Put<uint32_t>(k.Ring(kRingSize - 64), 128 | kTcmuOpPad);
       }},
      {"command reaching past the head", F::EntryPastHead,
       [](FakeKernel& k) { Put<uint32_t>(k.Ring(q(k)), (128 + 8) | kTcmuOpCmd); }},
      {"command entry too short for its response", F::CommandTooShort,
       [](FakeKernel& k) { Put<uint32_t>(k.Ring(q(k)), 64 | kTcmuOpCmd); }},
      {"one iovec more than the entry holds", F::IovecCountBeyondEntry,
       [](FakeKernel& k) { Put<uint32_t>(k.Ring(q(k)) + kTcmuIovCountAt, (128 - kTcmuIovAt) / kTcmuIovSize + 1); }},
      {"CDB at the mapping's end", F::CdbOutsideMapping,
       [](FakeKernel& k) { Put<uint64_t>(k.Ring(q(k)) + kTcmuCdbOffsetAt, kMapSize); }},
      {"6-byte CDB in the mapping's last 4 bytes", F::CdbPastMappingEnd,
       [](FakeKernel& k) {
         k.map()[kMapSize - 4] = 0x12;
         Put<uint64_t>(k.Ring(q(k)) + kTcmuCdbOffsetAt, kMapSize - 4);
       }},
      {"span based beyond the mapping", F::SpanBeyondMapping,
       [](FakeKernel& k) { Put<uint64_t>(k.Ring(q(k)) + kTcmuIovAt, kMapSize + 8); }},
      {"span running past the mapping's end", F::SpanPastMappingEnd,
       [](FakeKernel& k) { Put<uint64_t>(k.Ring(q(k)) + kTcmuIovAt, kMapSize - 8); }},
      {"span starting 8 bytes before the data area", F::SpanInsideRing,
       [](FakeKernel& k) { Put<uint64_t>(k.Ring(q(k)) + kTcmuIovAt, kRingAt + kRingSize - 8); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeKernel kernel;
    TcmuRing ring;
    std::string error;
    ASSERT_TRUE(ring.Attach(kernel.map(), kMapSize, &error));
    SimDriveConfig drive;
    TcmuDriveService service(drive, log_, dir_, 5000);
    c.make(kernel);
    uint64_t due = 0;
    EXPECT_EQ(service.Serve(ring, 0, &due, &error), -1);
    EXPECT_EQ(TcmuRing::FaultName(ring.fault()), std::string(TcmuRing::FaultName(c.reason))) << error;
    EXPECT_EQ(error.rfind(std::string(TcmuRing::FaultName(c.reason)) + ": ", 0), 0u) << error;
    EXPECT_TRUE(drive.sim->Log().empty()) << "the drive saw a command";
    EXPECT_NE(WireLog().find(std::string("result=broken reason=") + TcmuRing::FaultName(c.reason) + " "),
              std::string::npos)
        << WireLog();
  }
}

// A command whose spans add up to 4 GiB: 65536 spans of 64 KiB over the same
// data area, in an entry of a 1 MiB ring.
TEST(TcmuRing, RefusesDataOf4GiB) {
  constexpr uint32_t kSpans = 65536, kSpan = 65536;
  constexpr uint32_t kLen = (kTcmuIovAt + kSpans * kTcmuIovSize + 16 + 7) & ~7u;
  constexpr uint32_t kBigRing = kLen + 8;
  std::vector<uint8_t> map(kRingAt + kBigRing + kSpan, 0);
  Put<uint16_t>(&map[kTcmuMbVersionAt], kTcmuMailboxVersion);
  Put<uint32_t>(&map[kTcmuMbRingOffsetAt], kRingAt);
  Put<uint32_t>(&map[kTcmuMbRingSizeAt], kBigRing);
  uint8_t* e = &map[kRingAt];
  Put<uint32_t>(e + kTcmuLenOpAt, kLen | kTcmuOpCmd);
  Put<uint32_t>(e + kTcmuIovCountAt, kSpans);
  for (uint32_t i = 0; i < kSpans; ++i) {
    Put<uint64_t>(e + kTcmuIovAt + i * kTcmuIovSize, kRingAt + kBigRing);
    Put<uint64_t>(e + kTcmuIovAt + i * kTcmuIovSize + 8, kSpan);
  }
  const uint64_t cdb_at = kRingAt + kTcmuIovAt + uint64_t{kSpans} * kTcmuIovSize;
  map[cdb_at] = 0x3C;  // READ BUFFER
  Put<uint64_t>(e + kTcmuCdbOffsetAt, cdb_at);
  Put<uint32_t>(&map[kTcmuMbHeadAt], kLen);

  TcmuRing ring;
  std::string error;
  ASSERT_TRUE(ring.Attach(map.data(), map.size(), &error)) << error;
  TcmuCommand command;
  EXPECT_EQ(ring.Peek(&command, &error), TcmuRing::Next::Broken) << "data length " << command.data_length;
  EXPECT_EQ(ring.fault(), TcmuRing::Fault::DataTooLong) << error;

  Put<uint32_t>(e + kTcmuIovCountAt, kSpans - 1);  // 4 GiB less 64 KiB: still a command
  EXPECT_EQ(ring.Peek(&command, &error), TcmuRing::Next::Command) << error;
  EXPECT_EQ(command.data_length, uint32_t{kSpans - 1} * kSpan);
}

// The kernel writes cmd_head, not cmd_tail; a cmd_tail that has changed
// between Peek and Complete must not move the answer elsewhere.
TEST(TcmuRing, TheAnswerGoesToTheEntryPeekChecked) {
  FakeKernel kernel;
  TcmuRing ring;
  std::string error;
  ASSERT_TRUE(ring.Attach(kernel.map(), kMapSize, &error));
  const uint32_t e = kernel.Queue({0x00, 0, 0, 0, 0, 0}, {});
  TcmuCommand command;
  ASSERT_EQ(ring.Peek(&command, &error), TcmuRing::Next::Command) << error;
  kernel.set_tail(0x7FFFFFF8);
  TcmuResponse response;
  response.scsi_status = 2;
  ring.Complete(command, response);
  EXPECT_EQ(kernel.Status(e), 2);
  EXPECT_EQ(kernel.tail(), kernel.head());

  kernel.set_tail(0);
  ring.Complete(command, response);
  EXPECT_EQ(kernel.tail(), 0u) << "answered once: a second Complete has no command to answer";
}

TEST(TcmuRing, RefusesAMappingItCannotTrust) {
  using F = TcmuRing::Fault;
  struct Case {
    const char* what;
    F reason;
    void (*spoil)(std::vector<uint8_t>& map, uint8_t** base, size_t* size);
  } cases[] = {
      {"no address", F::NoMapping, [](std::vector<uint8_t>&, uint8_t** base, size_t*) { *base = nullptr; }},
      {"mapping shorter than the mailbox", F::MailboxBeyondMapping,
       [](std::vector<uint8_t>& map, uint8_t** base, size_t* size) {
         map.resize(kTcmuMbSize - 8);  // ASan sees a mailbox read beyond it
         map.shrink_to_fit();
         *base = map.data();
         *size = map.size();
       }},
      {"mailbox version 1", F::MailboxVersion,
       [](std::vector<uint8_t>& map, uint8_t**, size_t*) { Put<uint16_t>(&map[kTcmuMbVersionAt], 1); }},
      {"ring inside the mailbox", F::RingOverlapsMailbox,
       [](std::vector<uint8_t>& map, uint8_t**, size_t*) { Put<uint32_t>(&map[kTcmuMbRingOffsetAt], kTcmuMbSize - 8); }},
      {"ring of size 0", F::RingEmpty,
       [](std::vector<uint8_t>& map, uint8_t**, size_t*) { Put<uint32_t>(&map[kTcmuMbRingSizeAt], 0); }},
      {"ring size not whole entry units", F::RingSizeMisaligned,
       [](std::vector<uint8_t>& map, uint8_t**, size_t*) { Put<uint32_t>(&map[kTcmuMbRingSizeAt], 1020); }},
      {"ring offset beyond the mapping", F::RingOffsetBeyondMapping,
       [](std::vector<uint8_t>& map, uint8_t**, size_t*) { Put<uint32_t>(&map[kTcmuMbRingOffsetAt], 8192); }},
      {"ring 8 bytes longer than the mapping holds", F::RingPastMappingEnd,
       [](std::vector<uint8_t>& map, uint8_t**, size_t*) { Put<uint32_t>(&map[kTcmuMbRingSizeAt], 4096 - 128 + 8); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> map(4096, 0);
    Put<uint16_t>(&map[kTcmuMbVersionAt], kTcmuMailboxVersion);
    Put<uint32_t>(&map[kTcmuMbRingOffsetAt], 128);
    Put<uint32_t>(&map[kTcmuMbRingSizeAt], 1024);
    uint8_t* base = map.data();
    size_t size = map.size();
    c.spoil(map, &base, &size);
    TcmuRing ring;
    std::string error;
    EXPECT_FALSE(ring.Attach(base, size, &error));
    EXPECT_EQ(TcmuRing::FaultName(ring.fault()), std::string(TcmuRing::FaultName(c.reason))) << error;
    TcmuCommand command;
    EXPECT_EQ(ring.Peek(&command, &error), TcmuRing::Next::Broken) << "a refused mapping is never read";
    EXPECT_EQ(ring.fault(), F::NotAttached);
  }

  std::vector<uint8_t> map(4096, 0);
  Put<uint16_t>(&map[kTcmuMbVersionAt], kTcmuMailboxVersion);
  Put<uint32_t>(&map[kTcmuMbRingOffsetAt], 128);
  Put<uint32_t>(&map[kTcmuMbRingSizeAt], 4096 - 128);
  TcmuRing ring;
  std::string error;
  EXPECT_TRUE(ring.Attach(map.data(), map.size(), &error)) << "a ring up to the mapping's end: " << error;
  EXPECT_EQ(ring.fault(), F::None);
}

TEST(TcmuRing, CdbLengthFollowsTheOpcodeGroup) {
  const struct { uint8_t opcode; uint8_t length; } cases[] = {
      {0x00, 6}, {0x12, 6}, {0x25, 10}, {0x33, 10}, {0x46, 10}, {0xA8, 12}, {0x88, 16}, {0xC0, 10}, {0xE0, 10}};
  for (const auto& c : cases) {
    const uint8_t cdb[16] = {c.opcode};
    EXPECT_EQ(TcmuRing::DeliveredCdbLength(cdb), c.length) << std::hex << int{c.opcode};
  }
  uint8_t variable[16] = {0x7F};
  variable[7] = 0x18;
  EXPECT_EQ(TcmuRing::DeliveredCdbLength(variable), 16) << "never more than 16";
}

}  // namespace
