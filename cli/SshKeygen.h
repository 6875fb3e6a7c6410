// Runs OpenSSH's ssh-keygen, which makes and checks the seals: signing is
// left to the tool people already trust and can run by hand, never done here.
#pragma once

#include <string>
#include <vector>

namespace cxcli {

// How a run of ssh-keygen ended.
struct KeygenRun {
    int status = -1;     // its exit status; -1 when a signal ended it
    std::string output;  // its standard output, when it was not sent to a file
    std::string errors;  // its standard error
    // Its first line of standard error that says what went wrong (not a
    // notice it prints on success, nor a banner's frame); `fallback` when
    // there is none.
    std::string FirstError(const char* fallback) const;
};

// Runs ssh-keygen with `arguments` (what follows its name), found on PATH and
// started without a shell. Standard input comes from `input` (-1: /dev/null)
// from where that descriptor stands; standard output goes to `output` (-1:
// kept in `run.output`); standard error is kept in `run.errors`. False, with
// the cause in `problem`, when it could not be run at all.
bool RunSshKeygen(const std::vector<std::string>& arguments, int input, int output, KeygenRun& run,
                  std::string& problem);

}  // namespace cxcli
