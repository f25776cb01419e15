#include "runtime/record_file.h"

namespace nodrix::records {

bool write(std::FILE* f, std::span<const std::byte> data) {
    if (f == nullptr || data.size() > 0x7fffffffu) return false;
    const std::int32_t n = static_cast<std::int32_t>(data.size());
    return std::fwrite(&n, sizeof n, 1, f) == 1 &&
           (data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size()) &&
           std::fwrite(&n, sizeof n, 1, f) == 1;
}

bool read(std::FILE* f, std::vector<std::byte>& data) {
    data.clear();
    if (f == nullptr) return false;
    std::int32_t head = 0;
    std::int32_t tail = 0;
    if (std::fread(&head, sizeof head, 1, f) != 1 || head < 0) return false;
    data.resize(static_cast<std::size_t>(head));
    if ((head > 0 && std::fread(data.data(), 1, data.size(), f) != data.size()) ||
        std::fread(&tail, sizeof tail, 1, f) != 1 || tail != head) {
        data.clear();
        return false;
    }
    return true;
}

bool skip(std::FILE* f) {
    std::vector<std::byte> scratch;
    return read(f, scratch);
}

}  // namespace nodrix::records
