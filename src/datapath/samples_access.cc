#include "datapath/samples_access.h"

#include <atomic>

namespace vorpane::datapath {
namespace {
std::atomic<samplesAccess*> g_index{nullptr};
}

samplesAccess* samplesIndex() {
    return g_index.load(std::memory_order_acquire);
}

void setSamplesIndex(samplesAccess* index) {
    g_index.store(index, std::memory_order_release);
}

}  // namespace vorpane::datapath
