/* A parent daemon stand-in fast enough to keep a soak run busy for hundreds of thousands of
 * requests: every POST gets the same JSON-RPC reply, then the connection is closed.
 *
 *   fast_daemon <port> <reply-body-file>
 *
 * Port 0 picks a free one. Once it listens it prints "port <n>" on standard output. A few
 * threads share the listening socket, each serving one connection at a time with blocking I/O;
 * the proxy opens one connection per call, so nothing more elaborate is needed. */
#define _GNU_SOURCE
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#define THREADS 6
#define REQUEST_MAX (1 << 20)

static int listener;
static char *reply;
static size_t reply_len;

static int write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    p += w;
    n -= (size_t)w;
  }
  return 0;
}

/* Content-Length of a header block, or 0 when it names none. */
static size_t content_length(const char *head, size_t len) {
  const char *p = head, *end = head + len;
  while (p < end) {
    const char *eol = memchr(p, '\n', (size_t)(end - p));
    if (!eol) eol = end;
    if ((size_t)(eol - p) > 15 && strncasecmp(p, "content-length:", 15) == 0) {
      return (size_t)strtoull(p + 15, NULL, 10);
    }
    p = eol + 1;
  }
  return 0;
}

/* Reads the whole request before answering: closing with unread bytes would reset the
 * connection and the proxy would see a failure that is the daemon's fault, not its own. */
static int read_request(int fd, char *buf) {
  size_t fill = 0;
  for (;;) {
    if (fill == REQUEST_MAX) return -1;
    ssize_t r = read(fd, buf + fill, REQUEST_MAX - fill);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return fill > 0 ? 0 : -1;
    fill += (size_t)r;
    char *sep = memmem(buf, fill, "\r\n\r\n", 4);
    if (!sep) continue;
    size_t head = (size_t)(sep - buf);
    if (fill - head - 4 >= content_length(buf, head)) return 0;
  }
}

static void *serve(void *arg) {
  (void)arg;
  char *buf = malloc(REQUEST_MAX);
  char head[256];
  int head_len = snprintf(head, sizeof head,
                          "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n"
                          "Connection: close\r\n\r\n",
                          reply_len);
  for (;;) {
    int fd = accept(listener, NULL, NULL);
    if (fd < 0) {
      if (errno != EINTR) usleep(1000);  /* out of descriptors: do not spin */
      continue;
    }
    struct timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (read_request(fd, buf) == 0 && write_all(fd, head, (size_t)head_len) == 0) {
      write_all(fd, reply, reply_len);
    }
    close(fd);
  }
  return NULL;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s <port> <reply-body-file>\n", argv[0]);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  FILE *f = fopen(argv[2], "rb");
  if (!f) {
    perror("reply file");
    return 1;
  }
  fseek(f, 0, SEEK_END);
  reply_len = (size_t)ftell(f);
  rewind(f);
  reply = malloc(reply_len + 1);
  if (fread(reply, 1, reply_len, f) != reply_len) {
    perror("reply file");
    return 1;
  }
  fclose(f);

  listener = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  /* A restart on the same port must not wait for the connections still in TIME_WAIT. */
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in addr = {0};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons((unsigned short)atoi(argv[1]));
  if (bind(listener, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(listener, 1024) != 0) {
    perror("listen");
    return 1;
  }
  socklen_t len = sizeof addr;
  getsockname(listener, (struct sockaddr *)&addr, &len);
  printf("port %d\n", ntohs(addr.sin_port));
  fflush(stdout);

  pthread_t threads[THREADS];
  for (int i = 0; i < THREADS; ++i) pthread_create(&threads[i], NULL, serve, NULL);
  pthread_join(threads[0], NULL);
  return 0;
}
