#pragma once
// The log list as both windows keep it: the entries (any bytes) in the order added, the
// selection, the size the resize handler gave, and which entries are in view. A window derives
// from it and only draws. Each hook runs before its change is made, so a window that refuses a
// change (throws RelayError) leaves the list as it was.
#include <deque>
#include <string>

#include "platform/window.h"

namespace cw {

class ListModel : public ListBox {
 public:
  void AddItem(const std::string& entry) final;
  void RemoveItem(int index) final;
  int ListCount() const final { return static_cast<int>(entries_.size()); }
  void SetListIndex(int index) final;
  int ListIndex() const final { return selected_; }
  void SetWidth(int width) final;
  void SetHeight(int height) final;

  const std::string& Entry(int index) const { return entries_[index]; }
  const std::deque<std::string>& Entries() const { return entries_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  // The first entry to show on a list rows high: the one shown last time, moved as little as
  // keeps the selection in view, and no further down than fills the rows.
  int TopFor(int rows);

 protected:
  virtual void WillAdd(const std::string& /*entry*/) {}
  virtual void WillRemove(int /*index*/) {}
  virtual void WillSelect(int /*index*/) {}
  virtual void WillResize(int /*width*/, int /*height*/) {}

 private:
  // A deque: removing the second entry moves one entry, not the whole list.
  std::deque<std::string> entries_;
  int selected_ = -1;
  int top_ = 0;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace cw
