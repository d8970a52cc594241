// An ordered list of owned members kept in one array of slots, oldest first.
//
// The ring list links its members through themselves, so a walk must finish loading one member before
// it knows where the next one is. A row store walks ten thousand rows for a report while holding its
// lock; through links that walk waits on memory once per row. Here the walk reads the addresses from
// one array, so the processor loads many members at once.
//
//  - append() adds a member after the newest;
//  - erase() empties the member's slot in O(1) (the member knows its slot); the holes are squeezed out
//    when they outnumber the members, so a walk never reads more than twice the members' slots;
//  - removeIf() walks oldest first and removes what the predicate picks, in one pass;
//  - iteration (range for) gives the members oldest first; the list must not change during it.
//
// Members derive from SlotMember. Not thread-safe: the owner says which lock guards the list.
#pragma once

#include <cassert>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace vorpane {

template <typename T>
class SlotList;

class SlotMember {
  public:
    SlotMember() = default;
    SlotMember(const SlotMember&) = delete;
    SlotMember& operator=(const SlotMember&) = delete;

  protected:
    ~SlotMember() = default;

  private:
    template <typename T>
    friend class SlotList;
    std::size_t _slot = 0;
};

template <typename T>
class SlotList {
    using Slots = std::vector<std::unique_ptr<T>>;

  public:
    class iterator {
      public:
        iterator(typename Slots::const_iterator at, typename Slots::const_iterator end) : _at(at), _end(end) {
            skip();
        }
        T& operator*() const { return **_at; }
        T* operator->() const { return _at->get(); }
        iterator& operator++() {
            ++_at;
            skip();
            return *this;
        }
        bool operator!=(const iterator& other) const { return _at != other._at; }
        bool operator==(const iterator& other) const { return _at == other._at; }

      private:
        void skip() {
            while (_at != _end && *_at == nullptr) {
                ++_at;
            }
        }
        typename Slots::const_iterator _at, _end;
    };

    SlotList() = default;
    SlotList(const SlotList&) = delete;
    SlotList& operator=(const SlotList&) = delete;

    std::size_t size() const { return _slots.size() - _holes; }
    bool empty() const { return size() == 0; }
    iterator begin() const { return iterator(_slots.begin() + static_cast<std::ptrdiff_t>(_first), _slots.end()); }
    iterator end() const { return iterator(_slots.end(), _slots.end()); }

    // The oldest member, or null.
    T* front() {
        while (_first < _slots.size() && _slots[_first] == nullptr) {
            ++_first;
        }
        return _first < _slots.size() ? _slots[_first].get() : nullptr;
    }

    T& append(std::unique_ptr<T> member) {
        assert(member != nullptr);
        member->SlotMember::_slot = _slots.size();
        _slots.push_back(std::move(member));
        return *_slots.back();
    }

    // Destroys member, which must belong to this list.
    void erase(T& member) {
        const std::size_t slot = member.SlotMember::_slot;
        assert(slot < _slots.size() && _slots[slot].get() == &member);
        _slots[slot].reset();
        ++_holes;
        if (_holes > kSqueezeFrom && _holes * 2 > _slots.size()) {
            squeeze();
        }
    }

    // Calls remove(member) for each member, oldest first; a member for which it returns true is
    // destroyed. The predicate must not change the list itself.
    template <typename Pred>
    void removeIf(Pred remove) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < _slots.size(); ++i) {
            if (_slots[i] == nullptr || remove(*_slots[i])) {
                continue;
            }
            if (kept != i) {
                _slots[kept] = std::move(_slots[i]);
                _slots[kept]->SlotMember::_slot = kept;
            }
            ++kept;
        }
        _slots.resize(kept);  // destroys the removed members still in their slots
        if (_slots.capacity() > kSqueezeFrom && kept < _slots.capacity() / 4) {
            _slots.shrink_to_fit();  // a list that emptied gives its slots back
        }
        _holes = 0;
        _first = 0;
    }

    template <typename Pred>
    T* findFirst(Pred match) const {
        for (T& m : *this) {
            if (match(m)) {
                return &m;
            }
        }
        return nullptr;
    }

    void clear() {
        _slots.clear();
        _holes = 0;
        _first = 0;
    }

  private:
    static constexpr std::size_t kSqueezeFrom = 64;

    void squeeze() {
        removeIf([](const T&) { return false; });
    }

    Slots _slots;
    std::size_t _holes = 0;
    std::size_t _first = 0;  // no member lies before this slot
};

}  // namespace vorpane
