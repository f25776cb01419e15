#include "project/registry.h"

namespace nodrix {

const std::vector<KindSpec>& block_kinds() {
    static const std::vector<KindSpec> kinds = [] {
        std::vector<KindSpec> k;
        declare_transmitters(k);
        declare_line(k);
        declare_filters(k);
        declare_receivers(k);
        for (const KindSpec* declared : registered_kinds()) k.push_back(*declared);
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
