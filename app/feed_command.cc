#include "app/feed_command.h"

#include <exception>

#include "base/errors.h"
#include "relay/relay_settings.h"
#include "settings/settings_file.h"

namespace cw {

int RunFeedCommand(const FeedInput& input, ProfileReader& profile,
                   const std::string& program_folder, std::string& error) {
  try {
    const std::optional<FeedMessage> message = MessageToFeed(input);
    if (!message) return 0;
    const SettingsFile settings(profile, program_folder);
    // A settings file this user cannot read would leave us with the defaults, and the record in a
    // file that the relay never scans.
    input.files.RequireReadableIfPresent(settings.Path());
    const std::string charset_setting = settings.GetIniString("General", "FeedCharset", "");
    const std::optional<FeedCharset> charset = FeedCharsetFromSetting(charset_setting);
    if (!charset) {
      throw RelayError("FeedCharset=" + charset_setting + " in " + settings.Path() +
                       " is neither ISO-8859-1 nor UTF-8");
    }
    const std::string incoming =
        ResolveFromProgramFolder(input.files, program_folder,
                                 settings.GetIniString("General", "FileToScan", "InComingSMS.txt"));
    const FeedFormat format =
        FeedFormat::Parse(settings.GetIniString("General", "FeedFormat", ""), settings.Path());
    input.files.AppendForRelay(incoming, FeedRecord(format.Compose(*message), *charset),
                               kFeedWaitMs);
    return 0;
  } catch (const std::exception& failure) {
    error = failure.what();
    return 1;
  }
}

}  // namespace cw
