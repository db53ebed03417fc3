#pragma once
// In-memory window for the core's tests. Failures are switched on with flags, so the error paths
// of the logs and the resize handler are proven, not assumed.
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/window.h"

namespace cw::testing {

class FakeListBox : public ListBox {
 public:
  void AddItem(const std::string& entry) override {
    if (fail_add) throw RelayError("add refused");
    entries.push_back(entry);
  }
  void RemoveItem(int index) override {
    if (fail_remove || index < 0 || index >= ListCount()) throw RelayError("remove refused");
    entries.erase(entries.begin() + index);
    ++removals;
  }
  int ListCount() const override { return static_cast<int>(entries.size()); }
  void SetListIndex(int index) override {
    if (fail_select || index < -1 || index >= ListCount()) throw RelayError("select refused");
    selected = index;
  }
  int ListIndex() const override { return selected; }
  void SetWidth(int w) override {
    if (w < 0) throw RelayError("negative width");
    width = w;
  }
  void SetHeight(int h) override {
    if (h < 0) throw RelayError("negative height");
    height = h;
  }

  std::deque<std::string> entries;
  int selected = -1;
  int width = 0;
  int height = 0;
  long removals = 0;
  bool fail_add = false;
  bool fail_remove = false;
  bool fail_select = false;
};

class FakeWindow : public MainWindow {
 public:
  ListBox& List() override { return list; }
  std::string Caption() const override { return caption; }
  void SetCaption(const std::string& c) override { caption = c; }
  void Hide() override { hidden = true; }
  int ClientWidth() const override { return client_width; }
  int ClientHeight() const override { return client_height; }
  int StatusBarHeight() const override { return status_bar_height; }
  void ShowMessageBox(const std::string& prompt, MessageBoxStyle style) override {
    boxes.emplace_back(prompt, style);
  }

  FakeListBox list;
  std::string caption = "Corbelwynford";
  bool hidden = false;
  int client_width = 80;
  int client_height = 24;
  int status_bar_height = 1;
  std::vector<std::pair<std::string, MessageBoxStyle>> boxes;
};

}  // namespace cw::testing
