// The five commands spoken to a drive. Each builder clears a ScsiCommand,
// fills cdb (12 bytes), direction, data_buffer and data_length, and hands it to
// SendScsiCommand with its time-out. 1 success, 0 failure.
// WriteBuffer with mode kUpdateModeDefault or kUpdateMode4k is Update
// Firmware (no data phase; offset 0, length 0). A command whose offset does
// not fit 24 bits, whose length does not fit 16 bits, that has a data phase
// without a buffer, or an Update Firmware with a length, is refused (0) and
// never sent. The buffer and flash commands count as done only when the drive
// carried them out in full (Completion::kCarriedOut); Update Firmware is sent
// again only when the drive answers that it did not carry it out
// (Completion::kCarriedOutAtMostOnce). The two questions keep the
// dispatcher's plain rule.
#pragma once
#include <cstdint>

constexpr uint32_t kInquiryTimeoutMs = 1000;
constexpr uint32_t kIdentifyTimeoutMs = 10000;
constexpr uint32_t kBufferTimeoutMs = 30000;

constexpr uint8_t kUpdateModeDefault = 0x80;
constexpr uint8_t kUpdateMode4k = 0x40;

int Inquiry(void* reply, uint32_t allocation_length);
int IdentifyModel(void* reply, uint32_t reply_length);
int WriteBuffer(const void* data, uint32_t offset, uint32_t length, uint8_t mode);
int ReadBuffer(void* buffer, uint32_t offset, uint32_t length, uint8_t mode);
