#include "Support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace TestSupport {

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (pipe2(fd, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
    }
    ~Pipe() {
        Close(0);
        Close(1);
    }
    void Close(int end) {
        if (fd[end] >= 0)
            close(fd[end]);
        fd[end] = -1;
    }
};

}  // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                      const std::string& stdoutPath) {
    Pipe in, out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fd[0], 0);
    if (stdoutPath.empty())
        posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + program);
    in.Close(0);
    out.Close(1);
    err.Close(1);

    // Feed standard input and drain both outputs together, so a chatty child never blocks.
    ProgramRun run;
    size_t cbWritten = 0;
    if (input.empty())
        in.Close(1);
    while (out.fd[0] >= 0 || err.fd[0] >= 0) {
        pollfd fds[3] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}, {in.fd[1], POLLOUT, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) {
            const ssize_t n = write(in.fd[1], input.data() + cbWritten, input.size() - cbWritten);
            if (n > 0)
                cbWritten += static_cast<size_t>(n);
            if (n < 0 || cbWritten == input.size())
                in.Close(1);
        }
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                (i == 0 ? run.sOut : run.sErr).append(buffer, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                (i == 0 ? out : err).Close(0);
        }
    }
    in.Close(1);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        run.iExit = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run.iSignal = WTERMSIG(status);
    return run;
}

}  // namespace TestSupport
