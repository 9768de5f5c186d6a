// The backup-tool adapter: has a full backup of one device written into a
// root folder (as <root>/<udid>) and waits for it, reporting the tool's own
// progress. The real one runs idevicebackup2; the simulated device brings its
// own (see device_support.h).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace salvor::device {

struct BackupRun {
    bool started = false;     // the tool could be run at all
    int exitStatus = -1;      // its exit status (-1: not started or ended by a signal)
    std::string outputTail;   // the last lines it printed, for the log
};

class BackupTool {
public:
    virtual ~BackupTool() = default;
    // One sentence when the tool is not installed; absent when it is.
    virtual std::optional<std::string> missing() = 0;
    // Runs the tool for `udid` into `root` and waits for it to end. `progress`
    // receives the tool's own progress scaled to 0..20, never going back.
    virtual BackupRun run(const std::string& udid, const std::string& root, const std::function<void(int)>& progress) = 0;
};

// The percentages found in a piece of the tool's output ("[===  ] 42% Finished"),
// in order, leaving out those of a single file's transfer ("42% (1.2 MB/3.0 MB)");
// used to turn its progress bar into numbers.
std::vector<int> percentagesIn(const std::string& text);

// Runs `program` (looked up on PATH) with `args` (args[0] is the program's name),
// no shell; every chunk of its standard output and error goes to `onOutput`.
// Exit status, or -1 when it could not be started or ended by a signal.
int runProgram(const std::string& program, const std::vector<std::string>& args,
               const std::function<void(const std::string&)>& onOutput, bool* started = nullptr);

// Whether `program` is found on PATH as an executable file.
bool programOnPath(const std::string& program);

}  // namespace salvor::device
