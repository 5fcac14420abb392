// Depth-first walk over the leaves of a binary tree stored as per-node arrays (the
// layout of a fitted scikit-learn tree), one leaf at a time.
#pragma once

#include <cstdint>
#include <vector>

namespace tamrel {

// A node marked with this feature is a leaf.
constexpr std::int64_t kLeafFeature = -2;

// One branch on the path to a leaf: the node and whether the walk went to its left child.
struct TreeStep {
    std::int64_t node = 0;
    bool left = true;
};

// Leaves below `root`, left before right. The arrays must hold n_nodes entries and stay
// alive while the walk runs; children are checked to lie inside the nodes as they are
// reached, and a node reached a second time (shared children, a cycle) is refused: a
// tree reaches each node once, and shared subtrees would multiply the leaves.
class LeafWalk {
public:
    LeafWalk(const std::int64_t* feature, const std::int64_t* left, const std::int64_t* right,
             std::int64_t n_nodes, std::int64_t root);

    // Moves to the next leaf; false once all leaves were visited. Throws
    // std::out_of_range for a child outside the nodes or a node reached twice.
    bool next();
    std::int64_t leaf() const { return leaf_; }
    // The branches from `root` to the current leaf.
    const std::vector<TreeStep>& path() const { return path_; }
    // The first `unchanged()` steps of path() are those of the previous leaf.
    std::size_t unchanged() const { return unchanged_; }

private:
    void descend(std::int64_t node);
    void enter(std::int64_t node);
    std::int64_t child(std::int64_t node, bool left) const;

    const std::int64_t* feature_;
    const std::int64_t* left_;
    const std::int64_t* right_;
    std::int64_t n_nodes_;
    std::int64_t root_;
    bool started_ = false;
    bool done_ = false;
    std::int64_t leaf_ = -1;
    std::vector<TreeStep> path_;
    std::vector<char> reached_;
    std::size_t unchanged_ = 0;
};

}  // namespace tamrel
