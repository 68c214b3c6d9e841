#include "network/activation.h"

#include "network/random.h"

namespace kestrin {

int32_t nameToInt(std::string_view name) {
    for (int32_t id = 0; id < kActivationCount; ++id) {
        if (name == kActivationNames[id]) return id;
    }
    return kActivationCount;
}

int32_t randomActivation() {
    static OnceSeedFlag seed;
    seed.seedIfFirstUse();
    return libcRand() % kActivationCount;
}

}  // namespace kestrin
