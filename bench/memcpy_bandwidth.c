/* The machine's own memcpy bandwidth, for reading the NumPy benchmarks (NumpyBench):
 * 8 MB copied into an existing buffer, and into a buffer malloc'd (and freed) for each
 * copy as a transfer into a new array does.
 *
 *   cc -O2 -o build/memcpy_bandwidth bench/memcpy_bandwidth.c && build/memcpy_bandwidth
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

static int by_value(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

/* Median and best of `rounds` copies of n bytes, in microseconds. */
static void measure(const char *what, size_t n, int fresh, int rounds) {
  char *src = malloc(n), *dst = malloc(n);
  double *us = malloc(sizeof(double) * rounds);
  volatile char sink = 0;
  memset(src, 1, n);
  memset(dst, 2, n);
  for (int r = -rounds / 4; r < rounds; r++) { /* the first quarter warms up */
    double t0 = now();
    char *d = dst;
    if (fresh) d = malloc(n);
    memcpy(d, src, n);
    sink += d[n - 1];
    if (fresh) free(d);
    double t = (now() - t0) * 1e6;
    if (r >= 0) us[r] = t;
  }
  qsort(us, rounds, sizeof(double), by_value);
  double median = us[rounds / 2];
  printf("%-32s median %8.1f us (%5.2f GB/s), best %8.1f us (%5.2f GB/s)\n", what, median, n / median / 1e3, us[0],
         n / us[0] / 1e3);
  free(us);
  free(src);
  free(dst);
  (void)sink;
}

int main(void) {
  size_t n = (size_t)8 << 20;
  measure("memcpy 8 MB, existing buffer", n, 0, 400);
  measure("memcpy 8 MB, malloc'd buffer", n, 1, 400);
  return 0;
}
