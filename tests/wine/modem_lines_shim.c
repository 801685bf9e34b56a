/*
 * Preloaded into the Wine processes of the test rig (never into the product).
 *
 * A pseudo-terminal has no modem lines, so TIOCMGET and friends fail on it.
 * Wine's wait for comm events reads the modem lines and, when that fails,
 * ends every wait at once with no event. This library answers those four
 * calls on a terminal without modem lines as a USB CDC port would (all lines
 * up, changes accepted) and passes every other call through untouched.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <termios.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn real_ioctl(void)
{
    static ioctl_fn real;
    if (!real)
        real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return real;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    const int r = real_ioctl()(fd, request, arg);
    if (r != -1 || (errno != ENOTTY && errno != EINVAL))
        return r;
    if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC)
        return r;
    const int saved = errno;
    struct termios t;
    if (real_ioctl()(fd, TCGETS, &t) != 0) {
        errno = saved; /* not a terminal at all: keep the failure */
        return r;
    }
    if (request == TIOCMGET && arg)
        *(int*)arg = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
    errno = 0;
    return 0;
}
