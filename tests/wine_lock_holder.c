/* Holds an exclusive lock on a whole file, as TARVELO's Windows build takes
 * it, until its standard input ends: lets the Wine tests show that a run
 * waits for (or steps round) a lock another process holds.
 * Usage: wine_lock_holder.exe FILE; prints "locked" once the lock is held. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE |
                                FILE_SHARE_DELETE,
                            NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 1;
  OVERLAPPED from_start;
  memset(&from_start, 0, sizeof from_start);
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 0xffffffff, 0xffffffff,
                  &from_start)) {
    return 1;
  }
  printf("locked\n");
  fflush(stdout);
  char buffer[64];
  while (fgets(buffer, sizeof buffer, stdin) != NULL) {
  }
  UnlockFileEx(file, 0, 0xffffffff, 0xffffffff, &from_start);
  CloseHandle(file);
  return 0;
}
