/* Write Buffer / Read Buffer round trips through SG_IO from one long-lived
 * process: every chunk read back must equal the chunk written. Prints the
 * time per command.
 *
 *   sgio_loop /dev/sgN COUNT
 */
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

enum { kChunk = 1024 };

static int Send(int fd, unsigned char function, unsigned offset, unsigned char* data, int direction) {
  unsigned char cdb[12] = {0x33, 0x0C, function, (unsigned char)(offset >> 16), (unsigned char)(offset >> 8),
                           (unsigned char)offset, 0, kChunk >> 8, kChunk & 0xFF, 'K', 'V', 'D'};
  unsigned char sense[32];
  struct sg_io_hdr io;
  memset(&io, 0, sizeof io);
  io.interface_id = 'S';
  io.cmdp = cdb;
  io.cmd_len = sizeof cdb;
  io.dxferp = data;
  io.dxfer_len = kChunk;
  io.dxfer_direction = direction;
  io.sbp = sense;
  io.mx_sb_len = sizeof sense;
  io.timeout = 20000;
  if (ioctl(fd, SG_IO, &io) < 0) {
    perror("SG_IO");
    return 0;
  }
  if (io.status || io.host_status || io.driver_status || io.resid) {
    fprintf(stderr, "function %02X offset %06X: status %02X host %04X driver %04X resid %d\n", function, offset,
            io.status, io.host_status, io.driver_status, io.resid);
    return 0;
  }
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 3 || atoi(argv[2]) <= 0) {
    fprintf(stderr, "usage: sgio_loop /dev/sgN COUNT\n");
    return 64;
  }
  const int count = atoi(argv[2]);
  const int fd = open(argv[1], O_RDWR | O_NONBLOCK);
  if (fd < 0) {
    perror(argv[1]);
    return 1;
  }
  unsigned char out[kChunk], in[kChunk];
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  for (int i = 0; i < count; ++i) {
    const unsigned offset = (unsigned)(i % 512) * kChunk;
    for (int k = 0; k < kChunk; ++k) out[k] = (unsigned char)(i * 7 + k * 13);
    memset(in, 0, sizeof in);
    if (!Send(fd, 0xF1, offset, out, SG_DXFER_TO_DEV) || !Send(fd, 0xF2, offset, in, SG_DXFER_FROM_DEV)) return 1;
    if (memcmp(in, out, kChunk) != 0) {
      fprintf(stderr, "round trip %d: the chunk read back differs\n", i);
      return 1;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  const double ms = (t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6;
  printf("%d round trips (Write Buffer + Read Buffer, %d bytes each) in %.0f ms: %.2f ms per command\n", count,
         kChunk, ms, ms / (2.0 * count));
  close(fd);
  return 0;
}
