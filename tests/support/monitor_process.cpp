#include "monitor_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "support/os_fakes.h"
#include "support/replies.h"

extern char** environ;

namespace {

std::string env_name(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

// The inherited environment with extra_env laid over it.
std::vector<std::string> merged_environment(const std::vector<std::string>& extra_env) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string inherited = *entry;
        bool replaced = false;
        for (const std::string& extra : extra_env) {
            replaced = replaced || env_name(extra) == env_name(inherited);
        }
        if (!replaced) {
            merged.push_back(inherited);
        }
    }
    merged.insert(merged.end(), extra_env.begin(), extra_env.end());
    return merged;
}

void close_fd(int* fd) {
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

// Reads one byte within the deadline; false on time-out, end of stream or error.
bool read_byte(int fd, int64_t deadline, char* byte) {
    for (;;) {
        int64_t left = deadline - clock_ms();
        pollfd pfd{fd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) != 1) {
            return false;
        }
        ssize_t n = read(fd, byte, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        return n == 1;
    }
}

}  // namespace

monitor_process monitor_start(const std::string& path, const std::vector<std::string>& extra_env) {
    monitor_process process{-1, -1, -1};
    signal(SIGPIPE, SIG_IGN);
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
    std::vector<std::string> env = merged_environment(extra_env);
    std::vector<char*> envp;
    for (std::string& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string program = path;
    char* argv[] = {program.data(), nullptr};

    // The child starts with SIGPIPE at its default action, as the IDE starts
    // it, though this process ignores it.
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
    pid_t pid = -1;
    int failed = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(to_child[0]);
    close(from_child[1]);
    if (failed != 0) {
        close(to_child[1]);
        close(from_child[0]);
        return process;
    }
    return monitor_process{pid, to_child[1], from_child[0]};
}

bool monitor_send(const monitor_process& process, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(process.input, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string monitor_read_reply(const monitor_process& process, int timeout_ms) {
    int64_t deadline = clock_ms() + timeout_ms;
    std::string got;
    int depth = 0;
    bool closed = false;
    char byte = 0;
    while (read_byte(process.output, deadline, &byte)) {
        got.push_back(byte);
        if (byte == '{') {
            ++depth;
        } else if (byte == '}' && depth > 0) {
            closed = --depth == 0;
        } else if (byte == '\n' && closed) {
            break;
        }
    }
    return got;
}

bool monitor_stays_quiet(const monitor_process& process, int quiet_ms) {
    pollfd pfd{process.output, POLLIN, 0};
    return poll(&pfd, 1, quiet_ms) == 0;
}

void monitor_close_input(monitor_process* process) {
    close_fd(&process->input);
}

int monitor_wait(monitor_process* process, int timeout_ms) {
    if (process->pid < 0) {
        return -1;
    }
    int64_t deadline = clock_ms() + timeout_ms;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(process->pid, &status, WNOHANG);
        if (done == process->pid) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            process->pid = -1;
            return -1;
        }
        if (clock_ms() >= deadline) {
            kill(process->pid, SIGKILL);
            waitpid(process->pid, &status, 0);
            process->pid = -1;
            return -1;
        }
        // Poll for the child's end in small steps up to the deadline.
        poll(nullptr, 0, 5);
    }
    process->pid = -1;
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}

void monitor_stop(monitor_process* process) {
    if (process->pid >= 0) {
        kill(process->pid, SIGKILL);
        waitpid(process->pid, nullptr, 0);
        process->pid = -1;
    }
    close_fd(&process->input);
    close_fd(&process->output);
}

std::string monitor_ask(const monitor_process& process, const std::string& line) {
    if (!monitor_send(process, line)) {
        return "";
    }
    return monitor_read_reply(process, effect_timeout_ms);
}

void expect_quit(monitor_process* process) {
    EXPECT_EQ(monitor_ask(*process, "QUIT\n"), quit_reply);
    EXPECT_EQ(monitor_wait(process, effect_timeout_ms), 0);
}

ide_connection ide_open(const monitor_process& monitor, const std::string& address) {
    ide_connection ide{listener_open(), -1, ""};
    if (ide.listener.fd < 0) {
        return ide;
    }
    ide.reply = monitor_ask(
        monitor, "OPEN 127.0.0.1:" + std::to_string(ide.listener.port) + " " + address + "\n");
    if (ide.reply == open_reply) {
        ide.fd = listener_accept(ide.listener, effect_timeout_ms);
    }
    return ide;
}

void ide_close(ide_connection* ide) {
    close_fd(&ide->fd);
    close_fd(&ide->listener.fd);
}
