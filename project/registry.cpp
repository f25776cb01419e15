#include "project/registry.h"

namespace nodrix {

const std::vector<KindSpec>& block_kinds() {
    static const std::vector<KindSpec> kinds = [] {
        std::vector<KindSpec> k;
        for (const KindSpec* registered : registered_kinds()) k.push_back(*registered);
        return k;
    }();
    return kinds;
}

const KindSpec* find_kind(std::string_view name) {
    for (const KindSpec& k : block_kinds())
        if (k.name == name) return &k;
    return nullptr;
}

}  // namespace nodrix
