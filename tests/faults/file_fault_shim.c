/* Preloaded into hiltpush by the fault tests: makes the file named by
 * HP_FAULT_FILE shrink (HP_FAULT_MODE=shrink: truncated to HP_FAULT_AFTER
 * bytes) or fail with an input/output error (HP_FAULT_MODE=eio) as soon as
 * the program reads it at or beyond the offset HP_FAULT_AFTER. Every other
 * read passes through untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum { ModeNone, ModeShrink, ModeEio };

static int gMode = -1;
static const char* gPath;
static long long gAfter;
static dev_t gDev;
static ino_t gIno;

static void Init(void)
{
    if (gMode != -1)
        return;
    gMode = ModeNone;
    const char* mode = getenv("HP_FAULT_MODE");
    const char* after = getenv("HP_FAULT_AFTER");
    struct stat st;
    gPath = getenv("HP_FAULT_FILE");
    if (!mode || !after || !gPath || stat(gPath, &st) != 0)
        return;
    gDev = st.st_dev;
    gIno = st.st_ino;
    gAfter = atoll(after);
    if (strcmp(mode, "shrink") == 0)
        gMode = ModeShrink;
    else if (strcmp(mode, "eio") == 0)
        gMode = ModeEio;
}

/* 1 when the read must fail (errno set), 0 when it may go on. */
static int Strike(int fd, off_t offset)
{
    Init();
    if (gMode == ModeNone || offset < 0 || offset < gAfter)
        return 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != gDev || st.st_ino != gIno)
        return 0;
    if (gMode == ModeShrink) {
        /* The read itself then meets the new end of the file. */
        truncate(gPath, gAfter);
        return 0;
    }
    errno = EIO;
    return 1;
}

ssize_t read(int fd, void* buf, size_t count)
{
    static ssize_t (*real)(int, void*, size_t);
    if (!real)
        real = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    const int saved = errno;
    const off_t at = lseek(fd, 0, SEEK_CUR);
    errno = saved;
    if (Strike(fd, at))
        return -1;
    return real(fd, buf, count);
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset)
{
    static ssize_t (*real)(int, void*, size_t, off_t);
    if (!real)
        real = (ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread");
    if (Strike(fd, offset))
        return -1;
    return real(fd, buf, count, offset);
}

ssize_t pread64(int fd, void* buf, size_t count, off_t offset)
{
    static ssize_t (*real)(int, void*, size_t, off_t);
    if (!real)
        real = (ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread64");
    if (Strike(fd, offset))
        return -1;
    return real(fd, buf, count, offset);
}
