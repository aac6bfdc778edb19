#include "sim/os_helpers.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

int64_t clock_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

void set_nonblocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        (void)fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
    }
}

process_figures figures_of(pid_t pid) {
    process_figures figures{-1, 0, -1};
    std::string status_path = "/proc/" + std::to_string(pid) + "/status";
    FILE* status = fopen(status_path.c_str(), "re");
    if (status != nullptr) {
        char line[256];
        while (fgets(line, sizeof line, status) != nullptr) {
            (void)sscanf(line, "Threads: %d", &figures.threads);
            (void)sscanf(line, "VmRSS: %ld", &figures.rss_kib);
        }
        fclose(status);
    }
    each_descriptor(pid, [&](int, const std::string&) { figures.fds += 1; });
    return figures;
}

// Calls visit with the name of each entry of a /proc directory but . and ..
static void each_entry(const std::string& dir_path, const std::function<void(const char*)>& visit) {
    DIR* dir = opendir(dir_path.c_str());
    if (dir == nullptr) {
        return;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            visit(entry->d_name);
        }
    }
    closedir(dir);
}

std::vector<pid_t> thread_ids_of(pid_t pid) {
    std::vector<pid_t> ids;
    each_entry("/proc/" + std::to_string(pid) + "/task",
               [&](const char* name) { ids.push_back(static_cast<pid_t>(atoi(name))); });
    return ids;
}

void each_descriptor(pid_t pid, const std::function<void(int, const std::string&)>& visit) {
    std::string dir_path = "/proc/" + std::to_string(pid) + "/fd";
    each_entry(dir_path, [&](const char* name) {
        std::string link = dir_path + "/" + name;
        char target[PATH_MAX] = {};
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0) {
            visit(atoi(name), target);
        }
    });
}

std::vector<int> descriptors_on(pid_t pid, const std::string& path) {
    std::vector<int> found;
    each_descriptor(pid, [&](int fd, const std::string& target) {
        if (target == path || target == path + " (deleted)") {
            found.push_back(fd);
        }
    });
    return found;
}

spawned_process spawn_with_pipes(char* const argv[], char* const envp[], int reserved_fds) {
    spawned_process process{-1, -1, -1};
    int to_child[2];
    int from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0) {
        return process;
    }
    if (pipe2(from_child, O_CLOEXEC) != 0) {
        close(to_child[0]);
        close(to_child[1]);
        return process;
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    // dup2 onto 0 and 1 clears close-on-exec there; the other ends stay ours.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    for (int fd = 3; fd < 3 + reserved_fds; ++fd) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDONLY, 0);
    }
    pid_t pid = -1;
    int failed = posix_spawn(&pid, argv[0], &actions, &attributes, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(to_child[0]);
    close(from_child[1]);
    if (failed != 0) {
        close(to_child[1]);
        close(from_child[0]);
        errno = failed;
        return process;
    }
    return spawned_process{pid, to_child[1], from_child[0]};
}

pty_ends pty_ends_open(bool raw) {
    int master = -1;
    int slave = -1;
    char name[PATH_MAX] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        return pty_ends{-1, -1, ""};
    }
    (void)fcntl(master, F_SETFD, FD_CLOEXEC);
    (void)fcntl(slave, F_SETFD, FD_CLOEXEC);
    termios tio{};
    if (raw && tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        (void)tcsetattr(slave, TCSANOW, &tio);
    }
    return pty_ends{master, slave, name};
}
