// Linux half of the stop module: a flag and a self-pipe that signal handlers write, alarm for
// the time limit, and the one ioctl that restores a held device when a second signal ends the
// process.
#include "stack/drivers/interrupt.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopFlag = 0;
volatile std::sig_atomic_t timeUp = 0;
int stopPipe[2] = {-1, -1};

// Read by a handler, so written only while no device operation can be interrupted by it.
struct ForcedExitRestore {
    volatile std::sig_atomic_t armed;
    int fd;
    unsigned long request;
    alignas(8) unsigned char arg[64];
} restore;

volatile std::sig_atomic_t lockArmed = 0;
char lockFile[320];

void onSignal(int signal) {
    if (stopFlag != 0) {
        if (restore.armed)
            (void)ioctl(restore.fd, restore.request, restore.arg);
        if (lockArmed)
            (void)unlink(lockFile);
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    interruptRequest();
}

void onTimeUp(int) {
    timeUp = 1;
    interruptRequest();
}

} // namespace

void interruptInit() {
    if (stopPipe[0] < 0 && pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        stopPipe[0] = stopPipe[1] = -1;
}

void interruptCatchSignals() {
    interruptInit();
    std::signal(SIGPIPE, SIG_IGN);
    // Not restarted, so that the wait in progress sees the signal. A closed terminal or ssh
    // session (SIGHUP) and SIGQUIT stop the run as SIGTERM does, through the normal close.
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(s, &action, nullptr);
}

void interruptRequest() {
    stopFlag = 1;
    if (stopPipe[1] >= 0)
        (void)!write(stopPipe[1], "", 1);
}

bool interruptRequested() {
    return stopFlag != 0;
}

void interruptAfter(uint32_t seconds) {
    struct sigaction action {};
    action.sa_handler = onTimeUp;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    if (seconds > 0)
        alarm(seconds);
}

bool interruptTimeUp() {
    return timeUp != 0;
}

bool interruptOnTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

void interruptWaitMs(uint32_t ms) {
    pollfd stop{stopPipe[0], POLLIN, 0};
    (void)poll(&stop, 1, ms > 86400000u ? 86400000 : int(ms));
}

void interruptRememberDevice(intptr_t device, unsigned long request, const void *arg, size_t size) {
    restore.armed = 0;
    if (size > sizeof restore.arg)
        return;
    restore.fd = int(device);
    restore.request = request;
    std::memcpy(restore.arg, arg, size);
    restore.armed = 1;
}

void interruptForgetDevice() {
    restore.armed = 0;
}

int interruptFd() {
    return stopPipe[0];
}

void interruptRememberLock(const char *path) {
    lockArmed = 0;
    if (path && strlen(path) < sizeof lockFile) {
        strcpy(lockFile, path);
        lockArmed = 1;
    }
}
