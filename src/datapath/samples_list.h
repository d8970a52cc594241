// The samples list: the agent's index of every table of every source that is or was online.
// One per process, reached through dataSamples().
#pragma once

#include "common/ring_list.h"
#include "interfaces/sync.h"

class samplesListEntry : public vorpane::RingNode<samplesListEntry> {
public:
    virtual ~samplesListEntry() = default;
};

class samplesList {
public:
    samplesList() = default;
    ~samplesList();

    // Removes every entry (start of the shutdown of the lists).
    void clearList();
    int getNumberOfElements();

private:
    vorpane::Mutex _lock;
    vorpane::RingList<samplesListEntry> _ring VA_GUARDED_BY(_lock);
};
