// Runs a program with this program's standard input, output and error and prints
// the program's peak resident set size in KiB on descriptor 3. Built static and
// small: a child inherits the peak of the process it was forked from, so the
// program runs as a grandchild of a process that is itself hardly resident.
//
//   peak_rss PROGRAM [ARGUMENT...] 3>FILE
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  pid_t pid = fork();
  if (pid == 0) {
    close(3);
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 2;
  dprintf(3, "%ld\n", usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
