#include "runtime/command_line.h"

#include <gtest/gtest.h>

namespace {

std::string joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& a : args) text += "[" + a + "]";
  return text;
}

TEST(CommandLine, ArgumentsGiveTheirActionFolderOrError) {
  using A = CommandAction;
  const struct Case {
    std::vector<std::string> args;
    CommandAction action;
    const char* workdir;
    const char* error;
  } cases[] = {
      {{}, A::run, "", ""},
      {{"--workdir", "/var/lib/vantrel"}, A::run, "/var/lib/vantrel", ""},
      {{"--workdir=/srv/v t"}, A::run, "/srv/v t", ""},
      {{"--workdir", "--help"}, A::run, "--help", ""},
      {{"--help"}, A::help, "", ""},
      {{"--version"}, A::version, "", ""},
      {{"--version", "--help"}, A::help, "", ""},
      {{"--install-service", "--version"}, A::version, "", ""},
      {{"--install-service"}, A::installService, "", ""},
      {{"--remove-service"}, A::removeService, "", ""},
      {{"--service", "--workdir", "C:\\Vantrel"}, A::runService, "C:\\Vantrel", ""},
      {{"--workdir"}, A::usageError, "", "vantrel: --workdir needs a folder"},
      {{"--workdir="}, A::usageError, "", "vantrel: --workdir needs a folder"},
      {{"--workdir", ""}, A::usageError, "", "vantrel: --workdir needs a folder"},
      {{"--workdir", "a", "--workdir=b"}, A::usageError, "", "vantrel: --workdir given twice"},
      {{"--verbose"}, A::usageError, "", "vantrel: unknown argument '--verbose'"},
      {{"--help", "-x"}, A::usageError, "", "vantrel: unknown argument '-x'"},
      {{"/tmp"}, A::usageError, "", "vantrel: unknown argument '/tmp'"},
      {{"--HELP"}, A::usageError, "", "vantrel: unknown argument '--HELP'"},
      {{"--install-service", "--remove-service"},
       A::usageError,
       "",
       "vantrel: only one of --install-service, --remove-service and --service, not --remove-service too"},
  };
  for (const Case& c : cases) {
    const CommandLine line = parseCommandLine(c.args);
    EXPECT_EQ(line.action, c.action) << joined(c.args);
    EXPECT_EQ(line.error, c.error) << joined(c.args);
    if (c.action != A::usageError) EXPECT_EQ(line.workdir, c.workdir) << joined(c.args);
  }
}

}  // namespace
