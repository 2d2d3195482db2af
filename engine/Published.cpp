#include "engine/Published.h"

namespace bastion::published_detail {

uint32_t NextObjectId() {
    static std::atomic<uint32_t> next{1};
    uint32_t id = next.fetch_add(1, std::memory_order_relaxed);
    if (id == 0) id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

}  // namespace bastion::published_detail
