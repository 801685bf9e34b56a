/* Test-rig shim for Wine on pseudo-terminals, preloaded into the Wine
 * processes only (never part of hiltpush). A pseudo-terminal has no modem
 * lines, so TIOCMGET fails there; Wine's serial layer then reports every
 * wait for received bytes as finished with no event. Answer the modem-line
 * requests on a terminal without modem lines as a USB CDC port does: all
 * lines up, changes accepted. Every other call passes through unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_fn real_ioctl;
    va_list ap;
    void *arg;
    int result;

    va_start(ap, request);
    arg = va_arg(ap, void *);
    va_end(ap);
    if (!real_ioctl)
        real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    result = real_ioctl(fd, request, arg);
    if (result == 0 || !isatty(fd))
        return result;
    switch (request) {
    case TIOCMGET:
        if (arg)
            *(int *)arg = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
        errno = 0;
        return 0;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        errno = 0;
        return 0;
    default:
        return result;
    }
}
