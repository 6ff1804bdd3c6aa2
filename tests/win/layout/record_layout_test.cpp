// The ASPI request blocks (scsi/aspi_win32.h) and the pass-through request
// (scsi/passthrough_win32.h) as this build lays them out: the ASPI library and
// the pass-through driver read them in place. 32-bit and 64-bit Windows
// differ only where a pointer lies.
#include <gtest/gtest.h>

#include <cstddef>

#include "scsi/aspi_win32.h"
#include "scsi/passthrough_win32.h"

namespace {

// Where the fields must lie on this processor.
struct Expected {
  // AspiExecRequest (SRB_ExecSCSICmd, packed): the two pointers and what follows them.
  size_t command_size, sense_length, cdb_length, adapter_status, target_status, completion_event, cdb, sense_area;
  // SRB_Abort.
  size_t abort_size;
  // SCSI_PASS_THROUGH_DIRECT (natural alignment) and the request around it.
  size_t direct_size, data_buffer, sense_info_offset, direct_cdb, sense, request_size;
};
#if defined(_WIN64)
constexpr Expected kExpected{202, 24, 25, 26, 27, 28, 56, 72, 16, 56, 24, 32, 36, 60, 96};
#else
constexpr Expected kExpected{194, 20, 21, 22, 23, 24, 48, 64, 12, 44, 20, 24, 28, 48, 80};
#endif

TEST(RecordLayout, AspiExecRequestIsTheLibrarysExecuteBlock) {
  EXPECT_EQ(sizeof(AspiExecRequest), kExpected.command_size);
  EXPECT_EQ(offsetof(AspiExecRequest, status), 1u);
  EXPECT_EQ(offsetof(AspiExecRequest, adapter_id), 2u);
  EXPECT_EQ(offsetof(AspiExecRequest, flags), 3u);
  EXPECT_EQ(offsetof(AspiExecRequest, target_id), 8u);
  EXPECT_EQ(offsetof(AspiExecRequest, lun), 9u);
  EXPECT_EQ(offsetof(AspiExecRequest, data_length), 12u);
  EXPECT_EQ(offsetof(AspiExecRequest, data_buffer), 16u);
  EXPECT_EQ(offsetof(AspiExecRequest, sense_length), kExpected.sense_length);
  EXPECT_EQ(offsetof(AspiExecRequest, cdb_length), kExpected.cdb_length);
  EXPECT_EQ(offsetof(AspiExecRequest, adapter_status), kExpected.adapter_status);
  EXPECT_EQ(offsetof(AspiExecRequest, target_status), kExpected.target_status);
  EXPECT_EQ(offsetof(AspiExecRequest, completion_event), kExpected.completion_event);
  EXPECT_EQ(offsetof(AspiExecRequest, cdb), kExpected.cdb);
  EXPECT_EQ(offsetof(AspiExecRequest, sense_area), kExpected.sense_area);
}

TEST(RecordLayout, AspiRequestBlocksKeepTheirSizes) {
  EXPECT_EQ(sizeof(AspiRequestHeader), 8u);
  EXPECT_EQ(sizeof(AspiHostAdapterInquiry), 60u);
  EXPECT_EQ(sizeof(AspiGetDeviceType), 12u);
  EXPECT_EQ(offsetof(AspiGetDeviceType, device_type), 10u);
  EXPECT_EQ(offsetof(AspiAbortRequest, request), 8u);
  EXPECT_EQ(sizeof(AspiAbortRequest), kExpected.abort_size);
}

TEST(RecordLayout, PassThroughRequestHasTheSystemsLayout) {
  EXPECT_EQ(sizeof(PassThroughDirect), kExpected.direct_size);
  EXPECT_EQ(offsetof(PassThroughDirect, DataIn), 8u);
  EXPECT_EQ(offsetof(PassThroughDirect, DataTransferLength), 12u);
  EXPECT_EQ(offsetof(PassThroughDirect, TimeOutValue), 16u);
  EXPECT_EQ(offsetof(PassThroughDirect, DataBuffer), kExpected.data_buffer);
  EXPECT_EQ(offsetof(PassThroughDirect, SenseInfoOffset), kExpected.sense_info_offset);
  EXPECT_EQ(offsetof(PassThroughDirect, Cdb), kExpected.direct_cdb);
  EXPECT_EQ(offsetof(PassThroughRequest, filler), kExpected.direct_size);
  EXPECT_EQ(offsetof(PassThroughRequest, sense), kExpected.sense);
  EXPECT_EQ(sizeof(PassThroughRequest), kExpected.request_size);
  // What the request says of itself, which the system checks.
  EXPECT_EQ(kPassThroughDirectLength, kExpected.direct_size);
  EXPECT_EQ(kPassThroughSenseOffset, kExpected.sense);
}

}  // namespace
