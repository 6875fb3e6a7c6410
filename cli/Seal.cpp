// Sealing a container and verifying its seal, both through ssh-keygen; and
// cx seal, which seals a container that is already there.
//
// A seal is only worth what is read under it: the bytes ssh-keygen checks
// come from a descriptor opened once, and a log beside the container, whose
// pages SQLite would read in place of the file's, is refused (see
// NoUncoveredLog).
#include "Seal.h"

#include "Arguments.h"
#include "Command.h"
#include "FullIo.h"
#include "Options.h"
#include "Output.h"
#include "Progress.h"
#include "SshKeygen.h"
#include "UniqueFd.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace cxcli {

const char* const kSealNamespace = "cx-snapshot";

namespace {

// What every armored OpenSSH signature starts with.
const char kSignatureHeader[] = "-----BEGIN SSH SIGNATURE-----";

// `path` with a symbolic link in its place resolved, as cx index and SQLite
// resolve it.
std::string FileBehind(const std::string& path)
{
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
        return path;
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

// SQLite reads a log's pages in place of the file's own: a log beside a
// sealed container would change what is read without touching what the seal
// covers. A finished container has none (its last writer folded it in), and
// readers leave at most an empty one. Prints why and answers false when one
// holds something.
bool NoUncoveredLog(const std::string& container)
{
    const std::string file = FileBehind(container);
    for (const char* suffix : {"-wal", "-journal"}) {
        const std::string log = file + suffix;
        struct stat status {};
        if (lstat(log.c_str(), &status) == 0 && (!S_ISREG(status.st_mode) || status.st_size > 0)) {
            Fail(container, log.substr(log.rfind('/') + 1) +
                                " beside it holds changes its seal does not cover (a program is writing the "
                                "container, or one was put there)");
            return false;
        }
    }
    return true;
}

// Opens `path` for reading its bytes; false, with the cause printed naming
// `subject`, when it is not a regular file.
bool OpenRegular(const std::string& path, const std::string& subject, FX::UniqueFd& fd, struct stat& status)
{
    // Not blocking on a FIFO in its place; a regular file never blocks.
    fd.Reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        Fail(subject, errno == ENOENT ? "no such file" : std::strerror(errno));
        return false;
    }
    if (fstat(fd.Get(), &status) != 0) {
        Fail(subject, std::strerror(errno));
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        Fail(subject, S_ISDIR(status.st_mode) ? "is a directory, not a container"
                                              : "not a content container (not a regular file)");
        return false;
    }
    (void)fcntl(fd.Get(), F_SETFL, 0);
    return true;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

std::string SealPath(const std::string& container) { return FileBehind(container) + ".sig"; }

PendingSeal::~PendingSeal()
{
    if (!temporary_.empty() && !placed_)
        unlink(temporary_.c_str());
    KeepOnSecondSignal(handle_);
}

bool PendingSeal::Place()
{
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
        Fail(target_, std::string("cannot put the seal in place: ") + std::strerror(errno));
        return false;
    }
    placed_ = true;
    const FX::UniqueFd folder(open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder || (fsync(folder.Get()) != 0 && errno != EINVAL)) {
        Fail(folder_, std::string("cannot write the folder to disk: ") + std::strerror(errno));
        return false;
    }
    return true;
}

bool SignFile(int bytes, const std::string& container, const std::string& key, std::string& problem,
              PendingSeal& seal)
{
    struct stat status {};
    if (fstat(bytes, &status) != 0 || lseek(bytes, 0, SEEK_SET) != 0) {
        problem = std::strerror(errno);
        return false;
    }
    // ".NAME.tmpXXXXXX.sig" beside NAME.sig: a name that nothing reads as a
    // seal, and whose leftovers cx index removes with its own.
    const std::string target = SealPath(container);
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const std::string name = target.substr(slash == std::string::npos ? 0 : slash + 1);
    std::string pattern = (folder == "/" ? "" : folder) + "/." + name.substr(0, name.size() - 4) + ".tmpXXXXXX.sig";
    const int made = mkostemps(&pattern[0], 4, O_CLOEXEC);
    if (made < 0) {
        problem = std::string("cannot make a temporary file beside its seal: ") + std::strerror(errno);
        return false;
    }
    const FX::UniqueFd out(made);
    seal.temporary_ = pattern;
    seal.handle_ = RemoveOnSecondSignal(pattern, false);
    seal.target_ = target;
    seal.folder_ = folder;
    seal.placed_ = false;
    // Whoever may read the container may read its seal, to verify it: the
    // seal takes the container's owner and group, or at least its group.
    const bool other = status.st_uid != geteuid() || status.st_gid != getegid();
    if (other && fchown(out.Get(), status.st_uid, status.st_gid) != 0 &&
        fchown(out.Get(), static_cast<uid_t>(-1), status.st_gid) != 0) {
        // Neither is allowed: the seal stays ours, with the container's mode.
    }
    if (fchmod(out.Get(), status.st_mode & 0666) != 0) {
        problem = pattern + ": " + std::strerror(errno);
        return false;
    }

    KeygenRun run;
    if (!RunSshKeygen({"-Y", "sign", "-n", kSealNamespace, "-f", key}, bytes, out.Get(), run, problem))
        return false;
    if (run.status != 0) {
        // Without a terminal ssh-keygen asks standard input, which holds the
        // container, for the passphrase.
        problem = run.errors.find("Enter passphrase") != std::string::npos
                      ? "cannot sign it: " + key + " needs its passphrase: add the key to ssh-agent, or sign from "
                                                   "a terminal"
                      : "cannot sign it: " + run.FirstError("ssh-keygen -Y sign failed");
        return false;
    }
    char header[sizeof kSignatureHeader - 1];
    if (pread(out.Get(), header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        std::memcmp(header, kSignatureHeader, sizeof header) != 0) {
        problem = "cannot sign it: ssh-keygen -Y sign wrote no signature";
        return false;
    }
    if (fsync(out.Get()) != 0) {
        problem = std::string("cannot write its seal to disk: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool SignFile(const std::string& file, const std::string& container, const std::string& key, std::string& problem,
              PendingSeal& seal)
{
    const FX::UniqueFd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        problem = file + ": " + std::strerror(errno);
        return false;
    }
    return SignFile(fd.Get(), container, key, problem, seal);
}

bool VerifySeal(const std::string& container, const std::string& signers, FileIdentity& verified)
{
    FX::UniqueFd fd;
    struct stat before {};
    if (!OpenRegular(container, container, fd, before))
        return false;
    {
        // ssh-keygen reads it twice, so it must be a file.
        FX::UniqueFd list;
        struct stat status {};
        if (!OpenRegular(signers, signers, list, status))
            return false;
    }
    const std::string seal = SealPath(container);
    struct stat sealStatus {};
    if (stat(seal.c_str(), &sealStatus) != 0) {
        Fail(container, errno == ENOENT ? "not sealed: there is no " + seal
                                        : "its seal " + seal + ": " + std::strerror(errno));
        return false;
    }
    if (!S_ISREG(sealStatus.st_mode)) {
        Fail(container, "its seal " + seal + " is not a regular file");
        return false;
    }
    if (!NoUncoveredLog(container))
        return false;

    // Who signed it, as the allowed signers file names them.
    KeygenRun run;
    std::string problem;
    if (!RunSshKeygen({"-Y", "find-principals", "-s", seal, "-f", signers}, -1, -1, run, problem)) {
        Fail(container, problem);
        return false;
    }
    const std::vector<std::string> principals = Lines(run.output);
    if (run.status != 0 || principals.empty()) {
        const std::string error = run.FirstError("No principal matched.");
        Fail(container, error == "No principal matched." ? "sealed with a key that " + signers + " does not list"
                                                         : "its seal cannot be read: " + error);
        return false;
    }
    // A key may be listed for several principals, each with its own
    // namespaces and validity: one that verifies is enough.
    std::string refusal;
    bool good = false;
    for (const auto& principal : principals) {
        if (lseek(fd.Get(), 0, SEEK_SET) != 0) {
            Fail(container, std::strerror(errno));
            return false;
        }
        if (!RunSshKeygen({"-Y", "verify", "-f", signers, "-I", principal, "-n", kSealNamespace, "-s", seal},
                          fd.Get(), -1, run, problem)) {
            Fail(container, problem);
            return false;
        }
        good = run.status == 0;
        if (good)
            break;
        if (refusal.empty())
            refusal = run.FirstError("ssh-keygen -Y verify failed");
    }
    if (!good) {
        Fail(container, "its seal does not verify: " + refusal);
        return false;
    }
    struct stat after {};
    if (fstat(fd.Get(), &after) != 0 || FileIdentity::Of(after) != FileIdentity::Of(before)) {
        Fail(container, "changed while its seal was verified");
        return false;
    }
    verified = FileIdentity::Of(after);
    return true;
}

namespace {

class SealCommand : public Command {
public:
    CLI::App& Define(CLI::App& app) override
    {
        auto* command = app.add_subcommand(
            "seal", "Sign CONTAINER with an SSH key into CONTAINER.sig beside it (an OpenSSH signature of its bytes, "
                    "namespace cx-snapshot), which check --verify and diff --verify require");
        command->add_option("CONTAINER", container_, "The container to seal")->required();
        command
            ->add_option("--key", key_,
                         "The signing key, as ssh-keygen -Y sign -f takes it: a private key file, or a public key "
                         "whose private half ssh-agent holds")
            ->type_name("KEY")
            ->required();
        command->footer("By hand: ssh-keygen -Y verify -f ALLOWED_SIGNERS -I PRINCIPAL -n cx-snapshot "
                        "-s CONTAINER.sig < CONTAINER");
        return *command;
    }

    int Run(const std::string&) override
    {
        if (!NamesGiven("container", container_) || !NamesGiven("key", key_))
            return kTrouble;
        FX::UniqueFd fd;
        struct stat locked {};
        if (!OpenRegular(container_, container_, fd, locked))
            return kTrouble;
        // cx index holds this lock while it replaces the container: the seal
        // is made of the file that stays, and two seals are not made at once.
        if (FX::RetryOnEintr([&] { return flock(fd.Get(), LOCK_EX | LOCK_NB); }) != 0)
            return Fail(container_, errno == EWOULDBLOCK ? "locked by another writer; run again when it is done"
                                                         : std::strerror(errno));
        struct stat named {};
        if (stat(container_.c_str(), &named) != 0 || named.st_dev != locked.st_dev || named.st_ino != locked.st_ino)
            return Fail(container_, "replaced by another program meanwhile; run again");
        if (!OpenForReading(container_))  // refuses what is not a container
            return kTrouble;
        if (!NoUncoveredLog(container_))
            return kTrouble;
        PendingSeal seal;
        std::string problem;
        if (!SignFile(fd.Get(), container_, key_, problem, seal)) {
            Fail(container_, problem);
            return g_interrupted.load() ? kInterrupted : kTrouble;
        }
        return seal.Place() ? kClean : kTrouble;
    }

private:
    std::string container_;
    std::string key_;
};

}  // namespace

std::unique_ptr<Command> MakeSealCommand() { return std::make_unique<SealCommand>(); }

}  // namespace cxcli
