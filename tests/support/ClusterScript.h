// Running the scripts that start and stop the throw-away database servers of
// the tests (scripts/pg-cluster.sh, scripts/ch-cluster.sh), with a deadline.
// Thread safety: plain function; runs a child process per call.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace cvn::test {

struct ScriptRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

/// Runs `bash scripts/<script> args...` of the source tree, its environment this process's with the
/// given NAME=value entries in place of any of the same name. The child gets no descriptor but its
/// standard ones: a server started with a pipe of this process's would hold that pipe open for its
/// whole life. Past the deadline the script's process group is killed (servers, in sessions of their
/// own, are not). Throws std::runtime_error when the script cannot be started.
ScriptRun RunClusterScript(const std::string& script, const std::vector<std::string>& args,
                           std::chrono::seconds deadline, const std::vector<std::string>& environment = {});

/// "what (exit N):" and the script's output, for the exception of a run that failed.
std::string ScriptFailure(const std::string& what, const ScriptRun& run);

/// A folder of this process's own for a throw-away cluster: <root>/<pid>-<n>, the root named by the
/// environment variable (a tmpfs, say) or else <build folder>/<folder>.
std::string UniqueClusterDir(const char* variable, const char* folder);

/// Stops the folder's servers with the script's `stop`, if the folder exists, and removes it; never throws.
void StopAndRemoveCluster(const std::string& script, const std::string& dir,
                          const std::vector<std::string>& environment = {});

/// Gone, or ended and waiting to be reaped (the machine's init may not reap at once).
bool ProcessGone(pid_t pid);
/// The state letter of /proc/PID/stat ('R', 'S', 'T', 'Z'...), '?' when there is no such process.
char ProcessState(pid_t pid);

}  // namespace cvn::test
