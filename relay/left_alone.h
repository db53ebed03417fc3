#pragma once
// What the log has said of the files the relay leaves alone: each is named once, and again only
// when what is said of it changes or it was fine in between, so that a scan every second repeats
// nothing.
#include <map>
#include <string>

#include "log/log.h"

namespace cw {

class LeftAlone {
 public:
  explicit LeftAlone(Log& log) : log_(log) {}

  // Writes line to the log when said is news: nothing, or something else, was said of key since
  // it was last fine.
  void Say(const std::string& key, const std::string& said, const std::string& line) {
    auto [at, added] = said_.try_emplace(key, said);
    if (!added && at->second == said) return;
    at->second = said;
    log_.WriteLog(line);
  }
  // key is fine again: the next trouble with it is news.
  void Forget(const std::string& key) { said_.erase(key); }

 private:
  Log& log_;
  std::map<std::string, std::string> said_;
};

}  // namespace cw
