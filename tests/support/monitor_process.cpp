#include "monitor_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

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

monitor_process program_start(const std::vector<std::string>& arguments,
                              const std::vector<std::string>& extra_env) {
    signal(SIGPIPE, SIG_IGN);
    if (arguments.empty()) {
        return monitor_process{-1, -1, -1};
    }
    std::vector<std::string> env = merged_environment(extra_env);
    std::vector<char*> envp;
    for (std::string& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = arguments;
    std::vector<char*> argv;
    for (std::string& argument : args) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    spawned_process child = spawn_with_pipes(argv.data(), envp.data());
    return monitor_process{child.pid, child.input, child.output};
}

monitor_process monitor_start(const std::string& path, const std::vector<std::string>& extra_env,
                              const std::vector<std::string>& args) {
    std::vector<std::string> arguments{path};
    arguments.insert(arguments.end(), args.begin(), args.end());
    return program_start(arguments, extra_env);
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

std::string monitor_read_line(const monitor_process& process, int timeout_ms) {
    int64_t deadline = clock_ms() + timeout_ms;
    std::string got;
    char byte = 0;
    while (read_byte(process.output, deadline, &byte)) {
        got.push_back(byte);
        if (byte == '\n') {
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

std::string monitor_read_to_end(monitor_process* process, int timeout_ms) {
    int64_t deadline = clock_ms() + timeout_ms;
    std::string got;
    char byte = 0;
    while (read_byte(process->output, deadline, &byte)) {
        got.push_back(byte);
    }
    return got;
}

program_result program_run(const std::vector<std::string>& arguments, const std::string& input,
                           const std::vector<std::string>& extra_env, int timeout_ms) {
    monitor_process process = program_start(arguments, extra_env);
    if (process.pid < 0) {
        return program_result{-1, ""};
    }
    // Fed in one go: a program that reads all its input before it writes
    // needs no more than the pipe holds.
    (void)monitor_send(process, input);
    monitor_close_input(&process);
    program_result result{0, monitor_read_to_end(&process, timeout_ms)};
    result.status = monitor_wait(&process, timeout_ms);
    monitor_stop(&process);
    return result;
}
