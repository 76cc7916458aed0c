#include "audit_trail/trail_tree.hpp"

#include "merkle/file_node_store.hpp"
#include "merkle/merkle_hash.hpp"

namespace corvel {

std::string tree_path_for(const std::string& trail_path) { return trail_path + ".tree"; }

TrailTree::TrailTree(std::string path) : path_(std::move(path)) {
    auto store = merkle::FileNodeStore::open(path_);
    if (!store && store.error().kind() == merkle::TreeError::Kind::Damaged) {
        auto recovered = merkle::FileNodeStore::recover(path_);
        if (recovered) store = std::move(recovered->store);
    }
    if (!store) store = merkle::FileNodeStore::replace(path_);
    if (!store) {
        fail(store.error());
        return;
    }
    auto tree = merkle::MerkleTree::open(std::move(*store));
    if (!tree) {
        start_rebuild();
        return;
    }
    tree_.emplace(std::move(*tree));
}

void TrailTree::fail(merkle::TreeError error) {
    tree_.reset();
    failure_ = std::move(error);
}

void TrailTree::observe(std::uint64_t index, const Hash32& current_hash) {
    const merkle::Hash leaf = merkle::leaf_hash(current_hash);
    observed_.append(leaf);
    if (!tree_) return;
    if (index < tree_->size()) {
        const auto stored = tree_->leaf(index);
        if (stored && *stored == leaf) return;
        if (auto cut = tree_->truncate(index); !cut) return fail(cut.error());
    }
    if (auto added = tree_->append(leaf); !added) fail(added.error());
}

bool TrailTree::matches(std::uint64_t count) const {
    if (!tree_) return failure_.has_value();  // nothing to rebuild into
    return observed_.size() == count && tree_->size() == count && tree_->root() == observed_.root();
}

void TrailTree::start_rebuild() {
    observed_ = merkle::CompactRange();
    tree_.reset();
    failure_.reset();
    auto store = merkle::FileNodeStore::replace(path_);
    if (!store) return fail(store.error());
    auto tree = merkle::MerkleTree::open(std::move(*store));
    if (!tree) return fail(tree.error());
    tree_.emplace(std::move(*tree));
}

void TrailTree::append(const Hash32& current_hash) {
    if (!tree_) return;
    if (auto added = tree_->append(merkle::leaf_hash(current_hash)); !added) fail(added.error());
}

void TrailTree::flush() {
    if (!tree_) return;
    // The tree's store is always the file store opened above.
    if (auto flushed = static_cast<merkle::FileNodeStore&>(tree_->store()).flush(); !flushed) fail(flushed.error());
}

std::expected<void, merkle::TreeError> TrailTree::sync() {
    if (!tree_) return {};
    auto synced = tree_->sync();
    if (!synced) fail(synced.error());
    return synced;
}

std::expected<const merkle::MerkleTree*, merkle::TreeError> TrailTree::tree() const {
    if (tree_) return &*tree_;
    return std::unexpected(failure_.value_or(merkle::TreeError::damaged("the tree was never built")));
}

}  // namespace corvel
