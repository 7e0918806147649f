#include "process_stubs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace {

std::vector<std::string> calls;
int system_result = 0;
std::function<int(const char *)> system_action;
// In a run_to_end child: where each call is also appended, for the parent.
int child_log_fd = -1;

std::string escaped(const char *text)
{
    std::string out;
    for (const char *p = text; *p; p++) {
        if (*p == '\n')
            out += "\\n";
        else
            out += *p;
    }
    return out;
}

void record(const std::string &line)
{
    calls.push_back(line);
    if (child_log_fd >= 0) {
        const std::string with_end = line + "\n";
        (void)!write(child_log_fd, with_end.data(), with_end.size());
    }
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

int open_output(const std::string &path)
{
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
}

[[noreturn]] void run_child(const std::function<int()> &action, const std::string &dir)
{
    const int in = open((dir + "/in").c_str(), O_RDONLY);
    const int out = open_output(dir + "/out");
    const int err = open_output(dir + "/err");
    child_log_fd = open((dir + "/calls").c_str(), O_WRONLY | O_APPEND);
    if (in < 0 || out < 0 || err < 0 || child_log_fd < 0)
        _exit(120);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    calls.clear();
    const int result = action();
    fflush(stdout);
    record("returned " + std::to_string(result));
    _exit(121);
}

} // namespace

extern "C" {

int __wrap_system(const char *command);
int __wrap_execv(const char *path, char *const argv[]);
unsigned int __wrap_sleep(unsigned int seconds);

int __wrap_system(const char *command)
{
    record(std::string("system: ") + escaped(command ? command : "(null)"));
    if (system_action)
        return system_action(command);
    return system_result;
}

int __wrap_execv(const char *path, char *const argv[])
{
    std::string line = std::string("execv: ") + path;
    for (int i = 0; argv && argv[i]; i++)
        line += std::string(" ") + argv[i];
    record(line);
    errno = ENOENT;
    return -1;
}

unsigned int __wrap_sleep(unsigned int seconds)
{
    record("sleep: " + std::to_string(seconds));
    return 0;
}

} // extern "C"

const std::vector<std::string> &stub_calls()
{
    return calls;
}

void stub_calls_clear()
{
    calls.clear();
}

void stub_set_system_result(int result)
{
    system_result = result;
}

void stub_set_system_action(std::function<int(const char *command)> action)
{
    system_action = std::move(action);
}

Outcome run_to_end(const std::function<int()> &action, const std::string &input)
{
    Outcome outcome;
    char dir[] = "/tmp/launcher-run-XXXXXX";
    if (!mkdtemp(dir))
        return outcome;
    const std::string d = dir;
    FILE *in = fopen((d + "/in").c_str(), "wb");
    fwrite(input.data(), 1, input.size(), in);
    fclose(in);
    close(open_output(d + "/calls"));

    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0)
        run_child(action, d);
    int status = 0;
    waitpid(pid, &status, 0);

    outcome.out = read_file(d + "/out");
    outcome.err = read_file(d + "/err");
    outcome.calls = split_lines(read_file(d + "/calls"));
    if (!outcome.calls.empty() && outcome.calls.back().compare(0, 9, "returned ") == 0) {
        outcome.returned = true;
        outcome.result = atoi(outcome.calls.back().c_str() + 9);
        outcome.calls.pop_back();
    } else if (WIFEXITED(status)) {
        outcome.exited = true;
        outcome.exit_status = WEXITSTATUS(status);
    }
    for (const char *name : {"in", "out", "err", "calls"})
        unlink((d + "/" + name).c_str());
    rmdir(dir);
    return outcome;
}
