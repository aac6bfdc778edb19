// The least a relay can do: one blocking thread per direction copying with
// plain read and write through a large buffer, between a tty node in raw mode
// and a TCP connection to 127.0.0.1. The benchmark's ceiling for relays.
//
// usage: murlen-min-relay TTY-PATH PORT

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

static void copy_all(int from, int to) {
    static thread_local char buffer[65536];
    for (;;) {
        ssize_t n = read(from, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(to, buffer + done, static_cast<size_t>(n - done));
            if (w <= 0) {
                return;
            }
            done += w;
        }
    }
}

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    int tty = open(argv[1], O_RDWR | O_NOCTTY);
    termios tio{};
    if (tty < 0 || tcgetattr(tty, &tio) != 0) {
        return 1;
    }
    cfmakeraw(&tio);
    tcsetattr(tty, TCSANOW, &tio);
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        return 1;
    }
    int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::thread to_board(copy_all, sock, tty);
    copy_all(tty, sock);
    _exit(0);
}
