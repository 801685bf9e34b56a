// Runs a program and records its peak resident memory: the fault tests put
// it in front of hiltpush to check that a flood from the board cannot make
// the process grow.
//
// The program to run is HP_RSS_TARGET, with this program's arguments; the
// peak (ru_maxrss, KiB) is written to the file HP_RSS_OUT. The exit status
// is the program's.
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    const char* target = std::getenv("HP_RSS_TARGET");
    const char* out = std::getenv("HP_RSS_OUT");
    if (!target || !out) {
        std::fprintf(stderr, "rss_probe: HP_RSS_TARGET and HP_RSS_OUT must be set\n");
        return 125;
    }
    std::vector<char*> args{const_cast<char*>(target)};
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        return 125;
    if (pid == 0) {
        ::execv(target, args.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
    }
    if (std::FILE* f = std::fopen(out, "w")) {
        std::fprintf(f, "%ld\n", usage.ru_maxrss);
        std::fclose(f);
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}
