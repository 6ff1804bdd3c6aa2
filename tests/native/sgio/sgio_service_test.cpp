// The simulated drive behind SG_IO: every outcome field of sg_io_hdr as the
// sg driver fills it, for each way a command can end.
#include "sim/sgio/sgio_service.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include <unistd.h>

namespace {

// A clock that moves only when the service sleeps.
uint32_t g_clock = 0;
std::vector<uint32_t> g_sleeps;
void FakeSleep(uint32_t ms) {
  g_sleeps.push_back(ms);
  g_clock += ms;
}
uint32_t FakeNow() { return g_clock; }

constexpr uint8_t kInquiry[6] = {0x12, 0, 0, 0, 56, 0};

class Sgio : public ::testing::Test {
 protected:
  void SetUp() override {
    g_clock = 1000;
    g_sleeps.clear();
    char dir[] = "/tmp/fwsgio-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    dir_ = dir;
    service_.sleep_ms = FakeSleep;
    service_.now_ms = FakeNow;
  }
  void TearDown() override {
    std::remove((dir_ + "/wire.log").c_str());
    std::remove((dir_ + "/flash-0-1-1.bin").c_str());
    rmdir(dir_.c_str());
  }

  void Configure(const std::string& text) {
    ParseSimConfig(text, config_);
    ASSERT_TRUE(config_.errors.empty()) << config_.errors[0];
    config_.out_dir = dir_;
    ASSERT_TRUE(log_.Open(dir_ + "/wire.log"));
  }

  // A request with every outcome field set to garbage, so a field the
  // service forgets shows.
  sg_io_hdr_t Request(const uint8_t* cdb, unsigned char cdb_len, int direction, void* data, unsigned length) {
    sg_io_hdr_t hdr;
    std::memset(&hdr, 0xA5, sizeof hdr);
    hdr.interface_id = 'S';
    hdr.dxfer_direction = direction;
    hdr.cmd_len = cdb_len;
    hdr.mx_sb_len = sizeof sense_;
    hdr.iovec_count = 0;
    hdr.dxfer_len = length;
    hdr.dxferp = data;
    hdr.cmdp = const_cast<unsigned char*>(cdb);
    hdr.sbp = sense_;
    hdr.timeout = 30000;
    std::memset(sense_, 0xEE, sizeof sense_);
    return hdr;
  }

  std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    FILE* f = std::fopen((dir_ + "/wire.log").c_str(), "rb");
    if (!f) return lines;
    char line[1024];
    while (std::fgets(line, sizeof line, f)) {
      lines.emplace_back(line);
      if (!lines.back().empty() && lines.back().back() == '\n') lines.back().pop_back();
    }
    std::fclose(f);
    return lines;
  }

  static void Buffer(uint8_t* cdb, uint8_t op, uint32_t offset, uint32_t length, uint8_t lun_byte = 0x0C) {
    const uint8_t bytes[12] = {0x33, lun_byte, op, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset),
                               0, uint8_t(length >> 8), uint8_t(length), 'K', 'V', 'D'};
    std::memcpy(cdb, bytes, 12);
  }

  SimConfig config_;
  SimWireLog log_;
  SgioService service_{config_, log_};
  std::string dir_;
  uint8_t sense_[32];
};

void ExpectGood(const sg_io_hdr_t& hdr, int resid) {
  EXPECT_EQ(hdr.status, 0);
  EXPECT_EQ(hdr.masked_status, 0);
  EXPECT_EQ(hdr.msg_status, 0);
  EXPECT_EQ(hdr.host_status, 0);
  EXPECT_EQ(hdr.driver_status, 0);
  EXPECT_EQ(hdr.info, 0u);
  EXPECT_EQ(hdr.sb_len_wr, 0);
  EXPECT_EQ(hdr.resid, resid);
}

TEST_F(Sgio, GoodCommandsMoveTheirDataAndReportWhatDidNotMove) {
  Configure("drive 0 1 0\n  vendor KORVADYN\n  delay 7\n");
  uint8_t data[96] = {};
  sg_io_hdr_t hdr = Request(kInquiry, 6, SG_DXFER_FROM_DEV, data, 56);
  int error = 0;
  ASSERT_EQ(service_.Serve(0, &hdr, &error), 0);
  ExpectGood(hdr, 0);
  EXPECT_EQ(hdr.duration, 7u);  // the drive's delay
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 8), "KORVADYN");
  EXPECT_EQ(sense_[0], 0xEE) << "no sense written for GOOD";

  // The host asks for more than the drive has: the rest is the residual.
  const uint8_t big[6] = {0x12, 0, 0, 0, 96, 0};
  hdr = Request(big, 6, SG_DXFER_FROM_DEV, data, 96);
  ASSERT_EQ(service_.Serve(0, &hdr, &error), 0);
  ExpectGood(hdr, 40);

  // A command without data, sent as data in with length 0 (as Wine sends it).
  uint8_t cdb[12];
  Buffer(cdb, 0xF1, 0, 4);
  uint8_t chunk[4] = {1, 2, 3, 4};
  hdr = Request(cdb, 12, SG_DXFER_TO_DEV, chunk, 4);
  ASSERT_EQ(service_.Serve(0, &hdr, &error), 0);
  ExpectGood(hdr, 0);
  EXPECT_EQ(config_.drives[0]->sim->BufferContents(), std::vector<uint8_t>({1, 2, 3, 4}));

  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            "sgio dev=0 ha=0 target=1 lun=0 dir=in length=56 timeout=30000 mx_sb_len=32 cdb=12 00 00 00 38 00 00 00 00 00 00 00 "
            "result=01 scsi=00 sense=0000 resid=0 sb=0 host=00 driver=00 delay=7");
  EXPECT_NE(lines[1].find("resid=40"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find(" dir=out length=4 "), std::string::npos) << lines[2];
}

TEST_F(Sgio, CheckConditionCarriesSenseCutToTheHostsRoomAndMovesNoData) {
  Configure("drive 0 0 0\n  fault write 1 2 check 0C00\n");
  uint8_t cdb[12];
  Buffer(cdb, 0xF1, 0x400, 16);
  uint8_t chunk[16] = {9};
  sg_io_hdr_t hdr = Request(cdb, 12, SG_DXFER_TO_DEV, chunk, 16);
  int error = 0;
  ASSERT_EQ(service_.Serve(0, &hdr, &error), 0) << "CHECK CONDITION is not a failed call";
  EXPECT_EQ(hdr.status, 0x02);
  EXPECT_EQ(hdr.masked_status, 0x01);
  EXPECT_EQ(hdr.host_status, 0);
  EXPECT_EQ(hdr.driver_status, 0x08);  // DRIVER_SENSE
  EXPECT_EQ(hdr.info & SG_INFO_OK_MASK, SG_INFO_CHECK);
  EXPECT_EQ(hdr.resid, 16);
  EXPECT_EQ(hdr.sb_len_wr, 18);
  EXPECT_EQ(sense_[0], 0x70);
  EXPECT_EQ(sense_[2], 0x03);  // medium error
  EXPECT_EQ(sense_[7], 10);
  EXPECT_EQ(sense_[12], 0x0C);
  EXPECT_EQ(sense_[13], 0x00);
  EXPECT_EQ(sense_[18], 0xEE) << "nothing beyond the sense data";
  EXPECT_TRUE(config_.drives[0]->sim->BufferContents().empty());

  // Room for 8 sense bytes only.
  hdr = Request(cdb, 12, SG_DXFER_TO_DEV, chunk, 16);
  hdr.mx_sb_len = 8;
  ASSERT_EQ(service_.Serve(0, &hdr, &error), 0);
  EXPECT_EQ(hdr.sb_len_wr, 8);
  EXPECT_EQ(sense_[7], 10);
  EXPECT_EQ(sense_[8], 0xEE);
  EXPECT_NE(LogLines().back().find("result=04 scsi=02 sense=0C00 resid=16 sb=8 host=00 driver=08"),
            std::string::npos)
      << LogLines().back();

  // A vendor CDB with the ASPI LUN byte is refused by the drive itself.
  Buffer(cdb, 0xF2, 0, 16, 0x6C);
  hdr = Request(cdb, 12, SG_DXFER_FROM_DEV, chunk, 16);
  ASSERT_EQ(service_.Serve(0, &hdr, &error), 0);
  EXPECT_EQ(hdr.status, 0x02);
  EXPECT_EQ(sense_[12], 0x24);
}

TEST_F(Sgio, RejectedAndMalformedRequestsFailTheCallAndLeaveTheRequestAlone) {
  Configure("drive 0 0 0\n  fault inquiry 1 1 reject\n");
  uint8_t data[56];
  struct Case {
    const char* what;
    size_t drive;
    void (*spoil)(sg_io_hdr_t&);
    int error;
  } cases[] = {
      {"rejected", 0, [](sg_io_hdr_t&) {}, EIO},
      {"no such drive", 3, [](sg_io_hdr_t&) {}, ENXIO},
      {"not an sg v3 request", 0, [](sg_io_hdr_t& h) { h.interface_id = 'Q'; }, ENOSYS},
      {"no CDB", 0, [](sg_io_hdr_t& h) { h.cmdp = nullptr; }, EFAULT},
      {"CDB too long", 0, [](sg_io_hdr_t& h) { h.cmd_len = 17; }, EINVAL},
      {"unknown direction", 0, [](sg_io_hdr_t& h) { h.dxfer_direction = 7; }, EINVAL},
      {"scatter list", 0, [](sg_io_hdr_t& h) { h.iovec_count = 2; }, EINVAL},
      {"data without a buffer", 0, [](sg_io_hdr_t& h) { h.dxferp = nullptr; }, EFAULT},
      {"sense without a buffer", 0, [](sg_io_hdr_t& h) { h.sbp = nullptr; }, EFAULT},
  };
  for (const Case& c : cases) {
    sg_io_hdr_t hdr = Request(kInquiry, 6, SG_DXFER_FROM_DEV, data, 56);
    c.spoil(hdr);
    sg_io_hdr_t before;
    std::memcpy(&before, &hdr, sizeof hdr);
    int error = 0;
    EXPECT_EQ(service_.Serve(c.drive, &hdr, &error), -1) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
    EXPECT_EQ(std::memcmp(&before, &hdr, sizeof hdr), 0) << c.what << ": request changed";
  }
  EXPECT_EQ(LogLines().size(), std::size(cases));
  EXPECT_NE(LogLines()[0].find("result=EIO"), std::string::npos) << LogLines()[0];
  EXPECT_EQ(config_.drives[0]->sim->Received(SimKind::Inquiry), 1u) << "malformed requests never reach the drive";
}

TEST_F(Sgio, ACommandThatNeverEndsFailsAfterItsOwnTimeOut) {
  Configure("drive 0 0 0\n  fault inquiry 1 2 never\n  fault identify 1 1 async 5000\n");
  uint8_t data[56];
  sg_io_hdr_t hdr = Request(kInquiry, 6, SG_DXFER_FROM_DEV, data, 56);
  hdr.timeout = 1000;
  int error = 0;
  EXPECT_EQ(service_.Serve(0, &hdr, &error), -1);
  EXPECT_EQ(error, ETIMEDOUT);
  EXPECT_EQ(g_sleeps, std::vector<uint32_t>({1000}));
  EXPECT_EQ(hdr.duration, 1000u);
  EXPECT_EQ(hdr.status, 0);
  EXPECT_EQ(hdr.host_status, 0x03);    // DID_TIME_OUT
  EXPECT_EQ(hdr.driver_status, 0x06);  // DRIVER_TIMEOUT
  EXPECT_EQ(hdr.info & SG_INFO_OK_MASK, SG_INFO_CHECK);
  EXPECT_EQ(hdr.resid, 56);
  EXPECT_EQ(hdr.sb_len_wr, 0);

  // No time-out given: the sg driver's own 60 seconds.
  hdr = Request(kInquiry, 6, SG_DXFER_FROM_DEV, data, 56);
  hdr.timeout = 0;
  EXPECT_EQ(service_.Serve(0, &hdr, &error), -1);
  EXPECT_EQ(g_sleeps.back(), 60000u);

  // Slower than the time-out: a time-out too, and the drive never ran it.
  const uint8_t identify[12] = {0x33, 0x0C, 0xF0, 0, 0, 0, 0, 0, 16, 0, 0, 0};
  hdr = Request(identify, 12, SG_DXFER_FROM_DEV, data, 16);
  hdr.timeout = 2000;
  EXPECT_EQ(service_.Serve(0, &hdr, &error), -1);
  EXPECT_EQ(error, ETIMEDOUT);
  EXPECT_EQ(g_sleeps.back(), 2000u);
  EXPECT_EQ(config_.drives[0]->sim->Received(SimKind::IdentifyModel), 0u);
  EXPECT_NE(LogLines().back().find("result=ETIMEDOUT scsi=00 sense=0000 resid=16 sb=0 host=03 driver=06 late"),
            std::string::npos)
      << LogLines().back();

  // Within the time-out it just takes longer.
  hdr = Request(identify, 12, SG_DXFER_FROM_DEV, data, 16);
  ASSERT_EQ(service_.Serve(0, &hdr, &error), 0);
  ExpectGood(hdr, 0);
}

TEST_F(Sgio, ShortAndCorruptTransfersSucceedWithWhatTheyReallyMoved) {
  Configure("drive 0 1 0\n  fault write 2 1 short\n  fault read 1 1 corrupt\n  fault read 2 1 short\n");
  uint8_t cdb[12];
  std::vector<uint8_t> chunk(1024);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 7 + 1);
  int error = 0;
  Buffer(cdb, 0xF1, 0, 1024);
  sg_io_hdr_t hdr = Request(cdb, 12, SG_DXFER_TO_DEV, chunk.data(), 1024);
  ASSERT_EQ(service_.Serve(0, &hdr, &error), 0);
  ExpectGood(hdr, 0);

  Buffer(cdb, 0xF1, 1024, 1024);
  hdr = Request(cdb, 12, SG_DXFER_TO_DEV, chunk.data(), 1024);
  ASSERT_EQ(service_.Serve(0, &hdr, &error), 0);
  ExpectGood(hdr, 512);

  std::vector<uint8_t> back(1024, 0xFF);
  Buffer(cdb, 0xF2, 0, 1024);
  hdr = Request(cdb, 12, SG_DXFER_FROM_DEV, back.data(), 1024);
  ASSERT_EQ(service_.Serve(0, &hdr, &error), 0);
  ExpectGood(hdr, 0);
  size_t differing = 0;
  for (size_t i = 0; i < back.size(); ++i) differing += back[i] != chunk[i];
  EXPECT_EQ(differing, 1u);

  hdr = Request(cdb, 12, SG_DXFER_FROM_DEV, back.data(), 1024);
  ASSERT_EQ(service_.Serve(0, &hdr, &error), 0);
  ExpectGood(hdr, 512);
  EXPECT_EQ(std::memcmp(back.data(), chunk.data(), 512), 0);
}

TEST_F(Sgio, AnUpdateSavesTheFlashedImage) {
  Configure("drive 0 1 0\n");
  uint8_t cdb[12];
  uint8_t chunk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  int error = 0;
  Buffer(cdb, 0xF1, 0, 8);
  sg_io_hdr_t hdr = Request(cdb, 12, SG_DXFER_TO_DEV, chunk, 8);
  ASSERT_EQ(service_.Serve(0, &hdr, &error), 0);
  const uint8_t update[12] = {0x33, 0x0C, 0xF1, 0, 0, 0, 0x80, 0, 0, 'K', 'V', 'D'};
  hdr = Request(update, 12, SG_DXFER_FROM_DEV, nullptr, 0);
  ASSERT_EQ(service_.Serve(0, &hdr, &error), 0);
  ExpectGood(hdr, 0);
  FILE* f = std::fopen((dir_ + "/flash-0-1-1.bin").c_str(), "rb");
  ASSERT_TRUE(f);
  uint8_t saved[16] = {};
  EXPECT_EQ(std::fread(saved, 1, sizeof saved, f), 8u);
  std::fclose(f);
  EXPECT_EQ(std::memcmp(saved, chunk, 8), 0);
}

}  // namespace
