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
    reached_.assign(static_cast<std::size_t>(n_nodes), 0);
}

std::int64_t LeafWalk::child(std::int64_t node, bool left) const {
    const std::int64_t c = left ? left_[node] : right_[node];
    if (c < 0 || c >= n_nodes_)
        throw std::out_of_range("node " + std::to_string(node) + " has the child " + std::to_string(c) +
                                ", outside the tree's " + std::to_string(n_nodes_) + " nodes.");
    return c;
}

void LeafWalk::enter(std::int64_t node) {
    char& seen = reached_[static_cast<std::size_t>(node)];
    if (seen)
        throw std::out_of_range("node " + std::to_string(node) +
                                " is reached twice (shared children or a cycle): each node of a tree must have one parent.");
    seen = 1;
}

void LeafWalk::descend(std::int64_t node) {
    enter(node);
    while (feature_[node] != kLeafFeature) {
        path_.push_back(TreeStep{node, true});
        node = child(node, true);
        enter(node);
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
