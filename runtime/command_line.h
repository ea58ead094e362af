// The monitor's command line: what main is asked to do, read by a pure
// function before anything else runs. Without arguments the monitor runs as
// it always has, from the current folder.
#pragma once

#include <string>
#include <vector>

enum class CommandAction {
  run,            // the monitor, in the console
  help,           // the usage text on standard output
  version,        // the version line on standard output
  installService, // register with the system's service manager
  removeService,  // remove that registration
  runService,     // started by the service manager
  usageError,     // `error` and the usage line on standard error, status 2
};

struct CommandLine {
  CommandAction action = CommandAction::run;
  std::string workdir;  // empty: stay in the current folder
  std::string error;    // for usageError: what was wrong, one line
};

// Reads the arguments after the program name. `--help` or `--version`
// anywhere wins over the rest; an unknown option, a missing or empty
// folder, a repeated option or two actions at once is a usage error.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// "Usage: ..." line, with its line break.
extern const char* const kUsageLine;

// The text `--help` prints.
std::string helpText();

// "vantrel 0.1.0 (commit 1a2b3c4)\n": the project version and the commit the
// build was configured from ("unknown" outside a git checkout).
std::string versionText();
