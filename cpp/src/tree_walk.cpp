#include "tamrel/tree_walk.hpp"

#include <stdexcept>
#include <string>

namespace tamrel {

LeafWalk::LeafWalk(const std::int64_t* feature, const std::int64_t* left, const std::int64_t* right,
                   std::int64_t n_nodes, std::int64_t root)
    : feature_(feature), left_(left), right_(right), n_nodes_(n_nodes), root_(root) {
    if (root < 0 || root >= n_nodes)
        throw std::out_of_range("node " + std::to_string(root) + " is out of range for a tree of " +
                                std::to_string(n_nodes) + " nodes.");
}

std::int64_t LeafWalk::child(std::int64_t node, bool left) const {
    const std::int64_t c = left ? left_[node] : right_[node];
    if (c < 0 || c >= n_nodes_)
        throw std::out_of_range("node " + std::to_string(node) + " has the child " + std::to_string(c) +
                                ", outside the tree's " + std::to_string(n_nodes_) + " nodes.");
    return c;
}

void LeafWalk::descend(std::int64_t node) {
    while (feature_[node] != kLeafFeature) {
        if (static_cast<std::int64_t>(path_.size()) >= n_nodes_)
            throw std::out_of_range("the tree's child links form a cycle.");
        path_.push_back(TreeStep{node, true});
        node = child(node, true);
    }
    leaf_ = node;
}

bool LeafWalk::next() {
    if (done_) return false;
    if (!started_) {
        started_ = true;
        unchanged_ = 0;
        descend(root_);
        return true;
    }
    // Back up to the deepest left turn and take its right branch instead.
    while (!path_.empty() && !path_.back().left) path_.pop_back();
    if (path_.empty()) {
        done_ = true;
        return false;
    }
    TreeStep& turn = path_.back();
    turn.left = false;
    unchanged_ = path_.size() - 1;
    descend(child(turn.node, false));
    return true;
}

}  // namespace tamrel
