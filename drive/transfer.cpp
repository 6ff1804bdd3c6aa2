// The update: the chosen image goes into the drive's buffer in 1024-byte
// chunks, each chunk is read back and compared where the model allows, and
// the drive is told to program its flash.
//
// The one rule that matters above all: Update Firmware is sent only after
// every chunk of the image has been written (and verified, with read-back on).
// Any doubt about a chunk - a short read of the checked copy, an image we
// cannot address, a failed command - ends the run before the flash command.
#include "drive/transfer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/app_state.h"
#include "base/exe_file.h"
#include "base/host.h"
#include "base/payload.h"
#include "drive/commands.h"

namespace {

static_assert(static_cast<uint8_t>(FlashMode::kDefault) == kUpdateModeDefault, "flash mode byte");
static_assert(static_cast<uint8_t>(FlashMode::k4k) == kUpdateMode4k, "flash mode byte");

// Buffer offsets travel in 24 bits.
constexpr uint64_t kMaxAddressableImage = 1u << 24;
constexpr int kRetryLimit = 5;

struct ChunkBuffers {
  uint8_t raw[kChunkSize];       // as read from the checked copy of the program file
  uint8_t keyed[kChunkSize];     // descrambled, as sent to the drive
  uint8_t read_back[kChunkSize]; // as the drive returned it
};

class Display {
 public:
  explicit Display(UpdateState& state) : state_(state) {}

  void Status(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    state_.status_text = text;
    if (state_.progress_sink) state_.progress_sink->SetStatus(text);
  }

  void Position(int position) {
    if (state_.progress_sink) state_.progress_sink->SetPosition(position);
  }

 private:
  UpdateState& state_;
};

// The directory entry the accept step chose, or null when there is none.
const ImageDirectoryEntry* ChosenImage(const UpdateState& state) {
  int count = state.image_count;
  if (count > kMaxDirectoryEntries) count = kMaxDirectoryEntries;
  const int entry = state.target_image_entry;
  if (entry < 0 || entry >= count) return nullptr;
  return &state.image_directory[entry];
}

// Writes one keyed chunk, reads it back and compares it, with the run-wide
// retry budget. Returns TransferOk when the chunk is in the drive's buffer.
TransferResult SendChunk(UpdateState& state, Display& display, ChunkBuffers& buffers, uint32_t offset,
                         uint32_t length, int& budget) {
  for (;;) {
    TransferResult failure;
    if (!WriteBuffer(buffers.keyed, offset, length, 0x00)) {
      failure = BufferWriteFailed;
    } else if (!state.read_back_verification) {
      return TransferOk;
    } else {
      display.Status("Read data from bufer, Offset = 0x%08X, recursive = %d", offset, budget);
      // Filled with the complement of what we expect, so bytes the drive does
      // not deliver can never pass the comparison.
      for (uint32_t i = 0; i < length; ++i) buffers.read_back[i] = static_cast<uint8_t>(~buffers.keyed[i]);
      if (!ReadBuffer(buffers.read_back, offset, length, 0x00)) {
        failure = BufferReadFailed;
      } else if (std::memcmp(buffers.keyed, buffers.read_back, length) != 0) {
        failure = CompareMismatch;
      } else {
        display.Status("Compare data at Offset 0X%08X length 0x%X, recursive %d", offset, length, budget);
        display.Position(static_cast<int>(state.progress_position));
        return TransferOk;
      }
    }
    if (budget > kRetryLimit) return failure;
    ++budget;
  }
}

// From the first buffer command until the wait after Update Firmware has
// ended, on every way out.
class UpdateGuard {
 public:
  UpdateGuard() {
    if (Host().update_guard) Host().update_guard(true);
  }
  ~UpdateGuard() {
    if (Host().update_guard) Host().update_guard(false);
  }
  UpdateGuard(const UpdateGuard&) = delete;
  UpdateGuard& operator=(const UpdateGuard&) = delete;
};

TransferResult SendImage(UpdateState& state, Display& display, ChunkBuffers& buffers,
                         const ImageDirectoryEntry& image, int& budget) {
  // The copy that passed the check, never the file again: what was checked
  // is what is sent.
  ByteViewFile copy = PayloadCopy();
  // Nothing to send, or more than the drive's buffer can be addressed with:
  // flashing either would program a wrong image.
  if (image.image_size == 0 || image.image_size > kMaxAddressableImage) return BufferWriteFailed;
  if (!copy.Seek(image.image_offset)) return BufferWriteFailed;

  const double step =
      state.progress_total * 0.3333333333333333 / static_cast<double>(image.image_size) * kChunkSize;
  uint32_t remaining = image.image_size;
  uint32_t offset = 0;
  uint32_t length = kChunkSize;

  while (remaining != 0) {
    const uint32_t got = copy.Read(buffers.raw, kChunkSize);
    if (remaining < length) length = remaining;
    // Our own file came up short: never send bytes we did not read.
    if (got < length) return BufferWriteFailed;
    if (length % 4 != 0) return ChunkNotWordAligned;
    std::memcpy(buffers.keyed, buffers.raw, length);
    ApplyImageKey(buffers.keyed, length);

    display.Status("Write data to bufer, Offset: 0x%08X, recursive = %d ", offset, budget);
    const TransferResult sent = SendChunk(state, display, buffers, offset, length, budget);
    if (sent != TransferOk) return sent;

    state.progress_position += step;
    remaining -= length;
    offset += length;
  }

  const uint8_t mode = static_cast<uint8_t>(state.options.flash_mode);
  display.Status("Transfer data is completely, recursive = %d, Begin to update firmware ...", budget);
  const bool flashed = WriteBuffer(nullptr, 0, 0, mode) != 0;
  if (flashed) {
    display.Position(2 * state.progress_total / 3);
    display.Status("Finish update, Please wait.");
  }
  // Whatever became of the flash command (an answer lost to a time-out or
  // the transport is no refusal), the drive may be programming its flash:
  // nothing more goes to it until the settle is over.
  if (Host().sleep_ms) Host().sleep_ms(kFlashSettleMs);
  return flashed ? TransferOk : FlashFailed;
}

}  // namespace

TransferResult RunTransfer() {
  UpdateState& state = AppState();
  std::unique_ptr<ChunkBuffers> buffers(new (std::nothrow) ChunkBuffers);
  if (!buffers) return BufferWriteFailed;
  Display display(state);
  int budget = 0;

  const ImageDirectoryEntry* image = ChosenImage(state);
  // No image was chosen: nothing was sent, and saying "updated" would be a
  // lie.
  if (!image) return BufferWriteFailed;

  const UpdateGuard guard;
  const TransferResult result = SendImage(state, display, *buffers, *image, budget);
  if (result != TransferOk) return result;
  display.Position(state.progress_total);
  return TransferOk;
}
