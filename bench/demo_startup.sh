#!/bin/bash
# Start-up cost of lighting-demo against a bare C program that writes the same
# bytes: RUNS paired runs (default 100), the two programs alternating which
# goes first, each timed from spawn to exit with its output to /dev/null.
# Prints the median of the per-pair ratios demo / C, and the median times.
# The goal is a ratio of at most 1.10.
# Usage: bench/demo_startup.sh [DEMO] [RUNS]   (DEMO: build/dev/demo/lighting-demo)
set -euo pipefail
demo=${1:-build/dev/demo/lighting-demo}
runs=${2:-100}
cc=${CC:-cc}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/bare.c" <<'C'
#include <stdio.h>
int main(void) {
  fputs("Energie recue    : 0.250000 0.125000 0.125000\n"
        "Energie diffusee : 0.111803 0.055902 0.111803\n", stdout);
  return 0;
}
C

cat >"$work/paired.c" <<'C'
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

/* Wall time of one run, spawn to exit, in nanoseconds. */
static double run_once(const char* program, posix_spawn_file_actions_t* actions) {
  struct timespec start, end;
  char* argv[] = {(char*)program, NULL};
  pid_t pid;
  int status;
  clock_gettime(CLOCK_MONOTONIC, &start);
  if (posix_spawn(&pid, program, actions, NULL, argv, environ) != 0) {
    perror(program);
    exit(2);
  }
  if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "%s did not exit with status 0\n", program);
    exit(2);
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  return (end.tv_sec - start.tv_sec) * 1e9 + (end.tv_nsec - start.tv_nsec);
}

static int by_value(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static double median(double* values, int count) {
  qsort(values, (size_t)count, sizeof *values, by_value);
  return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: paired RUNS PROGRAM BASELINE\n");
    return 2;
  }
  const int runs = atoi(argv[1]);
  double* ratio = calloc((size_t)runs, sizeof *ratio);
  double* program_ns = calloc((size_t)runs, sizeof *program_ns);
  double* baseline_ns = calloc((size_t)runs, sizeof *baseline_ns);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  for (int i = 0; i < 5; ++i) { /* warm the page cache */
    run_once(argv[2], &actions);
    run_once(argv[3], &actions);
  }
  for (int i = 0; i < runs; ++i) {
    if (i % 2) {
      program_ns[i] = run_once(argv[2], &actions);
      baseline_ns[i] = run_once(argv[3], &actions);
    } else {
      baseline_ns[i] = run_once(argv[3], &actions);
      program_ns[i] = run_once(argv[2], &actions);
    }
    ratio[i] = program_ns[i] / baseline_ns[i];
  }
  printf("%d paired runs: median ratio %.3f; median %.0f us against %.0f us\n", runs,
         median(ratio, runs), median(program_ns, runs) / 1e3, median(baseline_ns, runs) / 1e3);
  return 0;
}
C

"$cc" -O2 -o "$work/bare" "$work/bare.c"
"$cc" -O2 -o "$work/paired" "$work/paired.c"
"$demo" >"$work/demo.out"
"$work/bare" >"$work/bare.out"
cmp -s "$work/demo.out" "$work/bare.out" || { echo "the C program's bytes differ from the demo's" >&2; exit 1; }
echo "lighting-demo: $demo"
echo "shared libraries loaded: $(ldd "$demo" | awk '{print $1}' | tr '\n' ' ')"
"$work/paired" "$runs" "$demo" "$work/bare"
