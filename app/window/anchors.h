#pragma once
// Anchored child geometry: a child keeps the distance between each anchored edge and the same
// edge of its parent, measured from the designed sizes. A child anchored both left and right
// (or top and bottom) stretches; anchored on neither side of an axis it keeps its size and
// moves with the centre, as on the toolkit the layout was designed for.

#include <QRect>
#include <QSize>
#include <QWidget>
#include <vector>

namespace radiolist {

enum Anchor : unsigned { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };

// Geometry of a child with the given anchors when its parent's client area changes from
// `designedParent` to `parent`.
[[nodiscard]] QRect anchoredGeometry(const QRect& designed, unsigned anchors,
                                     const QSize& designedParent, const QSize& parent);

class AnchorSet {
 public:
  void add(QWidget* child, const QRect& designed, unsigned anchors);
  void setDesignedParentSize(const QSize& size) { designedParent_ = size; }
  void apply(const QSize& parent) const;

 private:
  struct Entry {
    QWidget* child;
    QRect designed;
    unsigned anchors;
  };
  std::vector<Entry> entries_;
  QSize designedParent_;
};

}  // namespace radiolist
