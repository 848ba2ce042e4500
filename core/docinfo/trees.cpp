#include "docinfo/trees.h"

#include <unordered_set>
#include <utility>
#include <vector>

#include "resource_limits.h"

namespace quarvel::docinfo {

ObjectPtr catalog(const Document& document) {
    auto root = document.get_object(document.trailer().root.num);
    if (!root.ok() || !root.value()->is_dict()) return nullptr;
    return std::move(root).value();
}

ObjectPtr get_resolved(const Document& document, const ObjectPtr& dict, std::string_view key) {
    if (dict == nullptr) return nullptr;
    const PdfObject* value = dict->get(key);
    if (value == nullptr) return nullptr;
    ObjectPtr resolved = document.resolve(*value);
    // A direct value lives in the dictionary that holds it.
    return resolved.get() == value ? ObjectPtr(dict, value) : resolved;
}

void walk_tree(const Document& document, const ObjectPtr& root, std::string_view leaf_key,
               const std::function<bool(const PdfObject& key, const ObjectPtr& value)>& visit) {
    if (root == nullptr || !root->has_dict()) return;
    struct Frame {
        ObjectPtr node;
        std::size_t depth;
    };
    // Kids are pushed in reverse so that they come off the stack in order.
    std::vector<Frame> stack{{root, 1}};
    std::unordered_set<const PdfObject*> seen;
    std::size_t nodes = 0;
    while (!stack.empty()) {
        Frame frame = std::move(stack.back());
        stack.pop_back();
        // Objects are cached by the document, so a node reached again
        // through another /Kids entry is the same object.
        if (!seen.insert(frame.node.get()).second) continue;
        if (++nodes > limits::kMaxTreeNodes) return;
        if (const ObjectPtr leaves = get_resolved(document, frame.node, leaf_key);
            leaves != nullptr && leaves->is_array()) {
            const PdfArray& items = leaves->as_array();
            for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
                if (!visit(items[i], ObjectPtr(leaves, &items[i + 1]))) return;
            }
        }
        if (frame.depth >= limits::kMaxTreeDepth) continue;
        const ObjectPtr kids = get_resolved(document, frame.node, "Kids");
        if (kids == nullptr || !kids->is_array()) continue;
        const PdfArray& items = kids->as_array();
        for (auto it = items.rbegin(); it != items.rend(); ++it) {
            ObjectPtr kid = document.resolve(*it);
            if (kid == nullptr || !kid->has_dict()) continue;
            if (kid.get() == &*it) kid = ObjectPtr(kids, &*it);
            stack.push_back({std::move(kid), frame.depth + 1});
        }
    }
}

} // namespace quarvel::docinfo
