// bench-run OUT CMD [ARGS...]: runs CMD with its standard output sent to OUT and
// prints "<elapsed seconds> <peak resident set in KiB> <CPU seconds>" of that
// one process tree (wait4's rusage of the child; CPU is user plus system time,
// which a busy machine disturbs less than the elapsed time).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench-run OUT CMD [ARGS...]\n");
    return 2;
  }
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    return 1;
  }
  if (pid == 0) {
    int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) _exit(127);
    close(fd);
    execvp(argv[2], argv + 2);
    std::perror(argv[2]);
    _exit(127);
  }
  int status = 0;
  struct rusage ru;
  if (wait4(pid, &status, 0, &ru) < 0) {
    std::perror("wait4");
    return 1;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
               static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  std::printf("%.3f %ld %.3f\n", secs, ru.ru_maxrss, cpu);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "bench-run: %s ended with status %d\n", argv[2], status);
    return 1;
  }
  return 0;
}
