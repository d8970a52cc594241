#include "datapath/atomic_situation_list.h"

#include <cstring>

#include "interfaces/support.h"

atomicSituationEntry::atomicSituationEntry(const char* situationName, int32_t columnNumber)
    : _situation(situationName), _creationTime(static_cast<time_t>(vorpane::clock::nowSeconds())),
      _columnNumber(columnNumber) {}

atomicSituationEntry::~atomicSituationEntry() { VA_STORAGE("Deleting atomicSituationEntry @%p\n", static_cast<void*>(this)); }

atomicSituationList::~atomicSituationList() { emptyList(); }

atomicSituationEntry* atomicSituationList::addEntry(const char* situationName, int32_t columnNumber) {
    if (situationName == nullptr || *situationName == '\0') {
        VA_ERROR("Error: No situation name was supplied. Unable to allocate atomicSituationEntry.\n");
        return nullptr;
    }
    vorpane::ScopedLock guard(_lock, [this] {
        VA_ERROR("Error: unable to acquire lock for atomicSituationList @%p\n", static_cast<void*>(this));
    });
    if (!guard.ok()) {
        return nullptr;
    }
    vorpane::FixedText<34> name(situationName);
    for (atomicSituationEntry& e : _ring) {
        if (name == e.getSituation()) {
            if (e.getColumnNumber() == columnNumber) {
                VA_ERROR("Error: unable to add duplicate atomicSituationEntry for situation <%s> columnNumber %d\n",
                         situationName, columnNumber);
                return nullptr;
            }
            VA_ERROR("Warning: an atomicSituationEntry object already exists for situation <%s>\n", situationName);
            break;
        }
    }
    atomicSituationEntry& added = _ring.insert(std::make_unique<atomicSituationEntry>(situationName, columnNumber));
    VA_STORAGE("Allocated atomicSituationEntry @%p noOfElements=%zu\n", static_cast<void*>(&added), _ring.size());
    return &added;
}

atomicSituationEntry* atomicSituationList::findEntry(const char* situationName) {
    if (situationName == nullptr) {
        return nullptr;
    }
    vorpane::ScopedLock guard(_lock, [this] {
        VA_ERROR("Error: unable to acquire lock for atomicSituationList @%p\n", static_cast<void*>(this));
    });
    if (!guard.ok()) {
        return nullptr;
    }
    return _ring.findFirst([&](const atomicSituationEntry& e) { return std::strcmp(e.getSituation(), situationName) == 0; });
}

void atomicSituationList::emptyList() {
    vorpane::ScopedLock guard(_lock, [this] {
        VA_ERROR("Error: unable to acquire lock for atomicSituationList @%p\n", static_cast<void*>(this));
    });
    if (guard.ok()) {
        _ring.clear();
    }
}

int atomicSituationList::getNumberOfElements() {
    vorpane::ScopedLock guard(_lock);
    return static_cast<int>(_ring.size());
}
