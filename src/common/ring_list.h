// The one ring list of the system: a circular doubly linked ring of owned members with a head.
//
// Every list of the agent and the hub behaves the same way, so it is built once here:
//  - a new member is linked directly after the head in the "next" direction;
//  - a walk starts at the head and follows the "previous" links, so members come oldest first;
//  - removing the head makes the member after it in the "next" direction the head;
//  - a count of 0 leaves no head.
//
// Members derive from RingNode<T> (the links live inside the member) and are owned by the list:
// insert() takes a unique_ptr, unlink() hands ownership back, erase() destroys.
//
// Not thread-safe: the class that owns a RingList says which lock guards it.
#pragma once

#include <cassert>
#include <cstddef>
#include <memory>
#include <utility>

namespace vorpane {

template <typename T>
class RingList;
template <typename T>
class RingIterator;

template <typename T>
class RingNode {
public:
    RingNode() = default;
    RingNode(const RingNode&) = delete;
    RingNode& operator=(const RingNode&) = delete;

    T* ringNext() const { return _next; }
    T* ringPrev() const { return _prev; }

protected:
    ~RingNode() = default;

private:
    friend class RingList<T>;
    friend class RingIterator<T>;
    T* _next = nullptr;
    T* _prev = nullptr;
    const RingList<T>* _owner = nullptr;  // debug check: a member is removed only from its own list
};

template <typename T>
class RingList {
public:
    RingList() = default;
    RingList(const RingList&) = delete;
    RingList& operator=(const RingList&) = delete;
    ~RingList() { clear(); }

    T* head() const { return _head; }
    std::size_t size() const { return _count; }
    bool empty() const { return _count == 0; }

    // Links the member directly after the head; the first member becomes the head.
    T& insert(std::unique_ptr<T> member) {
        T* m = member.release();
        node(m)._owner = this;
        if (_head == nullptr) {
            node(m)._next = m;
            node(m)._prev = m;
            _head = m;
        } else {
            linkAfter(_head, m);
        }
        ++_count;
        return *m;
    }

    // Takes the member out of the ring and hands ownership back.
    std::unique_ptr<T> unlink(T& member) {
        assert(node(&member)._owner == this && "member removed from a list that does not own it");
        assert(_walks == 0 && "members are removed during a walk only through the walk's iterator");
        return unlinkMember(member);
    }

    void erase(T& member) { unlink(member).reset(); }

    // Destroys every member.
    void clear() {
        while (_head != nullptr) {
            unlinkMember(*_head).reset();
        }
    }

    // Makes the member the head: it is relinked directly after the old head and then becomes the head,
    // so a walk visits it first and the old head second. A member already sitting after the head
    // only becomes the head.
    void moveToFront(T& member) {
        assert(node(&member)._owner == this);
        assert(_walks == 0 && "end the walk before reordering the ring");
        if (&member == _head) {
            return;
        }
        if (node(_head)._next != &member) {
            detach(&member);
            linkAfter(_head, &member);
        }
        _head = &member;
    }

    // Makes the member the head without moving it in the ring.
    void setHead(T& member) {
        assert(node(&member)._owner == this);
        _head = &member;
    }

    bool contains(const T& member) const { return node(&member)._owner == this; }

    // Read-only walk in the list's order (head first, then along the previous links).
    class const_iterator {
    public:
        const_iterator(T* at, std::size_t left) : _at(at), _left(left) {}
        T& operator*() const { return *_at; }
        T* operator->() const { return _at; }
        const_iterator& operator++() {
            _at = node(_at)._prev;
            --_left;
            return *this;
        }
        bool operator==(const const_iterator& o) const { return _left == o._left; }

    private:
        T* _at;
        std::size_t _left;
    };
    const_iterator begin() const { return const_iterator(_head, _count); }
    const_iterator end() const { return const_iterator(nullptr, 0); }

    // Finds the first member (in walk order) for which pred is true.
    template <typename Pred>
    T* findFirst(Pred&& pred) const {
        for (T& m : *this) {
            if (pred(m)) {
                return &m;
            }
        }
        return nullptr;
    }

private:
    friend class RingIterator<T>;

    static RingNode<T>& node(T* m) { return *static_cast<RingNode<T>*>(m); }
    static const RingNode<T>& node(const T* m) { return *static_cast<const RingNode<T>*>(m); }

    static void linkAfter(T* anchor, T* m) {
        T* after = node(anchor)._next;
        node(m)._next = after;
        node(m)._prev = anchor;
        node(after)._prev = m;
        node(anchor)._next = m;
    }

    static void detach(T* m) {
        node(node(m)._prev)._next = node(m)._next;
        node(node(m)._next)._prev = node(m)._prev;
        node(m)._next = m;
        node(m)._prev = m;
    }

    std::unique_ptr<T> unlinkMember(T& member) {
        T* m = &member;
        if (m == _head) {
            _head = node(m)._next;
        }
        detach(m);
        node(m)._owner = nullptr;
        node(m)._next = nullptr;
        node(m)._prev = nullptr;
        if (--_count == 0) {
            _head = nullptr;
        }
        return std::unique_ptr<T>(m);
    }

    T* _head = nullptr;
    std::size_t _count = 0;
    int _walks = 0;  // live RingIterators; direct unlinks during a walk are a bug
};

// A walk over a RingList that tolerates removal of the member it returned last.
// next() returns the head first, then follows the previous links and returns null once every member
// present when the walk began (or was last reset) has been returned. Members inserted during the walk
// are not visited; removeCurrent() takes out the member returned last and leaves the walk intact.
template <typename T>
class RingIterator {
public:
    explicit RingIterator(RingList<T>& list) : _list(list) {
        ++_list._walks;
        reset();
    }
    ~RingIterator() { --_list._walks; }
    RingIterator(const RingIterator&) = delete;
    RingIterator& operator=(const RingIterator&) = delete;

    T* next() {
        if (_left == 0 || _candidate == nullptr) {
            _current = nullptr;
            return nullptr;
        }
        _current = _candidate;
        _candidate = RingList<T>::node(_current)._prev;
        --_left;
        return _current;
    }

    void reset() {
        _candidate = _list._head;
        _left = _list._count;
        _current = nullptr;
    }

    std::unique_ptr<T> removeCurrent() {
        assert(_current != nullptr);
        T* doomed = _current;
        _current = nullptr;
        if (_left == 0 || _candidate == doomed) {
            _candidate = nullptr;  // the walk is over: the removed member was the last one left
        }
        return _list.unlinkMember(*doomed);
    }

    T* current() const { return _current; }

private:
    RingList<T>& _list;
    T* _candidate = nullptr;
    T* _current = nullptr;
    std::size_t _left = 0;
};

}  // namespace vorpane
