// The run history: per block instance, where the six main storage cursors
// stood, so that a later pass can put them back.
#pragma once

#include <cstdint>

namespace nodrix {

void opxhistoryinit(std::int32_t first, std::int32_t last);
void opxhistorysave(std::int32_t id);
void opxhistoryset(std::int32_t id);
// The six cursors kept under id (H, I, C, D, Z, ZD), without making them
// current; false when id has no entry.
bool opxhistorypeek(std::int32_t id, std::int32_t (&cursors)[6]);
void opxhistoryend();

}  // namespace nodrix
