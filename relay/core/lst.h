// Generic intrusive doubly linked list. Any record whose first two members are `next` and `prev`
// can be an element. The list never owns its elements. Every operation tolerates a null list or
// element by doing nothing.
#pragma once
#include <cstdint>

struct LstElem {
    LstElem* next;
    LstElem* prev;
};

struct Lst {
    int32_t count;
    void* first;
    void* last;
};

Lst* lstInit(Lst* list);
Lst* lstAdd(Lst* list, void* elem);
Lst* lstInsert(Lst* list, void* after, void* elem);
Lst* lstConcat(Lst* dst, Lst* src);
int32_t lstCount(const Lst* list);
Lst* lstDelete(Lst* list, void* elem);
void* lstFirst(const Lst* list);
void* lstLast(const Lst* list);
void* lstNext(const void* elem);
void* lstPrevious(const void* elem);
void* lstGet(Lst* list);
int32_t lstFind(const Lst* list, const void* elem);

// Typed conveniences for the common case of a list of one record type.
template <class T> T* lstFirstT(const Lst* l) { return static_cast<T*>(lstFirst(l)); }
template <class T> T* lstLastT(const Lst* l) { return static_cast<T*>(lstLast(l)); }
template <class T> T* lstGetT(Lst* l) { return static_cast<T*>(lstGet(l)); }
