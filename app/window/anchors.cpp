#include "app/window/anchors.h"

namespace radiolist {
namespace {

// One axis: start and length of the child for a parent length change.
std::pair<int, int> anchorAxis(int start, int length, bool nearAnchor, bool farAnchor,
                               int designedParent, int parent) {
  const int delta = parent - designedParent;
  if (nearAnchor && farAnchor) return {start, length + delta};
  if (farAnchor) return {start + delta, length};
  if (nearAnchor) return {start, length};
  return {start + delta / 2, length};
}

}  // namespace

QRect anchoredGeometry(const QRect& designed, unsigned anchors, const QSize& designedParent,
                       const QSize& parent) {
  const auto [x, w] = anchorAxis(designed.x(), designed.width(), (anchors & akLeft) != 0,
                                 (anchors & akRight) != 0, designedParent.width(), parent.width());
  const auto [y, h] =
      anchorAxis(designed.y(), designed.height(), (anchors & akTop) != 0, (anchors & akBottom) != 0,
                 designedParent.height(), parent.height());
  return {x, y, w, h};
}

void AnchorSet::add(QWidget* child, const QRect& designed, unsigned anchors) {
  entries_.push_back({child, designed, anchors});
  child->setGeometry(designed);
}

void AnchorSet::apply(const QSize& parent) const {
  for (const Entry& e : entries_)
    e.child->setGeometry(anchoredGeometry(e.designed, e.anchors, designedParent_, parent));
}

}  // namespace radiolist
