// Sequential request latency: one POST per fresh connection, timed from connect until the
// server has closed, so the figure covers everything a pool sees for one call.
//
// usage: latency PORT BODYFILE COUNT [EXPECT]
// Prints: "n=<count> median_us=<..> p90_us=<..> p99_us=<..> min_us=<..> bytes=<last reply>"
// and exits non-zero, with one line on standard error saying why, when the server stops
// taking a request before its last byte, or a reply is not status 200 or lacks EXPECT (checked
// outside the timed part), so a figure never comes from error replies. Bodies of any size are
// sent; replies are read up to 128 MiB. With LATENCY_SAMPLES set, every
// sample (microseconds, one a line) is appended to that file, so that rounds run apart in
// time can be pooled into one figure.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static double now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static int cmp_double(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return x < y ? -1 : x > y;
}

static char* read_file(const char* path, size_t* size) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  size_t cap = 1 << 16, n = 0;
  char* buf = malloc(cap);
  size_t got;
  while (buf && (got = fread(buf + n, 1, cap - n, f)) > 0) {
    n += got;
    if (n == cap) {
      char* bigger = realloc(buf, cap *= 2);
      if (!bigger) free(buf);
      buf = bigger;
    }
  }
  fclose(f);
  *size = n;
  return buf;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s PORT BODYFILE COUNT [EXPECT]\n", argv[0]);
    return 2;
  }
  const int port = atoi(argv[1]);
  size_t body_len = 0;
  char* body = read_file(argv[2], &body_len);
  const int count = atoi(argv[3]);
  const char* expect = argc > 4 ? argv[4] : NULL;
  if (!body || count <= 0) {
    fprintf(stderr, "cannot read %s or bad count\n", argv[2]);
    return 2;
  }
  char* request = malloc(body_len + 256);
  int head = snprintf(request, 256,
                      "POST / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
                      "Content-Length: %zu\r\nConnection: close\r\n\r\n",
                      port, body_len);
  memcpy(request + head, body, body_len);
  const size_t request_len = (size_t)head + body_len;

  const size_t max_reply = (size_t)128 << 20;
  size_t cap = 1u << 20;
  char* reply = malloc(cap);
  double* samples = malloc(sizeof(double) * (size_t)count);
  if (!reply || !samples) {
    fprintf(stderr, "out of memory\n");
    return 2;
  }
  struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  size_t last = 0;

  for (int i = 0; i < count; ++i) {
    double t0 = now_us();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (fd < 0 || connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
      fprintf(stderr, "connect to port %d: %s\n", port, strerror(errno));
      return 1;
    }
    size_t sent = 0;
    while (sent < request_len) {
      // No SIGPIPE: a server that closes early is reported, not fatal.
      ssize_t n = send(fd, request + sent, request_len - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fprintf(stderr,
                "call %d: the server stopped taking the request after %zu of %zu bytes (%s)\n", i,
                sent, request_len, n < 0 ? strerror(errno) : "no progress");
        return 1;
      }
      sent += (size_t)n;
    }
    size_t got = 0;
    for (;;) {
      if (got == cap) {
        char* bigger = cap < max_reply ? realloc(reply, cap * 2) : NULL;
        if (!bigger) {
          fprintf(stderr, "call %d: reply larger than %zu bytes\n", i, cap);
          return 1;
        }
        reply = bigger;
        cap *= 2;
      }
      ssize_t n = read(fd, reply + got, cap - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        fprintf(stderr, "call %d: reading the reply: %s after %zu bytes\n", i, strerror(errno),
                got);
        return 1;
      }
      if (n == 0) break;
      got += (size_t)n;
    }
    samples[i] = now_us() - t0;
    close(fd);
    last = got;
    if (got < 12 || memcmp(reply, "HTTP/1.1 200", 12) != 0) {
      // The status line only, so the message stays on one line.
      const char* eol = memchr(reply, '\r', got);
      fprintf(stderr, "call %d: not a 200 reply (%zu bytes): %.*s\n", i, got,
              (int)(eol ? (size_t)(eol - reply) : (got < 80 ? got : 80)), reply);
      return 1;
    }
    if (expect && !memmem(reply, got, expect, strlen(expect))) {
      fprintf(stderr, "call %d: reply lacks \"%s\"\n", i, expect);
      return 1;
    }
  }
  const char* pool = getenv("LATENCY_SAMPLES");
  if (pool && *pool) {
    FILE* f = fopen(pool, "a");
    if (!f) {
      fprintf(stderr, "cannot append to %s\n", pool);
      return 1;
    }
    for (int i = 0; i < count; ++i) fprintf(f, "%.1f\n", samples[i]);
    fclose(f);
  }
  qsort(samples, (size_t)count, sizeof(double), cmp_double);
  // Nearest-rank percentiles.
  const double median = count % 2 ? samples[count / 2]
                                   : (samples[count / 2 - 1] + samples[count / 2]) / 2;
  const int p90 = (int)((count * 90 + 99) / 100) - 1;
  const int p99 = (int)((count * 99 + 99) / 100) - 1;
  printf("n=%d median_us=%.0f p90_us=%.0f p99_us=%.0f min_us=%.0f bytes=%zu\n", count, median,
         samples[p90], samples[p99], samples[0], last);
  return 0;
}
