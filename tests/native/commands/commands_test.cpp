// The five drive commands byte for byte, as the dispatcher receives them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/app_state.h"
#include "base/host.h"
#include "drive/commands.h"
#include "scsi/dispatcher.h"

namespace {

struct Sent {
  ScsiCommand record;
  uint32_t timeout_ms;
  bool pass_through;
};
std::vector<Sent>* g_sent = nullptr;
bool g_fail = false;

ScsiOutcome Capture(const ScsiRequest& request, bool pass_through) {
  g_sent->push_back(Sent{request, request.timeout_ms, pass_through});
  return g_fail ? RejectedOutcome() : GoodOutcome(request.data_length);
}
ScsiOutcome CaptureAspi(const ScsiRequest& request) { return Capture(request, false); }
ScsiOutcome CapturePassThrough(const ScsiRequest& request) { return Capture(request, true); }

using Cdb = std::vector<uint8_t>;

class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetScsiState();
    ResetTransports();
    ResetHost();
    SetAppState(&state_);
    g_sent = &sent_;
    g_fail = false;
    Transports().aspi_attempt = CaptureAspi;
    Transports().pass_through_attempt = CapturePassThrough;
  }
  void TearDown() override {
    ResetTransports();
    ResetScsiState();
    SetAppState(nullptr);
    g_sent = nullptr;
  }
  // The one record that was sent; its CDB as 16 bytes.
  const ScsiCommand& Only() {
    EXPECT_EQ(sent_.size(), 1u);
    return sent_.at(0).record;
  }
  static Cdb CdbOf(const ScsiCommand& c) { return Cdb(c.cdb, c.cdb + 16); }
  static Cdb Padded(Cdb twelve) {
    twelve.resize(16, 0);
    return twelve;
  }
  // The builder names a 12-byte CDB; the bytes past it stay zero.
  static void ExpectClearedElsewhere(const ScsiCommand& c) {
    EXPECT_EQ(c.cdb_length, 12);
    for (int i = 12; i < 16; ++i) EXPECT_EQ(c.cdb[i], 0) << i;
  }

  std::vector<Sent> sent_;
  UpdateState state_;
};

TEST_F(CommandsTest, InquiryAsksForFiftySixBytesWithinOneSecond) {
  uint8_t reply[56];
  EXPECT_EQ(Inquiry(reply, 56), 1);
  const ScsiCommand& c = Only();
  EXPECT_EQ(CdbOf(c), Padded({0x12, 0, 0, 0, 0x38, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(c.direction, ScsiDirection::kIn);
  EXPECT_EQ(c.data_buffer, reply);
  EXPECT_EQ(c.data_length, 56u);
  EXPECT_EQ(sent_[0].timeout_ms, 1000u);
  ExpectClearedElsewhere(c);
}

TEST_F(CommandsTest, IdentifyModelAsksForSixteenBytesWithinTenSeconds) {
  uint8_t reply[16];
  EXPECT_EQ(IdentifyModel(reply, 16), 1);
  const ScsiCommand& c = Only();
  EXPECT_EQ(CdbOf(c), Padded({0x33, 0x6C, 0xF0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0}));
  EXPECT_EQ(c.direction, ScsiDirection::kIn);
  EXPECT_EQ(c.data_buffer, reply);
  EXPECT_EQ(c.data_length, 16u);
  EXPECT_EQ(sent_[0].timeout_ms, 10000u);
  ExpectClearedElsewhere(c);
}

TEST_F(CommandsTest, LengthsTakeTheirLowByteInTheCdb) {
  uint8_t reply[0x140];
  Inquiry(reply, 0x124);
  IdentifyModel(reply, 0x110);
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[0].record.cdb[4], 0x24);
  EXPECT_EQ(sent_[0].record.data_length, 0x124u);
  EXPECT_EQ(sent_[1].record.cdb[8], 0x10);
  EXPECT_EQ(sent_[1].record.data_length, 0x10u);
}

TEST_F(CommandsTest, WriteBufferCarriesOffsetLengthAndSignature) {
  uint8_t chunk[1024];
  EXPECT_EQ(WriteBuffer(chunk, 0x80000 - 1024, 1024, 0x00), 1);
  const ScsiCommand& c = Only();
  EXPECT_EQ(CdbOf(c), Padded({0x33, 0x6C, 0xF1, 0x07, 0xFC, 0x00, 0x00, 0x04, 0x00, 'K', 'V', 'D'}));
  EXPECT_EQ(c.direction, ScsiDirection::kOut);
  EXPECT_EQ(c.data_buffer, chunk);
  EXPECT_EQ(c.data_length, 1024u);
  EXPECT_EQ(sent_[0].timeout_ms, 30000u);
  ExpectClearedElsewhere(c);
}

TEST_F(CommandsTest, LastShortChunkCarriesItsOwnLength) {
  uint8_t chunk[1024];
  EXPECT_EQ(WriteBuffer(chunk, 0x12C00, 0x1A2, 0x00), 1);
  EXPECT_EQ(ReadBuffer(chunk, 0x12C00, 0x1A2, 0x00), 1);
  ASSERT_EQ(sent_.size(), 2u);
  for (const Sent& s : sent_) {
    EXPECT_EQ(s.record.cdb[3], 0x01);
    EXPECT_EQ(s.record.cdb[4], 0x2C);
    EXPECT_EQ(s.record.cdb[5], 0x00);
    EXPECT_EQ(s.record.cdb[7], 0x01);
    EXPECT_EQ(s.record.cdb[8], 0xA2);
    EXPECT_EQ(s.record.data_length, 0x1A2u);
  }
}

TEST_F(CommandsTest, ReadBufferReadsBackIntoTheCallersBuffer) {
  uint8_t back[1024];
  EXPECT_EQ(ReadBuffer(back, 0xABCDEF, 1024, 0x00), 1);
  const ScsiCommand& c = Only();
  EXPECT_EQ(CdbOf(c), Padded({0x33, 0x6C, 0xF2, 0xAB, 0xCD, 0xEF, 0x00, 0x04, 0x00, 'K', 'V', 'D'}));
  EXPECT_EQ(c.direction, ScsiDirection::kIn);
  EXPECT_EQ(c.data_buffer, back);
  EXPECT_EQ(c.data_length, 1024u);
  EXPECT_EQ(sent_[0].timeout_ms, 30000u);
  ExpectClearedElsewhere(c);
}

TEST_F(CommandsTest, UpdateFirmwareGoesWithoutDataInBothModes) {
  uint8_t stray[4];
  for (uint8_t mode : {kUpdateModeDefault, kUpdateMode4k}) {
    SCOPED_TRACE(int{mode});
    sent_.clear();
    // Even a data pointer handed in by mistake is not passed on.
    EXPECT_EQ(WriteBuffer(stray, 0, 0, mode), 1);
    const ScsiCommand& c = Only();
    EXPECT_EQ(CdbOf(c), Padded({0x33, 0x6C, 0xF1, 0, 0, 0, mode, 0, 0, 'K', 'V', 'D'}));
    EXPECT_EQ(c.direction, ScsiDirection::kNone);
    EXPECT_EQ(c.data_buffer, nullptr);
    EXPECT_EQ(c.data_length, 0u);
    EXPECT_EQ(sent_[0].timeout_ms, 30000u);
  }
}

TEST_F(CommandsTest, OtherWriteModesArePlainBufferWrites) {
  uint8_t chunk[16];
  EXPECT_EQ(WriteBuffer(chunk, 0x400, 16, 0x01), 1);
  const ScsiCommand& c = Only();
  EXPECT_EQ(c.cdb[6], 0x00);
  EXPECT_EQ(c.direction, ScsiDirection::kOut);
  EXPECT_EQ(c.data_buffer, chunk);
  EXPECT_EQ(c.data_length, 16u);
}

TEST_F(CommandsTest, ArgumentsThatDoNotFitAreRefusedUnsent) {
  uint8_t chunk[1024];
  EXPECT_EQ(WriteBuffer(chunk, 0x1000000, 1024, 0x00), 0);   // offset beyond 24 bits
  EXPECT_EQ(ReadBuffer(chunk, 0x1000000, 1024, 0x00), 0);
  EXPECT_EQ(WriteBuffer(chunk, 0, 0x10000, 0x00), 0);        // length beyond 16 bits
  EXPECT_EQ(ReadBuffer(chunk, 0, 0x10000, 0x00), 0);
  EXPECT_EQ(WriteBuffer(nullptr, 0, 1024, 0x00), 0);         // data phase without a buffer
  EXPECT_EQ(ReadBuffer(nullptr, 0, 1024, 0x00), 0);
  EXPECT_EQ(Inquiry(nullptr, 56), 0);
  EXPECT_EQ(IdentifyModel(nullptr, 16), 0);
  EXPECT_EQ(WriteBuffer(nullptr, 0, 16, kUpdateModeDefault), 0);  // flash with a length
  EXPECT_TRUE(sent_.empty());

  // The largest values that fit still go out.
  EXPECT_EQ(ReadBuffer(chunk, 0xFFFFFF, 1024, 0x00), 1);
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].record.cdb[3], 0xFF);
  EXPECT_EQ(sent_[0].record.cdb[5], 0xFF);
}

TEST_F(CommandsTest, BuildersPassOnTheDispatchersFailure) {
  g_fail = true;
  uint8_t buffer[1024];
  EXPECT_EQ(Inquiry(buffer, 56), 0);
  EXPECT_EQ(IdentifyModel(buffer, 16), 0);
  EXPECT_EQ(WriteBuffer(buffer, 0, 1024, 0x00), 0);
  EXPECT_EQ(ReadBuffer(buffer, 0, 1024, 0x00), 0);
  EXPECT_EQ(sent_.size(), 20u);  // five attempts each
  // The flash command once: a failure without the drive's answer that it
  // did not carry it out is never followed by another.
  EXPECT_EQ(WriteBuffer(nullptr, 0, 0, kUpdateModeDefault), 0);
  EXPECT_EQ(sent_.size(), 21u);
}

// The dispatcher hands either transport the command as built: the
// pass-through form of a vendor CDB (33 0C) is the transport's to make.
TEST_F(CommandsTest, BothModesHandTheTransportTheSameRequest) {
  uint8_t buffer[1024];
  auto send_all = [&] {
    Inquiry(buffer, 56);
    IdentifyModel(buffer, 16);
    WriteBuffer(buffer, 0x400, 1024, 0x00);
    ReadBuffer(buffer, 0x400, 1024, 0x00);
    WriteBuffer(nullptr, 0, 0, kUpdateModeDefault);
  };
  send_all();
  g_pass_through_mode = true;
  send_all();
  ASSERT_EQ(sent_.size(), 10u);
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    const Sent& aspi = sent_[i];
    const Sent& pt = sent_[i + 5];
    EXPECT_FALSE(aspi.pass_through);
    EXPECT_TRUE(pt.pass_through);
    EXPECT_EQ(CdbOf(aspi.record), CdbOf(pt.record));
    EXPECT_EQ(aspi.record.direction, pt.record.direction);
    EXPECT_EQ(aspi.record.data_buffer, pt.record.data_buffer);
    EXPECT_EQ(aspi.record.data_length, pt.record.data_length);
    EXPECT_EQ(aspi.timeout_ms, pt.timeout_ms);
  }
  EXPECT_EQ(sent_[6].record.cdb[1], 0x6C);
}

}  // namespace
