#include "kernel/block.h"

namespace nodrix {

void Connections::add_input(std::string_view port, SignalKind kind, const void* signal) {
    entries_.push_back(Entry{std::string(port), kind, signal, nullptr});
}

void Connections::add_output(std::string_view port, SignalKind kind, void* signal) {
    entries_.push_back(Entry{std::string(port), kind, nullptr, signal});
}

void StateClaims::account(const StorageAccount& storage) const {
    for (const Claim& c : claims_) storage.account(c.kind, c.elements);
}

void StateClaims::allocate() const {
    for (const Claim& c : claims_) c.allocate(c.record, c.elements);
}

std::int64_t StateClaims::bytes() const {
    std::int64_t total = 0;
    for (const Claim& c : claims_) total += slot_bytes(c.kind, c.elements);
    return total;
}

}  // namespace nodrix
