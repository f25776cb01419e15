#include "kernel/history.h"

#include "kernel/storage.h"
#include "xu/xu_mem.h"

namespace nodrix {
namespace {

std::int32_t id_base = 0;
std::int32_t entries = 0;
std::int32_t* hist_l0ph = nullptr;
std::int32_t* hist_l0pi = nullptr;
std::int32_t* hist_l0pc = nullptr;
std::int32_t* hist_l0pd = nullptr;
std::int32_t* hist_l0pz = nullptr;
std::int32_t* hist_l0pzd = nullptr;

std::int32_t** tables[] = {&hist_l0ph, &hist_l0pi, &hist_l0pc, &hist_l0pd, &hist_l0pz, &hist_l0pzd};

bool valid(std::int32_t id) { return hist_l0ph != nullptr && id - id_base >= 0 && id - id_base < entries; }

}  // namespace

void opxhistoryinit(std::int32_t first, std::int32_t last) {
    opxhistoryend();
    id_base = first;
    // (last - first) x 4 + 8 bytes: last - first + 2 entries, the extra one
    // for the state after the last block.
    entries = last - first + 2;
    for (auto* t : tables)
        *t = static_cast<std::int32_t*>(xu_calloc(static_cast<std::size_t>(entries), sizeof(std::int32_t)));
}

void opxhistorysave(std::int32_t id) {
    if (!valid(id)) return;
    const std::int32_t k = id - id_base;
    zzsupvget(hist_l0ph[k], hist_l0pi[k], hist_l0pc[k], hist_l0pd[k], hist_l0pz[k], hist_l0pzd[k]);
}

void opxhistoryset(std::int32_t id) {
    if (!valid(id)) return;
    const std::int32_t k = id - id_base;
    zzsupvset(hist_l0ph[k], hist_l0pi[k], hist_l0pc[k], hist_l0pd[k], hist_l0pz[k], hist_l0pzd[k]);
}

bool opxhistorypeek(std::int32_t id, std::int32_t (&cursors)[6]) {
    if (!valid(id)) return false;
    const std::int32_t k = id - id_base;
    for (int t = 0; t < 6; ++t) cursors[t] = (*tables[t])[k];
    return true;
}

void opxhistoryend() {
    for (auto* t : tables) {
        if (*t != nullptr) xu_free(*t);
        *t = nullptr;
    }
    entries = 0;
}

}  // namespace nodrix
