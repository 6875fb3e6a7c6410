#include "SshKeygen.h"

#include "UniqueFd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace cxcli {

namespace {

// ssh-keygen says a few lines at most; what goes beyond this is read and
// dropped, so that it never waits on a full pipe.
constexpr size_t kKeptBytes = 64 * 1024;

// What ssh-keygen -Y sign says on standard error when it works.
const char* const kNotices[] = {"Signing data on standard input"};

// The attributes and file actions of one spawn, released however it goes.
class SpawnSetup {
public:
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

bool MakePipe(FX::UniqueFd& readEnd, FX::UniqueFd& writeEnd)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return false;
    readEnd.Reset(ends[0]);
    writeEnd.Reset(ends[1]);
    return true;
}

}  // namespace

std::string KeygenRun::FirstError(const char* fallback) const
{
    for (size_t start = 0; start < errors.size();) {
        size_t end = errors.find('\n', start);
        if (end == std::string::npos)
            end = errors.size();
        std::string line = errors.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        // A banner framed in "@" comes before the line that says what is wrong.
        if (!line.empty() && line[0] != '@' &&
            std::find(std::begin(kNotices), std::end(kNotices), line) == std::end(kNotices))
            return line;
    }
    return fallback;
}

bool RunSshKeygen(const std::vector<std::string>& arguments, int input, int output, KeygenRun& run,
                  std::string& problem)
{
    run = KeygenRun();
    FX::UniqueFd errorsRead;
    FX::UniqueFd errorsWrite;
    FX::UniqueFd outputRead;
    FX::UniqueFd outputWrite;
    FX::UniqueFd noInput;
    if (!MakePipe(errorsRead, errorsWrite) || (output < 0 && !MakePipe(outputRead, outputWrite))) {
        problem = std::string("cannot run ssh-keygen: ") + std::strerror(errno);
        return false;
    }
    if (input < 0) {
        noInput.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!noInput) {
            problem = std::string("cannot run ssh-keygen: /dev/null: ") + std::strerror(errno);
            return false;
        }
        input = noInput.Get();
    }

    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, input, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, output >= 0 ? output : outputWrite.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, errorsWrite.Get(), STDERR_FILENO);
    // Nothing else of this process reaches it: not the container's lock, not
    // a descriptor a library opened without close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    // It starts as from a shell, whatever this process blocks or ignores.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> words{"ssh-keygen"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "ssh-keygen", &setup.actions, &setup.attributes, argv.data(), environ);
    if (spawned != 0) {
        problem = spawned == ENOENT ? "ssh-keygen not found: install openssh-client"
                                    : std::string("cannot run ssh-keygen: ") + std::strerror(spawned);
        return false;
    }
    // Only the child writes to the pipes now, so they end when it does.
    errorsWrite.Reset();
    outputWrite.Reset();

    // Both streams are read as they come, so that neither fills up while the
    // other is waited on.
    std::string* const kept[] = {&run.output, &run.errors};
    pollfd streams[] = {{outputRead.Get(), POLLIN, 0}, {errorsRead.Get(), POLLIN, 0}};
    char buffer[4096];
    while (streams[0].fd >= 0 || streams[1].fd >= 0) {
        if (poll(streams, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;  // the pipes close below, and the child ends on a write
        }
        for (size_t i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0)
                continue;
            const ssize_t got = read(streams[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                streams[i].fd = -1;
                continue;
            }
            const size_t room = kKeptBytes - std::min(kKeptBytes, kept[i]->size());
            kept[i]->append(buffer, std::min(room, static_cast<size_t>(got)));
        }
    }
    outputRead.Reset();
    errorsRead.Reset();

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            problem = std::string("ssh-keygen: ") + std::strerror(errno);
            return false;
        }
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

}  // namespace cxcli
