#include "runtime/command_line.h"

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "0.0.0"
#endif
#ifndef VANTREL_COMMIT
#define VANTREL_COMMIT "unknown"
#endif

const char* const kUsageLine =
    "Usage: vantrel [--workdir DIR] [--install-service | --remove-service] [--help] [--version]\n";

namespace {

CommandLine usageError(const std::string& what) {
  CommandLine line;
  line.action = CommandAction::usageError;
  line.error = "vantrel: " + what;
  return line;
}

struct ActionOption {
  const char* name;
  CommandAction action;
};

constexpr ActionOption kActionOptions[] = {
    {"--help", CommandAction::help},
    {"--version", CommandAction::version},
    {"--install-service", CommandAction::installService},
    {"--remove-service", CommandAction::removeService},
    {"--service", CommandAction::runService},
};

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args) {
  CommandLine line;
  bool haveWorkdir = false, wantHelp = false, wantVersion = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--workdir" || arg.rfind("--workdir=", 0) == 0) {
      std::string dir;
      if (arg == "--workdir") {
        if (i + 1 == args.size()) return usageError("--workdir needs a folder");
        dir = args[++i];
      } else {
        dir = arg.substr(sizeof "--workdir=" - 1);
      }
      if (dir.empty()) return usageError("--workdir needs a folder");
      if (haveWorkdir) return usageError("--workdir given twice");
      haveWorkdir = true;
      line.workdir = dir;
      continue;
    }
    const ActionOption* option = nullptr;
    for (const ActionOption& o : kActionOptions) {
      if (arg == o.name) option = &o;
    }
    if (option == nullptr) return usageError("unknown argument '" + arg + "'");
    if (option->action == CommandAction::help) {
      wantHelp = true;
    } else if (option->action == CommandAction::version) {
      wantVersion = true;
    } else if (line.action != CommandAction::run) {
      return usageError(std::string("only one of --install-service, --remove-service and --service, not ") +
                        option->name + " too");
    } else {
      line.action = option->action;
    }
  }
  if (wantHelp) line.action = CommandAction::help;
  else if (wantVersion) line.action = CommandAction::version;
  return line;
}

std::string helpText() {
  return std::string(kUsageLine) +
         "\n"
         "Vantrel watches the IPv4 traffic of one interface of this machine, folds it\n"
         "into flows with the local process, account and domain behind each, exports\n"
         "finished flows to a collector and serves a dashboard (port 7909 by default).\n"
         "Its settings are in vantrelsettings.json in the working folder, which also\n"
         "holds the dashboard's files in resources/web.\n"
         "\n"
         "  --workdir DIR       work in DIR instead of the current folder\n"
         "  --install-service   Windows: register as a service that starts with the\n"
         "                      system, working in the program's folder\n"
         "  --remove-service    Windows: remove that service\n"
         "  --service           Windows: run as that service (how the system starts it)\n"
         "  --help              show this text\n"
         "  --version           show the version\n"
         "\n"
         "On Linux, systemd runs the monitor as the unit vantrel.service.\n";
}

std::string versionText() { return "vantrel " VANTREL_VERSION " (commit " VANTREL_COMMIT ")\n"; }
