#include "datapath/samples_list.h"

#include "interfaces/trace.h"

samplesList::~samplesList() { clearList(); }

void samplesList::clearList() {
    vorpane::ScopedLock guard(_lock, [this] {
        VA_ERROR("Error: unable to acquire samplesList lock @%p\n", static_cast<void*>(this));
    });
    if (guard.ok()) {
        _ring.clear();
    }
}

int samplesList::getNumberOfElements() {
    vorpane::ScopedLock guard(_lock);
    return static_cast<int>(_ring.size());
}
