/* Spawn-and-wait timer of the benchmark.
 *
 *   spawn_timer time ROUNDS WARMUP BODY_FILE PROGRAM...
 *     Runs every PROGRAM once per round, interleaved (the order turns round
 *     every other round, so neither program always runs right after the
 *     other), with standard input read from BODY_FILE and standard output
 *     thrown away. The first WARMUP rounds are not counted. The environment
 *     is passed on as it is (CONTENT_LENGTH and the like come from the
 *     caller). For each program prints one line:
 *       PROGRAM runs=N failed=F median_us=.. p90_us=.. min_us=.. mean_us=..
 *               cpu_median_us=..
 *     where a failed run is one that did not exit with status 0. The time is
 *     wall-clock from just before the spawn to the return of wait; the CPU
 *     time (user and system, from wait4) leaves out the waits for the SMTP
 *     server and the other loads of a shared machine.
 *
 *   spawn_timer hwm BODY_FILE PROGRAM
 *     Runs PROGRAM once under ptrace, stops it as it exits and prints its
 *     peak resident memory as "hwm_kb=N status=S". Measured on the process
 *     itself: the wait4 figure (ru_maxrss) would also count the pages of
 *     whoever forked it.
 *
 *   spawn_timer steps BODY_FILE PROGRAM
 *     Runs PROGRAM once, one instruction at a time, and prints the address of
 *     every instruction it executed, each once, in the order first executed
 *     ("at 0x.." lines). scripts/layout-profile takes the code a run touches
 *     from it: unlike valgrind, this is the real processor and the real
 *     kernel (the vDSO, the real string functions). */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static long long now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static int compare_ll(const void* a, const void* b) {
  long long x = *(const long long*)a;
  long long y = *(const long long*)b;
  return x < y ? -1 : x > y;
}

/* One spawn and wait. Returns the elapsed nanoseconds, or -1 when the
 * program could not start or did not exit with status 0; stores the CPU
 * time the program used (user and system) in *cpu_ns. */
static long long run_once(const char* program, int body_fd, int null_fd,
                          long long* cpu_ns) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, body_fd, 0);
  posix_spawn_file_actions_adddup2(&actions, null_fd, 1);
  char* argv[] = {(char*)program, NULL};
  /* The children share the file offset of the body. */
  lseek(body_fd, 0, SEEK_SET);
  long long start = now_ns();
  pid_t pid;
  int rc = posix_spawn(&pid, program, &actions, NULL, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  long long spent = now_ns() - start;
  *cpu_ns = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
            (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return spent;
}

static int time_programs(int rounds, int warmup, const char* body_path,
                         int count, char** programs) {
  int body_fd = open(body_path, O_RDONLY | O_CLOEXEC);
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (body_fd < 0 || null_fd < 0) {
    perror("spawn_timer: open");
    return 1;
  }
  long long* samples = calloc((size_t)rounds * (size_t)count, sizeof *samples);
  long long* cpu = calloc((size_t)rounds * (size_t)count, sizeof *cpu);
  int* failed = calloc((size_t)count, sizeof *failed);
  int* kept = calloc((size_t)count, sizeof *kept);
  if (samples == NULL || cpu == NULL || failed == NULL || kept == NULL) {
    return 1;
  }
  for (int round = 0; round < warmup + rounds; ++round) {
    for (int k = 0; k < count; ++k) {
      int p = round % 2 == 0 ? k : count - 1 - k;
      long long cpu_ns = 0;
      long long spent = run_once(programs[p], body_fd, null_fd, &cpu_ns);
      if (round < warmup) continue;
      if (spent < 0) {
        ++failed[p];
      } else {
        cpu[(size_t)p * rounds + kept[p]] = cpu_ns;
        samples[(size_t)p * rounds + kept[p]++] = spent;
      }
    }
  }
  for (int p = 0; p < count; ++p) {
    long long* mine = samples + (size_t)p * rounds;
    long long* mine_cpu = cpu + (size_t)p * rounds;
    int n = kept[p];
    long long median = 0, p90 = 0, least = 0, sum = 0, cpu_median = 0;
    if (n > 0) {
      qsort(mine, (size_t)n, sizeof *mine, compare_ll);
      qsort(mine_cpu, (size_t)n, sizeof *mine_cpu, compare_ll);
      median = n % 2 ? mine[n / 2] : (mine[n / 2 - 1] + mine[n / 2]) / 2;
      cpu_median =
          n % 2 ? mine_cpu[n / 2] : (mine_cpu[n / 2 - 1] + mine_cpu[n / 2]) / 2;
      p90 = mine[(n * 9 - 1) / 10];
      least = mine[0];
      for (int i = 0; i < n; ++i) sum += mine[i];
    }
    printf(
        "%s runs=%d failed=%d median_us=%.1f p90_us=%.1f min_us=%.1f "
        "mean_us=%.1f cpu_median_us=%.1f\n",
        programs[p], n, failed[p], median / 1000.0, p90 / 1000.0,
        least / 1000.0, n > 0 ? sum / 1000.0 / n : 0.0, cpu_median / 1000.0);
  }
  return 0;
}

static long status_field_kb(pid_t pid, const char* field) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
  FILE* f = fopen(path, "r");
  if (f == NULL) return -1;
  char line[256];
  long value = -1;
  size_t length = strlen(field);
  while (fgets(line, sizeof line, f) != NULL) {
    if (strncmp(line, field, length) == 0 && line[length] == ':') {
      value = strtol(line + length + 1, NULL, 10);
      break;
    }
  }
  fclose(f);
  return value;
}

/* Starts PROGRAM under ptrace with standard input from BODY_FILE and
 * standard output thrown away; it stops at its exec. Returns its pid, or -1.
 */
static pid_t start_traced(const char* body_path, const char* program) {
  int body_fd = open(body_path, O_RDONLY | O_CLOEXEC);
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (body_fd < 0 || null_fd < 0) {
    perror("spawn_timer: open");
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(body_fd, 0);
    dup2(null_fd, 1);
    ptrace(PTRACE_TRACEME, 0, NULL, NULL);
    char* argv[] = {(char*)program, NULL};
    execve(program, argv, environ);
    _exit(127);
  }
  close(body_fd);
  close(null_fd);
  return pid;
}

static int peak_memory(const char* body_path, const char* program) {
  pid_t pid = start_traced(body_path, program);
  if (pid < 0) return 1;
  int status = 0;
  long hwm = -1;
  /* The first stop is the exec; from then on only the exit event is
   * wanted, and every other signal goes on to the program. */
  waitpid(pid, &status, 0);
  ptrace(PTRACE_SETOPTIONS, pid, NULL, (void*)PTRACE_O_TRACEEXIT);
  ptrace(PTRACE_CONT, pid, NULL, NULL);
  for (;;) {
    if (waitpid(pid, &status, 0) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (WIFEXITED(status) || WIFSIGNALED(status)) break;
    if (WIFSTOPPED(status)) {
      int deliver = 0;
      if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
        /* Still whole: the memory goes only after this stop. */
        hwm = status_field_kb(pid, "VmHWM");
      } else if (WSTOPSIG(status) != SIGTRAP) {
        deliver = WSTOPSIG(status);
      }
      ptrace(PTRACE_CONT, pid, NULL, (void*)(long)deliver);
    }
  }
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  printf("hwm_kb=%ld status=%d\n", hwm, code);
  return hwm < 0 || code != 0;
}

/* A set of addresses: open addressing, grown at half full. */
struct address_set {
  unsigned long long* slots;
  size_t size;
  size_t used;
};

/* Adds address (never 0); returns 1 when it was new. */
static int set_add(struct address_set* set, unsigned long long address) {
  if (2 * (set->used + 1) > set->size) {
    struct address_set bigger = {NULL, set->size ? 2 * set->size : 65536, 0};
    bigger.slots = calloc(bigger.size, sizeof *bigger.slots);
    if (bigger.slots == NULL) exit(1);
    for (size_t i = 0; i < set->size; ++i) {
      if (set->slots[i] != 0) set_add(&bigger, set->slots[i]);
    }
    free(set->slots);
    *set = bigger;
  }
  size_t i = (size_t)((address * 0x9e3779b97f4a7c15ULL) >> 20) & (set->size - 1);
  while (set->slots[i] != 0) {
    if (set->slots[i] == address) return 0;
    i = (i + 1) & (set->size - 1);
  }
  set->slots[i] = address;
  ++set->used;
  return 1;
}

static int step_trace(const char* body_path, const char* program) {
  pid_t pid = start_traced(body_path, program);
  if (pid < 0) return 1;
  struct address_set seen = {NULL, 0, 0};
  int status = 0;
  waitpid(pid, &status, 0); /* stopped at the exec */
  int deliver = 0;
  for (;;) {
    struct user_regs_struct registers;
    if (ptrace(PTRACE_GETREGS, pid, NULL, &registers) == 0 &&
        set_add(&seen, registers.rip)) {
      printf("at 0x%llx\n", (unsigned long long)registers.rip);
    }
    if (ptrace(PTRACE_SINGLESTEP, pid, NULL, (void*)(long)deliver) != 0) break;
    if (waitpid(pid, &status, 0) < 0) break;
    if (WIFEXITED(status) || WIFSIGNALED(status)) break;
    deliver = WIFSTOPPED(status) && WSTOPSIG(status) != SIGTRAP
                  ? WSTOPSIG(status)
                  : 0;
  }
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  fprintf(stderr, "spawn_timer: %zu instruction addresses, status %d\n",
          seen.used, code);
  return code != 0;
}

int main(int argc, char** argv) {
  if (argc >= 6 && strcmp(argv[1], "time") == 0) {
    int rounds = atoi(argv[2]);
    int warmup = atoi(argv[3]);
    if (rounds < 1 || warmup < 0) return 2;
    return time_programs(rounds, warmup, argv[4], argc - 5, argv + 5);
  }
  if (argc == 4 && strcmp(argv[1], "hwm") == 0) {
    return peak_memory(argv[2], argv[3]);
  }
  if (argc == 4 && strcmp(argv[1], "steps") == 0) {
    return step_trace(argv[2], argv[3]);
  }
  fprintf(stderr,
          "usage: spawn_timer time ROUNDS WARMUP BODY_FILE PROGRAM...\n"
          "       spawn_timer hwm BODY_FILE PROGRAM\n"
          "       spawn_timer steps BODY_FILE PROGRAM\n");
  return 2;
}
