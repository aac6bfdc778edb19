// murlen-sim-board: one simulated Murlen board for a session by hand, with no
// hardware. It plugs a tty board into a umockdev testbed, opens a pty of its
// own that plays the board's serial line for a person, and starts the monitor
// on this terminal inside the testbed. It runs until the monitor quits or the
// person presses Ctrl-C, then unplugs the board.
//
//     umockdev-wrapper murlen-sim-board [path of murlen-monitor]
//
// What the monitor writes to the board comes out of the person's pty; what the
// person writes into it, the board sends to the monitor.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "sim/board_sim.h"

extern char** environ;

constexpr const char* board_location = "/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr const char* board_address = "usb1/1-1";

static volatile sig_atomic_t interrupted = 0;

static void on_interrupt(int) {
    interrupted = 1;
}

// Writes all of data to fd, waiting while it is full; 1, or 0 when fd failed.
static int32_t write_all(int fd, const char* data, ssize_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, static_cast<size_t>(length));
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            (void)poll(&p, 1, 100);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return 0;
        }
        data += n;
        length -= n;
    }
    return 1;
}

// A pty for the person: its master stays here, its slave is named for them
// (raw, so bytes pass as typed) and held open, so that the master never hangs
// up while no one has the slave open. -1 on failure.
static int person_pty_open(char* name, size_t size, int* slave) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, size) != 0) {
        return -1;
    }
    *slave = open(name, O_RDWR | O_NOCTTY);
    termios t{};
    if (*slave < 0 || tcgetattr(*slave, &t) != 0) {
        return -1;
    }
    cfmakeraw(&t);
    (void)tcsetattr(*slave, TCSANOW, &t);
    return master;
}

int main(int argc, char** argv) {
    const char* monitor_path = argc > 1 ? argv[1] : MURLEN_MONITOR_PATH;
    if (!board_sim_start() || !umockdev_in_mock_environment()) {
        board_sim_stop();
        fprintf(stderr,
                "murlen-sim-board: run me under umockdev-wrapper:\n"
                "    umockdev-wrapper %s [path of murlen-monitor]\n",
                argv[0]);
        return 2;
    }
    char person_name[128] = {};
    int person_slave = -1;
    int person = person_pty_open(person_name, sizeof person_name, &person_slave);
    board_sim board{};
    board_sim_init(&board, board_location, board_kind_tty, 0x16C0, 0x0483, 0x0280);
    if (person < 0 || !board_sim_plug(&board)) {
        fprintf(stderr, "murlen-sim-board: cannot set up the simulated board\n");
        board_sim_stop();
        return 1;
    }
    (void)fcntl(board.pty_master, F_SETFL, fcntl(board.pty_master, F_GETFL) | O_NONBLOCK);

    fprintf(stderr,
            "A simulated Murlen board (16c0:0483, a serial board) is plugged in at %s.\n"
            "  Its serial line, for you to play the board: %s\n"
            "      socat -,rawer %s     (or: cat %s; echo hi > %s)\n"
            "  The IDE's listener, in another terminal:  nc -l 127.0.0.1 5000\n"
            "      (or: socat TCP-LISTEN:5000,bind=127.0.0.1 -)\n"
            "  The monitor runs below, on this terminal. Type, for example:\n"
            "      HELLO 1 \"me\"\n"
            "      OPEN 127.0.0.1:5000 %s\n"
            "      CLOSE\n"
            "      QUIT\n"
            "  QUIT or Ctrl-C ends the session and unplugs the board.\n\n",
            board_address, person_name, person_name, person_name, person_name, board_address);

    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);
    signal(SIGPIPE, SIG_IGN);
    pid_t monitor = -1;
    char* monitor_argv[] = {const_cast<char*>(monitor_path), nullptr};
    if (posix_spawn(&monitor, monitor_path, nullptr, nullptr, monitor_argv, environ) != 0) {
        fprintf(stderr, "murlen-sim-board: cannot start %s\n", monitor_path);
        board_sim_stop();
        return 1;
    }

    int status = 0;
    char buffer[4096];
    while (!interrupted && waitpid(monitor, &status, WNOHANG) == 0) {
        pollfd fds[2] = {{board.pty_master, POLLIN, 0}, {person, POLLIN, 0}};
        if (poll(fds, 2, 100) <= 0) {
            continue;
        }
        // The monitor's writes to the board reach the person, and back.
        const int from[2] = {board.pty_master, person};
        const int to[2] = {person, board.pty_master};
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            ssize_t n = read(from[i], buffer, sizeof buffer);
            if (n > 0) {
                (void)write_all(to[i], buffer, n);
            }
        }
        // A board side the monitor has closed hangs up; wait for the next opening.
        if ((fds[0].revents & POLLHUP) != 0) {
            (void)poll(nullptr, 0, 50);
        }
    }
    if (interrupted) {
        kill(monitor, SIGTERM);
        (void)waitpid(monitor, &status, 0);
    }
    (void)board_sim_unplug(&board);
    board_sim_stop();
    fprintf(stderr, "murlen-sim-board: the board is unplugged; the session is over.\n");
    return 0;
}
