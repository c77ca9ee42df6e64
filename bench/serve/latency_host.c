/* A 10 Hz host for measuring varnel-inspect serve: every tick it updates 24
 * cars in one transaction, stamped with the wall clock in microseconds (so a
 * client on the same machine can tell how long a publication took to reach it),
 * and measures what the tick's writes and commit cost the host. At the end it
 * prints the median and the 99th percentile of that cost.
 *
 *   cc -O2 -I varnel-interface/include latency_host.c -L DIR -lvarnel_interface -o latency_host
 *   ./latency_host SECONDS */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "varnel_interface.h"

static double now(clockid_t clock) {
  struct timespec t;
  clock_gettime(clock, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}
static int by_value(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return x < y ? -1 : x > y;
}

int main(int argc, char** argv) {
  const int ticks = (argc > 1 ? atoi(argv[1]) : 30) * 10;
  KnowledgeGraphHandle* g = initialize_knowledge_graph();
  if (!g) return 1;
  set_autocommit(0, g);
  double* cost = calloc((size_t)ticks, sizeof *cost);
  const double start = now(CLOCK_MONOTONIC);
  for (int tick = 0; tick < ticks; ++tick) {
    const double due = start + tick * 0.1;
    while (now(CLOCK_MONOTONIC) < due) {
      struct timespec pause = {0, 200000};
      nanosleep(&pause, NULL);
    }
    const double t0 = now(CLOCK_MONOTONIC);
    const uint64_t stamp = (uint64_t)(now(CLOCK_REALTIME) * 1e6);
    start_transaction(g);
    for (int car = 1; car <= 24; ++car) {
      Car c = {{1.0f, 0.0f, 0.0f}, car, {(float)(tick % 300) - 150.0f, (float)car * 4.0f, 0.0f}, 10.0f};
      if (tick == 0) add_car_node(stamp, (uint64_t)car, c, g);
      else update_car_node(stamp, (uint64_t)car, c, g);
    }
    commit_transaction(g);
    cost[tick] = now(CLOCK_MONOTONIC) - t0;
  }
  qsort(cost + 10, (size_t)(ticks - 10), sizeof *cost, by_value);  /* the first second warms up */
  printf("host: %d ticks at 10 Hz, 24 car updates + commit per tick: median %.1f us, p99 %.1f us\n", ticks - 10,
         cost[10 + (ticks - 10) / 2] * 1e6, cost[10 + (ticks - 10) * 99 / 100] * 1e6);
  release_knowledge_graph(g);
  free(cost);
  return 0;
}
