#include "app/command_line.h"

#include "base/ascii.h"

namespace cw {

const char kUsageText[] =
    "Usage: corbelwynford [--help | --version | --feed [...] | switch]\n"
    "Relays each line of the incoming-message file as an HTTP POST, as set in\n"
    "Corbelwynford.INI next to the executable. Without a switch it runs and shows\n"
    "its live log window.\n"
    "  --help       this text (only as the whole command line)\n"
    "  --version    the version (only as the whole command line)\n"
    "  --feed       appends one message to the incoming file: from standard input\n"
    "               (--from NUMBER, --received TIME), from Gammu's RunOnReceive or from\n"
    "               smstools' eventhandler; corbelwynford-feed does the same on its own\n"
    "The service is registered and removed with the program's own switches, described in the\n"
    "README.\n";

EntryAction ActionFor(const std::string& argument_text) {
  if (argument_text == "--help") return EntryAction::kShowHelp;
  if (argument_text == "--version") return EntryAction::kShowVersion;
  if (argument_text == "--feed" || argument_text.starts_with("--feed ")) return EntryAction::kFeed;
  return EntryAction::kRun;
}

bool HasSwitch(const std::string& argument_text, const std::string& upper_switch) {
  return FindIgnoringCase(argument_text, upper_switch) != std::string::npos;
}

std::string RunTimeErrorText(const std::string& what) { return "Run-time error: " + what; }

}  // namespace cw
