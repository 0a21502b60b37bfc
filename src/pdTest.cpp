// pdTest: shows what fork copies. Parent and child each get their own x (passed by value)
// and their own heap cell y, at the same address but with values that drift apart.
//
// Output goes through stdio with its default buffering on purpose: on a pipe or a file the
// two lines printed before the fork are still in the buffer when it is copied, so both
// processes write them. Nothing here flushes early or changes the buffering mode.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/wait.h>
#include <unistd.h>

namespace {
// Set in the parent when its child was killed, failed, or could not be waited for: the
// parent still prints its whole block, then exits 1. testing()'s result is the value of *y,
// so the verdict cannot travel back to main() through it.
bool child_failed = false;

// Reads how the child ended. A child that exited non-zero has already said why.
void answer_for(pid_t pid, int *status) {
    pid_t got = -1;
    do {
        got = waitpid(pid, status, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        (void)std::fprintf(stderr, "pdTest: waitpid: %s\n", std::strerror(errno));
        child_failed = true;
    } else if (WIFSIGNALED(*status)) {
        (void)std::fprintf(stderr, "pdTest: child %d killed by signal %d (%s)\n", pid,
                           WTERMSIG(*status), strsignal(WTERMSIG(*status)));
        child_failed = true;
    } else if (WEXITSTATUS(*status) != 0) {
        child_failed = true;
    }
}
} // namespace

int testing(int x, int *y) {
    std::printf("P : X = %d, Y = %d\n", x, *y);

    const pid_t pid = fork();
    // The only ordering between the two processes: the parent blocks here until its child has
    // exited. Only that child: started by exec, this process may have inherited children of
    // the program it replaced, and a plain wait() would take whichever of them ends first.
    // The child, and a failed fork, have no child of their own to wait for.
    int status = 0;
    if (pid > 0) {
        answer_for(pid, &status);
    }
    std::printf("\n\n현재 프로세스 %d\n", pid);

    if (pid == 0) {
        std::printf("자식프로세스에서 pid 반환값 : %d\n", pid);
        std::printf("자식프로세스 : %d\n", getpid());
        std::printf("자식프로세스 y주소 : %p, y값 : %d \n", static_cast<void *>(y), *y);
        std::printf("X : X = %d, Y= %d\n", x, *y);
        x += 10;
        *y += 10;
        std::printf("X : X = %d, Y = %d, y주소 : %p\n", x, *y, static_cast<void *>(y));
        // Holds the parent in wait() long enough for a watcher to see it blocked.
        (void)sleep(3);
        std::printf("자식프로세서에서 주는 y : ");
        return *y;
    }
    if (pid > 0) {
        (void)waitpid(pid, &status, 0); // the child is already collected: returns at once
        std::printf("부모프로세서 pid 반환값 : %d\n", pid);
        std::printf("부모프로세스 %d\n", getpid());
        std::printf("부모프로세스 y주소 : %p, y값: %d \n", static_cast<void *>(y), *y);
        std::printf("P : X = %d, Y = %d\n", x, *y);
        x += 15;
        *y += 5;
        std::printf("P : X = %d, Y = %d, y주소 : %p\n", x, *y, static_cast<void *>(y));
        std::printf("부모프로세스에서 주는 y : ");
        return *y;
    }
    std::puts("Fork error");
    return -1; // as fork itself reports failure
}

int main() {
    // Started with SIGCHLD ignored (a disposition that survives exec), the kernel would reap
    // the child itself and the parent could never learn how it ended.
    (void)std::signal(SIGCHLD, SIG_DFL);
    int *y = static_cast<int *>(std::malloc(sizeof(int)));
    if (y == nullptr) {
        (void)std::fputs("pdTest: cannot allocate memory\n", stderr);
        return EXIT_FAILURE;
    }
    const int x = 10;
    *y = 20;
    std::printf("메인에서 할당된 y주소 : %p\n", static_cast<void *>(y));

    // Completes the label testing() leaves open; returns in both processes after a fork.
    const int result = testing(x, y);
    std::printf("%d\n", result);
    std::free(y);

    // Flush here, where exit would anyway, so that a lost write is reported rather than
    // passed off as success; a good run's bytes and their order stay the same.
    if (std::fflush(stdout) != 0) {
        (void)std::fprintf(stderr, "pdTest: write error: %s\n", std::strerror(errno));
        return EXIT_FAILURE;
    }
    if (std::ferror(stdout) != 0) { // an earlier write failed and errno is long gone
        (void)std::fputs("pdTest: write error\n", stderr);
        return EXIT_FAILURE;
    }
    return result < 0 || child_failed ? EXIT_FAILURE : EXIT_SUCCESS;
}
