#pragma once
// What the log has said of the files the relay leaves alone: each is named once, and again only
// when what is said of it changes or it was fine in between, so that a scan every second repeats
// nothing.
#include <map>
#include <string>

namespace cw {

class LeftAlone {
 public:
  // True when said is news for the log: nothing, or something else, was said of key since it was
  // last fine.
  bool Note(const std::string& key, const std::string& said) {
    auto [at, added] = said_.try_emplace(key, said);
    if (added) return true;
    if (at->second == said) return false;
    at->second = said;
    return true;
  }
  // key is fine again: the next trouble with it is news.
  void Forget(const std::string& key) { said_.erase(key); }

 private:
  std::map<std::string, std::string> said_;
};

}  // namespace cw
