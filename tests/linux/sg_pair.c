/* Two INQUIRY requests at once, one per thread, each on its own node, and the
 * wall time both took. A node is named HOW:PATH, HOW being how the request
 * goes out: `ioctl` (one SG_IO call) or `write` (the sg driver's write(), then
 * poll() and read() of the answer). PATH is an sg node (/dev/sgN) or a Wine
 * device file (wine#cdrom#N#{...}).
 *
 *   sg_pair HOW:PATH HOW:PATH
 *
 * Prints "elapsed_ms=N", then one "PATH result=R status=S" line per node (R is
 * 0 or the errno of a failed call); exits 0 when both answered GOOD.
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

struct Node {
  const char* how;
  const char* path;
  int result;
  int status;
};

static pthread_barrier_t g_start;

/* One request through the sg driver's write(), poll() and read(). */
static int ByWrite(int fd, struct sg_io_hdr* io) {
  if (write(fd, io, sizeof *io) < 0) return errno;
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, 60000) != 1) return ETIMEDOUT;
  if (read(fd, io, sizeof *io) < 0) return errno;
  return 0;
}

/* The thread of one node: opens it, waits for the other, sends one INQUIRY. */
static void* Run(void* arg) {
  struct Node* node = arg;
  unsigned char cdb[6] = {0x12, 0, 0, 0, 56, 0};
  unsigned char data[56];
  unsigned char sense[32];
  struct sg_io_hdr io;
  memset(&io, 0, sizeof io);
  io.interface_id = 'S';
  io.cmdp = cdb;
  io.cmd_len = sizeof cdb;
  io.dxferp = data;
  io.dxfer_len = sizeof data;
  io.dxfer_direction = SG_DXFER_FROM_DEV;
  io.sbp = sense;
  io.mx_sb_len = sizeof sense;
  io.timeout = 60000;
  const int fd = open(node->path, O_RDWR | O_NONBLOCK);
  pthread_barrier_wait(&g_start);
  if (fd < 0) {
    node->result = errno;
    return NULL;
  }
  if (strcmp(node->how, "write") == 0) {
    node->result = ByWrite(fd, &io);
  } else {
    node->result = ioctl(fd, SG_IO, &io) < 0 ? errno : 0;
  }
  node->status = io.status;
  close(fd);
  return NULL;
}

/* Milliseconds on the monotonic clock. */
static long NowMs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

int main(int argc, char** argv) {
  if (argc != 3 || !strchr(argv[1], ':') || !strchr(argv[2], ':')) {
    fprintf(stderr, "usage: sg_pair HOW:PATH HOW:PATH (HOW: ioctl or write)\n");
    return 2;
  }
  struct Node nodes[2];
  pthread_t threads[2];
  pthread_barrier_init(&g_start, NULL, 3);
  for (int i = 0; i < 2; ++i) {
    char* colon = strchr(argv[i + 1], ':');
    *colon = '\0';
    nodes[i].how = argv[i + 1];
    nodes[i].path = colon + 1;
    nodes[i].result = -1;
    nodes[i].status = -1;
    pthread_create(&threads[i], NULL, Run, &nodes[i]);
  }
  pthread_barrier_wait(&g_start);
  const long start = NowMs();
  for (int i = 0; i < 2; ++i) pthread_join(threads[i], NULL);
  printf("elapsed_ms=%ld\n", NowMs() - start);
  int good = 1;
  for (int i = 0; i < 2; ++i) {
    printf("%s result=%d status=%d\n", nodes[i].path, nodes[i].result, nodes[i].status);
    good = good && nodes[i].result == 0 && nodes[i].status == 0;
  }
  return good ? 0 : 1;
}
