#include "sim/card/card_files.h"

#include <algorithm>

#include "common/hex.h"

namespace qel::sim {

CardNode* CardNode::child(std::uint16_t id) const {
    for (const auto& c : children)
        if (c->fid == id) return c.get();
    return nullptr;
}

Bytes CardNode::fullPath() const {
    Bytes out;
    for (const CardNode* n = this; n; n = n->parent) {
        out.insert(out.begin(), static_cast<std::uint8_t>(n->fid & 0xFF));
        out.insert(out.begin(), static_cast<std::uint8_t>(n->fid >> 8));
    }
    return out;
}

std::string CardNode::pathHex() const { return toHex(fullPath()); }

bool CardNode::isAncestorOf(const CardNode* other) const {
    for (const CardNode* n = other; n; n = n->parent)
        if (n == this) return true;
    return false;
}

FileTree::FileTree() : mf_(std::make_unique<CardNode>()) {
    mf_->fid = 0x3F00;
    mf_->isDf = true;
}

CardNode& FileTree::addDf(CardNode& parent, std::uint16_t fid, Bytes name) {
    auto node = std::make_unique<CardNode>();
    node->fid = fid;
    node->isDf = true;
    node->name = std::move(name);
    node->parent = &parent;
    parent.children.push_back(std::move(node));
    return *parent.children.back();
}

CardNode& FileTree::addEf(CardNode& parent, std::uint16_t fid, Bytes content, Access read, Access update,
                          std::uint8_t sfi) {
    auto node = std::make_unique<CardNode>();
    node->fid = fid;
    node->content = std::move(content);
    node->read = read;
    node->update = update;
    node->sfi = sfi;
    node->parent = &parent;
    parent.children.push_back(std::move(node));
    return *parent.children.back();
}

CardNode* FileTree::resolve(const Bytes& path, CardNode* start) {
    if (path.size() % 2 != 0) return nullptr;
    CardNode* at = start;
    std::size_t i = 0;
    // Clients send paths from the master file even with the "from the current DF" form, and the
    // contactless key folder is addressed as 3F00 3F00 0001: a 3F00 in front always means the MF.
    while (i + 1 < path.size() && path[i] == 0x3F && path[i + 1] == 0x00) {
        at = mf_.get();
        i += 2;
    }
    for (; i + 1 < path.size(); i += 2) {
        if (!at || !at->isDf) return nullptr;
        at = at->child(static_cast<std::uint16_t>(path[i] << 8 | path[i + 1]));
    }
    return at;
}

CardNode* FileTree::findByName(const Bytes& name) {
    if (name.empty()) return nullptr;
    std::vector<CardNode*> stack{mf_.get()};
    while (!stack.empty()) {
        CardNode* n = stack.back();
        stack.pop_back();
        if (n->isDf && n->name.size() >= name.size() && std::equal(name.begin(), name.end(), n->name.begin())) return n;
        for (const auto& c : n->children) stack.push_back(c.get());
    }
    return nullptr;
}

CardNode* FileTree::findByPathHex(const std::string& pathHex) {
    auto path = fromHex(pathHex);
    if (!path || path->size() < 2) return nullptr;
    return resolve(*path, mf_.get());
}

}  // namespace qel::sim
