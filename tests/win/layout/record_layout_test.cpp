// The command record and the pass-through request as the 32-bit program lays
// them out: the ASPI library and the pass-through driver read them in place.
#include <gtest/gtest.h>

#include <cstddef>

#include "scsi/scsi_command.h"

TEST(RecordLayout, ScsiCommandMatchesTheAspiRequestBlock) {
  EXPECT_EQ(sizeof(ScsiCommand), 194u);
  EXPECT_EQ(offsetof(ScsiCommand, status), 1u);
  EXPECT_EQ(offsetof(ScsiCommand, adapter_id), 2u);
  EXPECT_EQ(offsetof(ScsiCommand, flags), 3u);
  EXPECT_EQ(offsetof(ScsiCommand, target_id), 8u);
  EXPECT_EQ(offsetof(ScsiCommand, lun), 9u);
  EXPECT_EQ(offsetof(ScsiCommand, data_length), 12u);
  EXPECT_EQ(offsetof(ScsiCommand, data_buffer), 16u);
  EXPECT_EQ(offsetof(ScsiCommand, sense_length), 20u);
  EXPECT_EQ(offsetof(ScsiCommand, cdb_length), 21u);
  EXPECT_EQ(offsetof(ScsiCommand, adapter_status), 22u);
  EXPECT_EQ(offsetof(ScsiCommand, target_status), 23u);
  EXPECT_EQ(offsetof(ScsiCommand, completion_event), 24u);
  EXPECT_EQ(offsetof(ScsiCommand, cdb), 48u);
  EXPECT_EQ(offsetof(ScsiCommand, sense_area), 64u);
}

TEST(RecordLayout, PassThroughRequestIsEightyBytesWithSenseAt48) {
  EXPECT_EQ(sizeof(PassThroughDirect), 44u);
  EXPECT_EQ(offsetof(PassThroughDirect, DataTransferLength), 12u);
  EXPECT_EQ(offsetof(PassThroughDirect, TimeOutValue), 16u);
  EXPECT_EQ(offsetof(PassThroughDirect, DataBuffer), 20u);
  EXPECT_EQ(offsetof(PassThroughDirect, SenseInfoOffset), 24u);
  EXPECT_EQ(offsetof(PassThroughDirect, Cdb), 28u);
  EXPECT_EQ(offsetof(PassThroughRequest, sense), 48u);
  EXPECT_EQ(sizeof(PassThroughRequest), 80u);
}
