#include "platform/list_model.h"

#include <algorithm>

#include "base/errors.h"

namespace cw {

void ListModel::AddItem(const std::string& entry) {
  WillAdd(entry);
  entries_.push_back(entry);
}

void ListModel::RemoveItem(int index) {
  if (index < 0 || index >= ListCount()) throw RelayError("list index out of range");
  WillRemove(index);
  entries_.erase(entries_.begin() + index);
  // The selection stays with its entry; removing the selected one clears it.
  if (selected_ == index) {
    selected_ = -1;
  } else if (selected_ > index) {
    --selected_;
  }
}

void ListModel::SetListIndex(int index) {
  if (index < -1 || index >= ListCount()) throw RelayError("list index out of range");
  WillSelect(index);
  selected_ = index;
}

void ListModel::SetWidth(int width) {
  if (width < 0) throw RelayError("negative list width");
  WillResize(width, height_);
  width_ = width;
}

void ListModel::SetHeight(int height) {
  if (height < 0) throw RelayError("negative list height");
  WillResize(width_, height);
  height_ = height;
}

int ListModel::TopFor(int rows) {
  if (rows <= 0) return top_;
  if (selected_ >= 0 && selected_ < top_) top_ = selected_;
  if (selected_ >= 0 && selected_ >= top_ + rows) top_ = selected_ - rows + 1;
  top_ = std::clamp(top_, 0, std::max(ListCount() - rows, 0));
  return top_;
}

}  // namespace cw
