#include "engine/KeyedHash.h"

#include <random>

namespace bastion::keyed_hash_detail {

Secret DrawSecret() {
    std::random_device device;
    auto draw = [&device] { return (uint64_t{device()} << 32) | device(); };
    return Secret{draw(), draw()};
}

}  // namespace bastion::keyed_hash_detail
