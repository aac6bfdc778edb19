// murlen-sim-board: one simulated Murlen board for a session by hand, with no
// hardware. It plugs a tty board into a umockdev testbed, opens a pty of its
// own that plays the board's serial line for a person, and starts the monitor
// inside the testbed, handing it the lines typed on this terminal and showing
// its replies. A few lines of its own (or signals) unplug the board, plug it
// back and restart it into its loader and back, as at an upload. It runs until
// the monitor quits or the person presses Ctrl-C, then unplugs the board.
//
//     umockdev-wrapper murlen-sim-board [path of murlen-monitor]
//
// What the monitor writes to the board comes out of the person's pty; what the
// person writes into it, the board sends to the monitor. Everything this
// program says goes to standard output, between the monitor's replies.

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "devices/identification.h"
#include "sim/board_sim.h"
#include "sim/os_helpers.h"

extern char** environ;

constexpr const char* board_location = "/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr const char* board_address = "usb1/1-1";
constexpr uint32_t board_product = 0x0483;  // a serial board
constexpr uint32_t board_release = 0x0280;  // names its model
// The monitor's descriptors from 3 up to here stay taken, so that its uevent
// socket never gets the number of a discovery's started by hand on the testbed.
constexpr int monitor_reserved_fds = 16;

static volatile sig_atomic_t interrupted = 0;
static volatile sig_atomic_t plug_toggle_asked = 0;  // SIGUSR1
static volatile sig_atomic_t restart_asked = 0;      // SIGUSR2

static void on_signal(int number) {
    if (number == SIGUSR1) {
        plug_toggle_asked = 1;
    } else if (number == SIGUSR2) {
        restart_asked = 1;
    } else {
        interrupted = 1;
    }
}

// Writes all of data to fd, waiting while it is full; 1, or 0 when fd failed.
static int32_t write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
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
        length -= static_cast<size_t>(n);
    }
    return 1;
}

static void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    printf("[board] ");
    vprintf(format, args);
    printf("\n");
    va_end(args);
    fflush(stdout);
}

// The simulated board and what the person last heard about it.
static board_sim board{};
static int32_t board_held = 0;  // the monitor holds its line, in raw mode
static pid_t monitor_pid = -1;
static const char* model = "Murlen";

static void board_plug_as(int32_t kind, uint32_t product) {
    if (!board_sim_replug_as(&board, kind, board_vendor, product, board_release)) {
        say("the testbed refused the board");
        return;
    }
    set_nonblocking(board.pty_master);
    board_held = 0;
}

static void board_unplug() {
    if (!board.plugged) {
        say("is not plugged in; type plug");
        return;
    }
    (void)board_sim_unplug(&board);
    say("unplugged from %s: its port goes (remove)", board_address);
}

static void board_plug() {
    if (board.plugged) {
        say("is plugged in already, at %s (%s)", board_address, board.node);
        return;
    }
    board_plug_as(board_kind_tty, board_product);
    say("plugged back in at %s as %04x:%04x, now %s (add)", board_address, board_vendor,
        board_product, board.node);
}

// As at an upload: the board goes, comes back as its loader (never a port),
// then runs its program again at the same socket.
static void board_restart() {
    if (!board.plugged) {
        say("is not plugged in; type plug");
        return;
    }
    (void)board_sim_unplug(&board);
    say("restarts into its loader: gone from %s (remove)", board_address);
    board_plug_as(board_kind_loader, loader_product);
    say("back at %s as its loader %04x:%04x, which is never a port", board_address, board_vendor,
        loader_product);
    board_plug_as(board_kind_tty, board_product);
    say("runs its program again: back at %s as %04x:%04x, now %s (add)", board_address,
        board_vendor, board_product, board.node);
}

// Tells when the monitor takes or lets go of the board's line.
static void board_watch() {
    int32_t held =
        board.plugged && board_sim_held_by(&board, monitor_pid) > 0 && board_sim_opened(&board) > 0;
    if (held && !board_held) {
        say("the monitor opened %s; bytes flow", board.node);
    } else if (!held && board_held && board.plugged) {
        say("the monitor let go of %s", board.node);
    }
    board_held = held;
}

// A line the person typed: the board's own words are done here, anything
// else goes to the monitor. An OPEN of another address is answered OK too,
// and then nothing flows, so say so at once.
static void line_handle(const std::string& line, int monitor_input) {
    std::string_view words(line);
    while (!words.empty() && (words.back() == '\r' || words.back() == ' ')) {
        words.remove_suffix(1);
    }
    if (words == "unplug") {
        board_unplug();
        return;
    }
    if (words == "plug") {
        board_plug();
        return;
    }
    if (words == "restart") {
        board_restart();
        return;
    }
    const std::string forwarded = line + "\n";
    (void)write_all(monitor_input, forwarded.data(), forwarded.size());
    if (words.substr(0, 5) == "OPEN ") {
        std::string_view address = words.substr(words.rfind(' ') + 1);
        if (address != board_address && address != std::string("/sys") + board_location) {
            say("OPEN names no board here: an address that names no board is answered OK too, "
                "and nothing flows; this board's address is %s",
                board_address);
        }
    }
}

// Copies what fd has into to (dropped when to is -1); 0 at its end or on an error.
static int32_t pass_on(int fd, int to) {
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0 && to >= 0) {
        (void)write_all(to, buffer, static_cast<size_t>(n));
    }
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR || errno == EIO)) ? 1 : 0;
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
    pty_ends person = pty_ends_open(true);
    board_sim_init(&board, board_location, board_kind_tty, board_vendor, board_product,
                   board_release);
    model = model_name(model_from_release(board_vendor, board_product, board_release));
    // Its loader names the same model.
    board.model = model_from_release(board_vendor, board_product, board_release);
    if (person.master < 0 || !board_sim_plug(&board)) {
        fprintf(stderr, "murlen-sim-board: cannot set up the simulated board\n");
        board_sim_stop();
        return 1;
    }
    set_nonblocking(board.pty_master);
    set_nonblocking(person.master);

    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGUSR1, on_signal);
    signal(SIGUSR2, on_signal);
    signal(SIGPIPE, SIG_IGN);
    char* monitor_argv[] = {const_cast<char*>(monitor_path), nullptr};
    spawned_process monitor = spawn_with_pipes(monitor_argv, environ, monitor_reserved_fds);
    if (monitor.pid < 0) {
        fprintf(stderr, "murlen-sim-board: cannot start %s\n", monitor_path);
        board_sim_stop();
        return 1;
    }
    monitor_pid = monitor.pid;
    std::string discovery_path = monitor_path;
    size_t slash = discovery_path.rfind('/');
    discovery_path = (slash == std::string::npos ? "" : discovery_path.substr(0, slash + 1)) +
                     "murlen-discovery";
    const char* slave = person.slave_path.c_str();
    int pid = static_cast<int>(getpid());
    printf(
        "A simulated %s (%04x:%04x, a serial board) is plugged in at %s (%s).\n"
        "  Play the board in another terminal (what you type there, the board sends):\n"
        "      socat - %s\n"
        "  The IDE's listener, in another terminal:\n"
        "      socat TCP-LISTEN:5000,bind=127.0.0.1 -     (or: nc -l 127.0.0.1 5000)\n"
        "  The discovery on this testbed, in another terminal, to see remove and add:\n"
        "      UMOCKDEV_DIR=%s LD_PRELOAD=%s %s\n"
        "  The monitor reads what you type here. Type, for example:\n"
        "      HELLO 1 \"me\"\n"
        "      OPEN 127.0.0.1:5000 %s\n"
        "      CLOSE\n"
        "      QUIT\n"
        "  An address that names no board is answered OK too, and nothing flows:\n"
        "  a mistyped address looks like silence.\n"
        "  These lines go to the board, not to the monitor:\n"
        "      unplug     pulls the board out      (or: kill -USR1 %d, which also plugs it "
        "back)\n"
        "      plug       plugs it back into the same socket\n"
        "      restart    restarts it into its loader and back, as at an upload"
        "   (or: kill -USR2 %d)\n"
        "  QUIT, Ctrl-D or Ctrl-C ends the session and unplugs the board.\n\n",
        model, board_vendor, board_product, board_address, board.node, slave, board_sim_root(),
        "libumockdev-preload.so.0", discovery_path.c_str(), board_address, pid, pid);
    fflush(stdout);

    int status = 0;
    int typed = 0;  // standard input, -1 after its end
    std::string pending;
    while (!interrupted && waitpid(monitor.pid, &status, WNOHANG) == 0) {
        if (plug_toggle_asked) {
            plug_toggle_asked = 0;
            if (board.plugged) {
                board_unplug();
            } else {
                board_plug();
            }
        }
        if (restart_asked) {
            restart_asked = 0;
            board_restart();
        }
        board_watch();
        pollfd fds[4] = {{board.pty_master, POLLIN, 0},
                         {person.master, POLLIN, 0},
                         {typed, POLLIN, 0},
                         {monitor.output, POLLIN, 0}};
        if (poll(fds, 4, 100) <= 0) {
            continue;
        }
        // The monitor's writes to the board reach the person, and back; an
        // unplugged board hears nothing.
        if ((fds[0].revents & POLLIN) != 0) {
            (void)pass_on(board.pty_master, person.master);
        } else if ((fds[0].revents & POLLHUP) != 0) {
            // A board side the monitor has closed hangs up; wait for the next opening.
            (void)poll(nullptr, 0, 50);
        }
        if ((fds[1].revents & POLLIN) != 0) {
            (void)pass_on(person.master, board.plugged ? board.pty_master : -1);
        }
        if (fds[3].revents != 0 && !pass_on(monitor.output, 1)) {
            close(monitor.output);
            monitor.output = -1;
        }
        if (fds[2].revents == 0) {
            continue;
        }
        char buffer[1024];
        ssize_t n = read(typed, buffer, sizeof buffer);
        if (n > 0) {
            pending.append(buffer, static_cast<size_t>(n));
        }
        for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            line_handle(pending.substr(0, end), monitor.input);
            pending.erase(0, end + 1);
        }
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            if (!pending.empty()) {
                line_handle(pending, monitor.input);
            }
            close(monitor.input);
            typed = -1;
        }
    }
    if (interrupted) {
        kill(monitor.pid, SIGTERM);
        (void)waitpid(monitor.pid, &status, 0);
    }
    // What the monitor said last.
    while (monitor.output >= 0 && pass_on(monitor.output, 1)) {
    }
    if (board.plugged) {
        (void)board_sim_unplug(&board);
    }
    board_sim_stop();
    printf("murlen-sim-board: the board is unplugged; the session is over.\n");
    return 0;
}
